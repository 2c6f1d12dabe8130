// For the fuzz targets that drive the host's operations: the one channel, opened once per
// process over a backend of the target's own, connected to its locator, with every pause
// skipped; and a firmware folder of the process's own under a temporary PROGRAMDATA.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "device/firmware_folder.h"
#include "platform/os/os.h"
#include "platform/wdu/backend.h"
#include "usb/usb_message.h"

namespace vxfuzz {

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
