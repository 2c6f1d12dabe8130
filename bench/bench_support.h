// Helpers shared by the benchmarks.
#pragma once

#include <cstdio>

#if defined(_WIN32)
#include <io.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

// Standard output goes to the null device while the object lives.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
#if defined(_WIN32)
    nSaved_ = _dup(_fileno(stdout));
    FILE* pNull = fopen("NUL", "wb");
    _dup2(_fileno(pNull), _fileno(stdout));
    fclose(pNull);
#else
    nSaved_ = dup(fileno(stdout));
    const int fd = open("/dev/null", O_WRONLY);
    dup2(fd, fileno(stdout));
    close(fd);
#endif
  }
  ~QuietStdout() {
    fflush(stdout);
#if defined(_WIN32)
    _dup2(nSaved_, _fileno(stdout));
    _close(nSaved_);
#else
    dup2(nSaved_, fileno(stdout));
    close(nSaved_);
#endif
  }
  QuietStdout(const QuietStdout&) = delete;
  QuietStdout& operator=(const QuietStdout&) = delete;

  // The standard output that was there before (a descriptor owned by this object).
  int SavedFd() const { return nSaved_; }

 private:
  int nSaved_ = -1;
};
