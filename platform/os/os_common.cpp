// The services of our own that are the same on every platform.
#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdio>
#include <string>

#if !defined(_WIN32)
#include <fcntl.h>
#include <unistd.h>
#endif

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
  const std::string path = OsMapPath(pszWindowsPath);
#if defined(_WIN32)
  FILE* pFile = std::fopen(path.c_str(), pszMode);
  if (pFile == nullptr) return nullptr;
  // A device name (NUL, CON, COM1, ...) opens anywhere: it is not a file.
  struct _stat64 st {};
  if (_fstat64(_fileno(pFile), &st) != 0 || (st.st_mode & _S_IFMT) != _S_IFREG) {
    std::fclose(pFile);
    return nullptr;
  }
  return pFile;
#else
  // Only a regular file is a file: a folder, a FIFO or a device is refused without being
  // waited for (opening a FIFO for reading would wait for a writer) and without the side
  // effects some devices have on open.
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return nullptr;
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return nullptr;
  // The name may have been replaced since the stat: the test that counts is on what is open.
  const int nFlags = fcntl(fd, F_GETFL);
  if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || nFlags < 0 || fcntl(fd, F_SETFL, nFlags & ~O_NONBLOCK) != 0) {
    close(fd);
    return nullptr;
  }
  FILE* pFile = fdopen(fd, pszMode);
  if (pFile == nullptr) close(fd);
  return pFile;
#endif
}

void OsUnbufferedStdout() { std::setvbuf(stdout, nullptr, _IONBF, 0); }
