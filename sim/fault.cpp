// Fault plans: their text form kind[=value]@where[*times], and what they do to an exchange.
#include "sim/fault.h"

#include <algorithm>
#include <charconv>
#include <iterator>

#include "sim/loader.h"

namespace vxsim {
namespace {

// Each kind in FaultKind's order: its name, whether it takes a value, and its value for 0.
struct KindInfo {
  const char* name;
  enum { kNone, kOptional, kRequired } value;
  uint32_t byDefault;
};

constexpr KindInfo kKinds[] = {
    {"noanswer", KindInfo::kNone, 0},     {"badchecksum", KindInfo::kNone, 0},
    {"wrongcount", KindInfo::kNone, 0},   {"counttoolarge", KindInfo::kOptional, 200},
    {"result", KindInfo::kRequired, 0},   {"shortresponse", KindInfo::kOptional, 8},
    {"zeroresponse", KindInfo::kNone, 0}, {"shortwrite", KindInfo::kOptional, 8},
    {"unplugbefore", KindInfo::kNone, 0}, {"unplugafter", KindInfo::kNone, 0},
    {"delay", KindInfo::kOptional, 1000}, {"late", KindInfo::kNone, 0},
    {"stall", KindInfo::kNone, 0},        {"babble", KindInfo::kNone, 0},
    {"silence", KindInfo::kNone, 0},
};
static_assert(std::size(kKinds) == kFaultKinds);

// A whole unsigned 32-bit number, decimal or 0x-hex.
bool ParseNumber(const std::string& s, uint32_t* pValue) {
  const bool bHex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  const char *first = s.data() + (bHex ? 2 : 0), *last = s.data() + s.size();
  uint32_t v = 0;
  const auto [end, ec] = std::from_chars(first, last, v, bHex ? 16 : 10);
  if (first == last || ec != std::errc() || end != last) return false;
  *pValue = v;
  return true;
}

std::optional<Fault> Fail(std::string* pError, const std::string& text, const std::string& why) {
  if (pError) *pError = "bad fault \"" + text + "\": " + why;
  return std::nullopt;
}

bool Matches(const Fault& f, uint32_t exchangeNo, uint32_t cmd, uint32_t cmdNo) {
  auto within = [&](uint32_t no, uint32_t first) { return no >= first && (f.times == 0 || no - first < f.times); };
  if (f.exchange != 0) return (f.command == 0 || f.command == cmd) && within(exchangeNo, f.exchange);
  if (f.command != 0) return f.command == cmd && within(cmdNo, f.nth == 0 ? 1 : f.nth);
  return within(exchangeNo, f.nth == 0 ? 1 : f.nth);
}

}  // namespace

Strike FaultPlan::Next(uint32_t command, uint32_t len, const std::function<void(std::string)>& log) {
  const uint32_t exchangeNo = ++exchanges;
  const uint32_t nth = ++commandNo[command];
  Strike s;
  for (const Fault& f : faults) {
    if (!Matches(f, exchangeNo, command, nth)) continue;
    log("fault " + std::string(FaultKindName(f.kind)) + " strikes exchange " + std::to_string(exchangeNo));
    const size_t k = size_t(f.kind);
    if (k < kFaultKinds && !s.values[k]) s.values[k] = f.value != 0 ? f.value : kKinds[k].byDefault;
  }
  auto& shortWrite = s.values[size_t(FaultKind::kShortWrite)];
  if (shortWrite) shortWrite = std::min(*shortWrite, len == 0 ? 0u : len - 1);  // never the whole frame
  return s;
}

std::vector<uint8_t> Strike::Frame(std::vector<uint32_t> w) const {
  const uint32_t m = uint32_t(w.size());
  if (Has(FaultKind::kResult)) w[1] = Value(FaultKind::kResult);
  if (Has(FaultKind::kCountTooLarge)) w[0] = Value(FaultKind::kCountTooLarge);
  if (Has(FaultKind::kWrongCount)) {
    w[0] = m - 1;
    w.pop_back();  // framed as m - 1 words
  }
  w.push_back(Sum(w, w.size()) + (Has(FaultKind::kBadChecksum) ? 1 : 0));
  std::vector<uint8_t> bytes(w.size() * 4);
  for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = uint8_t(w[i / 4] >> (8 * (i % 4)));
  if (Has(FaultKind::kZeroResponse)) std::fill(bytes.begin(), bytes.end(), uint8_t(0));
  if (Has(FaultKind::kShortResponse)) bytes.resize(std::min<size_t>(bytes.size(), Value(FaultKind::kShortResponse)));
  return bytes;
}

const char* FaultKindName(FaultKind kind) { return size_t(kind) < kFaultKinds ? kKinds[size_t(kind)].name : "?"; }
std::optional<Fault> ParseFault(const std::string& text, std::string* pError) {
  const size_t at = text.find('@');
  if (at == std::string::npos) return Fail(pError, text, "expected kind[=value]@where");
  std::string head = text.substr(0, at);
  std::string where = text.substr(at + 1);

  Fault fault;
  std::string valueText;
  const size_t eq = head.find('=');
  const bool bValue = eq != std::string::npos;
  if (bValue) {
    valueText = head.substr(eq + 1);
    head = head.substr(0, eq);
  }
  const KindInfo* pKind = std::find_if(std::begin(kKinds), std::end(kKinds), [&](auto& k) { return head == k.name; });
  if (pKind == std::end(kKinds)) return Fail(pError, text, "unknown kind \"" + head + "\"");
  fault.kind = FaultKind(pKind - kKinds);
  if (bValue && pKind->value == KindInfo::kNone) return Fail(pError, text, head + " takes no value");
  if (!bValue && pKind->value == KindInfo::kRequired) return Fail(pError, text, head + " needs =value");
  if (bValue && !ParseNumber(valueText, &fault.value)) return Fail(pError, text, "bad value \"" + valueText + "\"");

  const size_t star = where.find('*');
  if (star != std::string::npos) {
    if (!ParseNumber(where.substr(star + 1), &fault.times)) return Fail(pError, text, "bad *times");
    where = where.substr(0, star);
  }
  auto parseCmd = [&](const std::string& s) -> bool {
    // "cmd=C" or "cmd=C#N"
    if (s.rfind("cmd=", 0) != 0) return false;
    std::string c = s.substr(4);
    const size_t hash = c.find('#');
    if (hash != std::string::npos) {
      if (!ParseNumber(c.substr(hash + 1), &fault.nth) || fault.nth == 0) return false;
      c = c.substr(0, hash);
    }
    return ParseNumber(c, &fault.command) && fault.command != 0;
  };
  if (where.rfind("x=", 0) == 0) {
    std::string x = where.substr(2);
    const size_t comma = x.find(',');
    if (comma != std::string::npos) {
      const std::string c = x.substr(comma + 1);
      if (c.find('#') != std::string::npos || !parseCmd(c)) return Fail(pError, text, "bad \",cmd=C\"");
      x = x.substr(0, comma);
    }
    if (!ParseNumber(x, &fault.exchange) || fault.exchange == 0) return Fail(pError, text, "bad exchange number");
  } else if (!parseCmd(where)) {
    return Fail(pError, text, "expected x=K or cmd=C[#N] after '@'");
  }
  return fault;
}

}  // namespace vxsim
