// Helpers for the device operation tests: the requests that reached the simulated locator,
// and stale flash planted at a pause of an erase.
#pragma once

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "device/commands.h"
#include "device/device_ops.h"
#include "sim/locator.h"
#include "tests/support/channel_fixture.h"
#include "tests/support/firmware_folder.h"

namespace vxtest {

// The request frames the locator received, in order (checksum word included).
inline std::vector<std::vector<uint32_t>> Requests(const vxsim::Locator& locator, uint32_t u32Command = 0) {
  std::vector<std::vector<uint32_t>> requests;
  for (const vxsim::TraceEntry& e : locator.Trace()) {
    if (!e.bOut || e.words.size() < 3) continue;
    if (u32Command == 0 || e.words[2] == u32Command) requests.push_back(e.words);
  }
  return requests;
}

inline std::vector<uint32_t> CommandSequence(const vxsim::Locator& locator) {
  std::vector<uint32_t> codes;
  for (const auto& r : Requests(locator)) codes.push_back(r[2]);
  return codes;
}

inline vxsim::Fault ParsedFault(const std::string& text) {
  std::string sError;
  std::optional<vxsim::Fault> fault = vxsim::ParseFault(text, &sError);
  EXPECT_TRUE(fault.has_value()) << text << ": " << sError;
  return fault.value_or(vxsim::Fault{});
}

// Flash that does not hold what a finished erase left: at the pause before the first status
// request of the erase of u32Sector, the locator's flash from u32Unit is loaded with stale
// bytes (an earlier sector, whose erase has been reported finished by then, may be chosen).
// Only the CRC comparison can then tell the image from what the flash holds.
inline void StaleFlashAtErase(vxsim::Locator* pLocator, uint32_t u32Sector, uint32_t u32Unit,
                              std::vector<uint8_t> stale) {
  SleepRecorder::Install([=, bDone = false](DWORD) mutable {
    const auto requests = Requests(*pLocator);
    if (bDone || requests.empty()) return;
    const std::vector<uint32_t>& last = requests.back();
    if (last[2] == CMD_ERASE_SECTOR && last[3] == u32Sector) {
      pLocator->LoadFlash(u32Unit, stale);
      bDone = true;
    }
  });
}

}  // namespace vxtest
