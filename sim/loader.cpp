// The loader's command semantics over its emulated memory, one handler per command code.
#include "sim/loader.h"

#include <algorithm>
#include <cstdio>
#include <iterator>

namespace vxsim {
namespace {

constexpr uint32_t kMaxWords = 127;
constexpr uint32_t kMaxFrameBytes = (kMaxWords + 1) * 4;
constexpr uint32_t kSmallSector = 0x1000;
constexpr uint32_t kLargeSector = 0x8000;
constexpr uint32_t kBootEnd = 0x8000;
constexpr uint32_t kEepromPage = 256;
constexpr uint32_t kEepromRecordAddress = 0x1000;

}  // namespace

std::vector<uint32_t> BytesToWords(const uint8_t* p, uint32_t len) {
  std::vector<uint32_t> words((len + 3) / 4, 0);
  for (uint32_t i = 0; i < len; ++i) words[i / 4] |= uint32_t(p[i]) << (8 * (i % 4));
  return words;
}

uint32_t Sum(const std::vector<uint32_t>& w, size_t count) {
  uint32_t s = 0;
  for (size_t i = 0; i < count; ++i) s += w[i];
  return s;
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

uint32_t LoaderCrcStep(uint32_t crc, uint8_t data) {
  for (int bit = 7; bit >= 0; --bit) crc = ((crc >> 15) & 1u) != ((data >> bit) & 1u) ? (crc << 1) ^ 0x1021u : crc << 1;
  return crc;
}

Answer Loader::Execute(const uint8_t* pData, uint32_t len, bool bEraseDue) {
  // Each command: its code, n exactly (or at least, with bMore), m exactly (0: any), and
  // what it does once n and m fit.
  struct Op {
    uint32_t code, n;
    bool bMore;
    uint32_t m;
    const char* what;
    Refusal (*run)(Loader& l, const Words& req, Words& rsp, Answer& a);
  };
  static const Op kOps[] = {
      {kCmdEraseSector, 4, false, 3, "erase",
       [](Loader& l, const Words& req, Words& rsp, Answer& a) -> Refusal {
         const uint32_t s = req[3];
         const bool bSmall = s < kBootEnd && s % kSmallSector == 0;
         const bool bLarge = s >= kBootEnd && s < kFlashUnits && s % kLargeSector == 0;
         if (!bSmall && !bLarge) return {kResultBadAddress, "not a sector: " + Hex(s)};
         if (l.m_bErasing) return {kResultBusy, "erase running"};
         l.m_bErasing = true;
         a.eraseSector = l.m_eraseSector = s;
         a.eraseUnits = l.m_eraseUnits = bSmall ? kSmallSector : kLargeSector;
         std::fill(l.m_flash.begin() + s, l.m_flash.begin() + s + l.m_eraseUnits, uint16_t(0));
         std::fill(l.m_dirty.begin() + s, l.m_dirty.begin() + s + l.m_eraseUnits, true);
         rsp[1] = 1;
         return {};
       }},
      {kCmdEraseStatus, 3, false, 3, "status",
       [](Loader& l, const Words&, Words& rsp, Answer&) -> Refusal {
         rsp[1] = l.m_bErasing ? 0 : 1;
         return {};
       }},
      {kCmdReadFlashCfi, 3, false, 7, "CFI",
       [](Loader& l, const Words&, Words& rsp, Answer&) -> Refusal {
         rsp[3] = 'Q';
         rsp[4] = 'R';
         rsp[5] = 'Y';
         rsp[6] = 0x0002;
         l.m_log("flash identification read");
         return {};
       }},
      {kCmdReadFlash, 5, false, 0, "read",
       [](Loader& l, const Words& req, Words& rsp, Answer&) -> Refusal {
         const uint32_t count = req[3], at = req[4];
         if (uint64_t(count) + 3 != rsp.size()) return {kResultBadArguments, "read count"};
         if (uint64_t(at) + 2 * uint64_t(count) > kFlashUnits) return {kResultBadAddress, "read beyond flash"};
         for (uint32_t i = 0; i < count; ++i)
           rsp[3 + i] = uint32_t(l.m_flash[at + 2 * i]) | uint32_t(l.m_flash[at + 2 * i + 1]) << 16;
         l.m_log("read " + std::to_string(count) + " words at " + Hex(at));
         return {};
       }},
      {kCmdWriteFlash, 6, true, 3, "write",
       [](Loader& l, const Words& req, Words&, Answer& a) -> Refusal {
         const uint32_t count = req[3], base = req[4], offset = req[5];
         if (uint64_t(count) + 6 != req[0]) return {kResultBadArguments, "write count"};
         const uint64_t at = uint64_t(base) + offset;
         if (at + 2 * uint64_t(count) > kFlashUnits) return {kResultBadAddress, "write beyond flash"};
         if (l.m_bErasing) return {kResultBusy, "write while erasing"};
         bool bUnerased = false;
         for (uint32_t i = 0; i < count; ++i) {
           const uint32_t w = req[6 + i];
           l.m_flash[at + 2 * i] &= uint16_t(w);
           l.m_flash[at + 2 * i + 1] &= uint16_t(w >> 16);
           bUnerased = bUnerased || l.m_dirty[at + 2 * i] || l.m_dirty[at + 2 * i + 1];
           l.m_dirty[at + 2 * i] = l.m_dirty[at + 2 * i + 1] = true;
         }
         if (bUnerased) {
           ++l.m_unerasedWrites;
           l.m_log("write at " + Hex(base) + "+" + Hex(offset) + " over flash not erased since it was written");
         }
         l.NoteWrite(base, offset, count);
         a.work = count;
         return {};
       }},
      {kCmdFlashCrc, 5, false, 4, "CRC",
       [](Loader& l, const Words& req, Words& rsp, Answer& a) -> Refusal {
         const uint32_t at = req[3], count = req[4];
         if (uint64_t(at) + count > kFlashUnits) return {kResultBadAddress, "CRC beyond flash"};
         rsp[3] = l.FlashCrc(at, count);
         l.m_log("flash CRC over " + Hex(count) + " units at " + Hex(at) + ": " + Hex(rsp[3]));
         a.work = count;
         return {};
       }},
      {kCmdWriteEeprom, 5, true, 3, "EEPROM",
       [](Loader& l, const Words& req, Words&, Answer& a) -> Refusal {
         const uint32_t bytes = req[3], at = req[4];
         if (bytes > kEepromPage || bytes % 4 != 0 || bytes / 4 + 5 != req[0])
           return {kResultBadArguments, "EEPROM byte count"};
         if (uint64_t(at) + bytes > kEepromBytes) return {kResultBadAddress, "EEPROM beyond end"};
         for (uint32_t i = 0; i < bytes; ++i) l.m_eeprom[at + i] = uint8_t(req[5 + i / 4] >> (8 * (i % 4)));
         l.m_log("EEPROM write of " + std::to_string(bytes) + " bytes at " + Hex(at));
         a.bRecord = at == kEepromRecordAddress;
         return {};
       }},
  };
  Answer a;
  if (len < 8) {
    m_log("request of " + std::to_string(len) + " bytes dropped");
    return a;
  }
  const Words req = BytesToWords(pData, std::min(len, kMaxFrameBytes + 4));
  const uint32_t n = req[0], m = req[1];
  if (m < 3 || m > kMaxWords) {
    m_log("request with response count " + std::to_string(m) + " dropped");
    return a;
  }
  Words& rsp = a.words.emplace(m, 0);
  rsp[0] = m;
  Refusal r;
  if (n < 3 || n > kMaxWords || len != (n + 1) * 4) {
    r = {kResultBadLength, "length"};
  } else if (Sum(req, n) != req[n]) {
    r = {kResultBadChecksum, "checksum"};
  } else {
    if (bEraseDue) FinishErase();
    const uint32_t cmd = req[2];
    if (cmd != kCmdWriteFlash) EndRun();
    const Op* op = std::find_if(std::begin(kOps), std::end(kOps), [&](const Op& o) { return o.code == cmd; });
    if (op == std::end(kOps))
      r = {kResultUnknownCommand, "command " + std::to_string(cmd)};
    else if (!(op->bMore ? n >= op->n : n == op->n) || (op->m != 0 && m != op->m))
      r = {kResultBadArguments, std::string(op->what) + " arguments"};
    else
      r = op->run(*this, req, rsp, a);
  }
  if (r.code != 0) {
    rsp[1] = r.code;
    m_log("request rejected (" + r.why + "): result " + Hex(r.code));
  }
  return a;
}

void Loader::FinishErase() {
  if (!m_bErasing) return;
  std::fill(m_flash.begin() + m_eraseSector, m_flash.begin() + m_eraseSector + m_eraseUnits, uint16_t(0xFFFF));
  std::fill(m_dirty.begin() + m_eraseSector, m_dirty.begin() + m_eraseSector + m_eraseUnits, false);
  m_bErasing = false;
  m_log("erase of sector " + Hex(m_eraseSector) + " finished");
}

void Loader::Depart() {
  EndRun();
  if (m_bErasing) m_log("erase of sector " + Hex(m_eraseSector) + " abandoned");
  m_bErasing = false;
}

void Loader::Reset() {
  std::fill(m_flash.begin(), m_flash.end(), uint16_t(0xFFFF));
  std::fill(m_eeprom.begin(), m_eeprom.end(), uint8_t(0xFF));
  std::fill(m_dirty.begin(), m_dirty.end(), false);
  m_bErasing = false;
}

void Loader::EndRun() {
  if (m_bRun && m_runCount > 1) {
    m_log("wrote " + std::to_string(m_runCount) + " blocks of flash (" + std::to_string(m_runWords) + " words) at " +
          Hex(m_runBase) + "+" + Hex(m_runFirst) + " to " + Hex(m_runBase) + "+" + Hex(m_runLast));
  }
  m_bRun = false;
}

void Loader::NoteWrite(uint32_t base, uint32_t offset, uint32_t words) {
  if (m_bRun && base == m_runBase && offset == m_runLast + m_runWords / m_runCount * 2 &&
      words == m_runWords / m_runCount) {
    m_runLast = offset;
    m_runWords += words;
    ++m_runCount;
    return;
  }
  EndRun();
  m_log("wrote " + std::to_string(words) + (words == 1 ? " word at " : " words at ") + Hex(base) + "+" + Hex(offset));
  m_bRun = true;
  m_runBase = base;
  m_runFirst = m_runLast = offset;
  m_runWords = words;
  m_runCount = 1;
}

void Loader::LoadFlash(uint32_t unitAddress, const std::vector<uint8_t>& bytes) {
  for (size_t i = 0; i < bytes.size() && unitAddress + i / 2 < kFlashUnits; ++i) {
    const uint64_t a = unitAddress + i / 2;
    m_dirty[a] = true;
    uint16_t& u = m_flash[a];
    u = i % 2 == 0 ? uint16_t((u & 0xFF00) | bytes[i]) : uint16_t((u & 0x00FF) | bytes[i] << 8);
  }
}

uint32_t Loader::FlashCrc(uint32_t unitAddress, uint32_t unitCount) const {
  uint32_t crc = 0xFFFF;
  for (uint64_t a = unitAddress; a < uint64_t(unitAddress) + unitCount && a < kFlashUnits; ++a)
    crc = LoaderCrcStep(crc, uint8_t(m_flash[a]));
  return crc;
}

}  // namespace vxsim
