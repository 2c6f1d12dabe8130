// The services of our own that are the same on every platform.
#include <atomic>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "platform/os/os.h"

namespace {

std::atomic<PFN_OS_SLEEP> g_pfnSleepHook{nullptr};

}  // namespace

void OsSetSleepHook(PFN_OS_SLEEP pfnSleep) { g_pfnSleepHook.store(pfnSleep); }

void OsSleep(DWORD dwMilliseconds) {
  PFN_OS_SLEEP pfnSleep = g_pfnSleepHook.load();
  if (pfnSleep != nullptr) {
    pfnSleep(dwMilliseconds);
  } else {
    Sleep(dwMilliseconds);
  }
}

FILE* OsOpenFile(const char* pszWindowsPath, const char* pszMode) {
  if (pszWindowsPath == nullptr || pszMode == nullptr) return nullptr;
  // A folder is not a file: some C libraries open one for reading all the same.
  const std::string path = OsMapPath(pszWindowsPath);
  std::error_code ec;
  if (std::filesystem::is_directory(path, ec)) return nullptr;
  return std::fopen(path.c_str(), pszMode);
}

void OsUnbufferedStdout() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
