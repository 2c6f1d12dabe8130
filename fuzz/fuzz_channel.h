// For the fuzz targets that drive the host's operations: the input read a byte or a word at
// a time; the one channel, opened once per process over a backend of the target's own,
// connected to its locator, with every pause skipped; and a firmware folder of the
// process's own under a temporary PROGRAMDATA.
#pragma once

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "device/firmware_folder.h"
#include "platform/os/os.h"
#include "platform/wdu/testing.h"
#include "usb/usb_message.h"

namespace vxfuzz {

// The fuzzer's input, taken a byte or a little-endian word at a time; 0 once it is used up.
class Input {
 public:
  void Reset(const uint8_t* pData, size_t nSize) {
    pData_ = pData;
    nLeft_ = nSize;
  }
  bool Empty() const { return nLeft_ == 0; }
  uint8_t Byte() {
    if (nLeft_ == 0) return 0;
    --nLeft_;
    return *pData_++;
  }
  uint32_t Word() {
    uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= uint32_t(Byte()) << (8 * i);
    return u;
  }

 private:
  const uint8_t* pData_ = nullptr;
  size_t nLeft_ = 0;
};

inline void NoSleep(DWORD) {}

// Opens the channel over the backend and polls until the locator is reported connected.
inline bool ConnectChannel(const WduBackend* pBackend) {
  OsSetSleepHook(&NoSleep);
  WduSelectBackend(pBackend);
  pCUsbMessage = new CUsbMessage;
  if (OpenChannel() != 0) return false;
  WduWaitIdle(5000);
  for (int i = 0; i < 100; ++i)
    if (PollConnection()) return true;
  return false;
}

// The firmware folder under a PROGRAMDATA of this process's own, removed at exit.
inline std::filesystem::path FirmwareFolder() {
  static const std::filesystem::path folder = [] {
    static const std::filesystem::path root =
        std::filesystem::temp_directory_path() / ("vx_fuzz_" + std::to_string(getpid()));
    setenv("PROGRAMDATA", root.c_str(), 1);
    std::atexit([] {
      std::error_code ec;
      std::filesystem::remove_all(root, ec);
    });
    const std::filesystem::path f = OsMapPath(WideToAnsi(kFirmwareFolder).c_str());
    std::filesystem::create_directories(f);
    return f;
  }();
  return folder;
}

}  // namespace vxfuzz
