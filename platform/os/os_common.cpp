// The services of our own that are the same on every platform.
#include <atomic>
#include <cstdio>

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
  return std::fopen(OsMapPath(pszWindowsPath).c_str(), pszMode);
}

void OsUnbufferedStdout() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
