// Fault plans: their text form kind[=value]@where[*times], and what they do to an exchange.
#include "sim/fault.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "sim/loader.h"

namespace vxsim {
namespace {

struct KindInfo {
  const char* name;
  FaultKind kind;
  enum { kNone, kOptional, kRequired } value;
};

constexpr KindInfo kKinds[] = {
    {"noanswer", FaultKind::kNoAnswer, KindInfo::kNone},
    {"badchecksum", FaultKind::kBadChecksum, KindInfo::kNone},
    {"wrongcount", FaultKind::kWrongCount, KindInfo::kNone},
    {"counttoolarge", FaultKind::kCountTooLarge, KindInfo::kOptional},
    {"result", FaultKind::kResult, KindInfo::kRequired},
    {"shortresponse", FaultKind::kShortResponse, KindInfo::kOptional},
    {"zeroresponse", FaultKind::kZeroResponse, KindInfo::kNone},
    {"shortwrite", FaultKind::kShortWrite, KindInfo::kOptional},
    {"unplugbefore", FaultKind::kUnplugBefore, KindInfo::kNone},
    {"unplugafter", FaultKind::kUnplugAfter, KindInfo::kNone},
    {"delay", FaultKind::kDelay, KindInfo::kOptional},
    {"late", FaultKind::kLate, KindInfo::kNone},
    {"stall", FaultKind::kStall, KindInfo::kNone},
    {"babble", FaultKind::kBabble, KindInfo::kNone},
    {"silence", FaultKind::kSilence, KindInfo::kNone},
};

// A whole unsigned 32-bit number, decimal or 0x-hex.
bool ParseNumber(const std::string& s, uint32_t* pValue) {
  if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
  const bool bHex = s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X');
  const std::string digits = bHex ? s.substr(2) : s;
  for (char c : digits) {
    const bool bDigit = c >= '0' && c <= '9';
    const bool bHexDigit = (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    if (!bDigit && !(bHex && bHexDigit)) return false;
  }
  errno = 0;
  char* pEnd = nullptr;
  const unsigned long long v = std::strtoull(digits.c_str(), &pEnd, bHex ? 16 : 10);
  if (errno != 0 || *pEnd != '\0' || v > 0xFFFFFFFFull) return false;
  *pValue = uint32_t(v);
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
  const uint32_t exchangeNo = ++m_exchanges;
  const uint32_t commandNo = ++m_commandNo[command];
  std::vector<const Fault*> hit;
  for (const Fault& f : m_faults) {
    if (!Matches(f, exchangeNo, command, commandNo)) continue;
    hit.push_back(&f);
    log("fault " + std::string(FaultKindName(f.kind)) + " strikes exchange " + std::to_string(exchangeNo));
  }
  Strike s;
  // Last to first, so that of two faults of one kind the first added sets the value.
  for (auto it = hit.rbegin(); it != hit.rend(); ++it) {
    const uint32_t v = (*it)->value;
    switch ((*it)->kind) {
      case FaultKind::kNoAnswer: s.bAnswer = false; break;
      case FaultKind::kBadChecksum: s.bBadChecksum = true; break;
      case FaultKind::kWrongCount: s.bWrongCount = true; break;
      case FaultKind::kCountTooLarge: s.count = v == 0 ? 200 : v; break;
      case FaultKind::kResult: s.result = v; break;
      case FaultKind::kShortResponse: s.shortBytes = v == 0 ? 8 : v; break;
      case FaultKind::kZeroResponse: s.bZero = true; break;
      case FaultKind::kShortWrite: s.shortWrite = std::min(v == 0 ? 8u : v, len == 0 ? 0u : len - 1); break;
      case FaultKind::kUnplugBefore: s.bUnplugBefore = true; break;
      case FaultKind::kUnplugAfter: s.bUnplugAfter = true; break;
      case FaultKind::kDelay: s.delayMs = v == 0 ? 1000 : v; break;
      case FaultKind::kLate: s.bLate = true; break;
      case FaultKind::kStall: s.bStall = true; s.bExecute = false; break;
      case FaultKind::kBabble: s.bBabble = true; break;
      case FaultKind::kSilence: s.bExecute = false; break;
    }
  }
  return s;
}

std::vector<uint8_t> Strike::Frame(std::vector<uint32_t> w) const {
  const uint32_t m = uint32_t(w.size());
  if (result) w[1] = *result;
  if (count) w[0] = *count;
  if (bWrongCount) w[0] = m - 1;
  w.resize(bWrongCount ? m - 1 : m);  // the words before the checksum as framed
  w.push_back(Sum(w, w.size()) + (bBadChecksum ? 1 : 0));
  std::vector<uint8_t> bytes = WordsToBytes(w);
  if (bZero) std::fill(bytes.begin(), bytes.end(), uint8_t(0));
  if (shortBytes != 0 && shortBytes < bytes.size()) bytes.resize(shortBytes);
  return bytes;
}

const char* FaultKindName(FaultKind kind) {
  for (const KindInfo& k : kKinds)
    if (k.kind == kind) return k.name;
  return "?";
}

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
  const KindInfo* pKind = nullptr;
  for (const KindInfo& k : kKinds)
    if (head == k.name) pKind = &k;
  if (!pKind) return Fail(pError, text, "unknown kind \"" + head + "\"");
  fault.kind = pKind->kind;
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
