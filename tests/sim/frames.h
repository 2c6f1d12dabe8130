// Helpers of the simulator's tests: hand-built loader frames, written from the host's side,
// and the files the simulator writes.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <string>
#include <vector>

#include "device/commands.h"  // the host's command codes: the simulator must answer to them
#include "sim/locator.h"
#include "tests/support/words.h"

namespace simtest {

using namespace vxtest;  // the kit's word codec and file readers

struct Reply {
  vxsim::BusStatus out = vxsim::BusStatus::kError;
  vxsim::BusStatus in = vxsim::BusStatus::kError;
  uint32_t outMoved = 0;
  uint32_t inMoved = 0;
  std::vector<uint32_t> words;  // response words as moved (checksum included)
  uint32_t Result() const { return words.size() > 1 ? words[1] : 0xDEADBEEF; }
};

// Sends raw bytes, then reads inBytes (default: m + 1 words, m from word 1).
inline Reply SendRaw(vxsim::Locator& loc, uint64_t id, const std::vector<uint8_t>& bytes, uint32_t inBytes,
                     uint32_t timeoutMs = 2000) {
  Reply r;
  r.out = loc.Out(id, vxsim::kPipeOut, bytes.data(), uint32_t(bytes.size()), &r.outMoved, timeoutMs);
  if (r.out != vxsim::BusStatus::kOk) return r;
  std::vector<uint8_t> buf(inBytes, 0);
  r.in = loc.In(id, vxsim::kPipeIn, buf.data(), inBytes, &r.inMoved, timeoutMs);
  r.words = ToWords(buf.data(), r.inMoved);
  return r;
}

// One exchange of a well-formed request (words 0..n-1; the checksum is added).
inline Reply Exchange(vxsim::Locator& loc, uint64_t id, const std::vector<uint32_t>& request,
                      uint32_t timeoutMs = 2000) {
  return SendRaw(loc, id, ToBytes(WithSum(request)), (request[1] + 1) * 4, timeoutMs);
}

// True when a response of m words has its count and checksum right.
inline bool WellFramed(const Reply& r, uint32_t m) {
  if (r.words.size() != m + 1 || r.words[0] != m) return false;
  uint32_t s = 0;
  for (uint32_t i = 0; i < m; ++i) s += r.words[i];
  return s == r.words[m];
}

// Packs bytes into little-endian words (zero-padded).
inline std::vector<uint32_t> Pack(const std::vector<uint8_t>& bytes) {
  std::vector<uint32_t> w((bytes.size() + 3) / 4, 0);
  for (size_t i = 0; i < bytes.size(); ++i) w[i / 4] |= uint32_t(bytes[i]) << (8 * (i % 4));
  return w;
}

inline std::vector<uint32_t> WriteFlashRequest(uint32_t base, uint32_t offset, const std::vector<uint32_t>& data) {
  std::vector<uint32_t> r{uint32_t(data.size() + 6), 3, CMD_WRITE_FLASH, uint32_t(data.size()), base, offset};
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

inline std::vector<uint32_t> WriteEepromRequest(uint32_t address, const std::vector<uint32_t>& data) {
  std::vector<uint32_t> r{uint32_t(data.size() + 5), 3, CMD_WRITE_EEPROM, uint32_t(data.size() * 4), address};
  r.insert(r.end(), data.begin(), data.end());
  return r;
}

// A plugged-in locator, with a fault plan in the simulator's text form, and the host's
// transfers with its present device.
struct Plugged {
  explicit Plugged(vxsim::LocatorConfig cfg = {}) : loc(cfg) { loc.Plug(); }
  explicit Plugged(std::initializer_list<const char*> faults) {
    loc.Plug();
    for (const char* f : faults) loc.AddFault(vxsim::ParseFault(f).value());
  }
  Reply X(const std::vector<uint32_t>& request, uint32_t timeoutMs = 2000) {
    return Exchange(loc, loc.DeviceId(), request, timeoutMs);
  }
  // An IN of up to 16 bytes on its own: its status, and the words it moved in *pWords.
  vxsim::BusStatus In(uint32_t timeoutMs, std::vector<uint32_t>* pWords = nullptr) {
    uint8_t buf[16];
    uint32_t moved = 0;
    const vxsim::BusStatus s = loc.In(loc.DeviceId(), vxsim::kPipeIn, buf, 16, &moved, timeoutMs);
    if (pWords) *pWords = ToWords(buf, moved);
    return s;
  }
  vxsim::Locator loc;
};

}  // namespace simtest
