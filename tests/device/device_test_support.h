// Helpers for the device operation tests: the requests that reached the simulated locator,
// a sleep hook that notes where in the exchange sequence each pause fell, and image files in
// the firmware folder.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "device/commands.h"
#include "device/device_ops.h"
#include "device/firmware_folder.h"
#include "platform/os/os.h"
#include "sim/locator.h"
#include "support/channel_fixture.h"

namespace vxtest {

inline int ProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

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

// Notes, for each OsSleep, its duration and how many requests the locator had received by
// then, so that a test can tell a pause before a request from one after it.
class PacedSleepLog {
 public:
  static void Install(const vxsim::Locator* pLocator) {
    Locator() = pLocator;
    Entries().clear();
    OsSetSleepHook(&Hook);
  }
  struct Entry {
    DWORD dwMs;
    size_t nRequestsBefore;
  };
  static const std::vector<Entry>& Log() { return Entries(); }

 private:
  static void Hook(DWORD dwMs) { Entries().push_back({dwMs, Requests(*Locator()).size()}); }
  static const vxsim::Locator*& Locator() {
    static const vxsim::Locator* p = nullptr;
    return p;
  }
  static std::vector<Entry>& Entries() {
    static std::vector<Entry> v;
    return v;
  }
};

// Flash that does not hold what a finished erase left: at the pause before the first status
// request of the erase of u32Sector, the locator's flash from u32Unit is loaded with stale
// bytes (an earlier sector, whose erase has been reported finished by then, may be chosen).
// Only the CRC comparison can then tell the image from what the flash holds.
class StaleFlashAtErase {
 public:
  static void Install(vxsim::Locator* pLocator, uint32_t u32Sector, uint32_t u32Unit, std::vector<uint8_t> stale) {
    State() = {pLocator, u32Sector, u32Unit, std::move(stale), false};
    OsSetSleepHook(&Hook);
  }

 private:
  struct Plan {
    vxsim::Locator* pLocator;
    uint32_t u32Sector, u32Unit;
    std::vector<uint8_t> stale;
    bool bDone;
  };
  static void Hook(DWORD) {
    Plan& p = State();
    const auto requests = Requests(*p.pLocator);
    if (p.bDone || requests.empty()) return;
    const std::vector<uint32_t>& last = requests.back();
    if (last[2] == CMD_ERASE_SECTOR && last[3] == p.u32Sector) {
      p.pLocator->LoadFlash(p.u32Unit, p.stale);
      p.bDone = true;
    }
  }
  static Plan& State() {
    static Plan plan;
    return plan;
  }
};

// The firmware folder as this machine sees it. Elsewhere than on Windows it lies under a
// temporary PROGRAMDATA of this process, set before any test runs.
class FirmwareFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override {
#if !defined(_WIN32)
    root_ = std::filesystem::temp_directory_path() / ("vx_device_test_" + std::to_string(ProcessId()));
    setenv("PROGRAMDATA", root_.string().c_str(), 1);
#endif
    std::error_code ec;
    std::filesystem::create_directories(Folder(), ec);
  }
  void TearDown() override {
    std::error_code ec;
    if (!root_.empty()) std::filesystem::remove_all(root_, ec);
  }
  static std::filesystem::path Folder() { return OsMapPath(WideToAnsi(kFirmwareFolder).c_str()); }

 private:
  std::filesystem::path root_;
};

// An image file in the firmware folder for the life of the object.
class ImageFile {
 public:
  ImageFile(const std::string& sStem, const std::vector<uint8_t>& bytes)
      : sName_("vx_test_" + std::to_string(ProcessId()) + "_" + sStem + ".bin"),
        path_(FirmwareFolderEnvironment::Folder() / sName_) {
    std::ofstream out(path_, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    bWritten_ = static_cast<bool>(out);
  }
  ~ImageFile() {
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  const char* Name() const { return sName_.c_str(); }
  bool Written() const { return bWritten_; }

 private:
  std::string sName_;
  std::filesystem::path path_;
  bool bWritten_ = false;
};

}  // namespace vxtest
