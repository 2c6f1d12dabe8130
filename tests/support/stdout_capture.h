// Redirects standard output into a temporary file, so that a test can read what the code
// under test printed.
#pragma once

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <string>

#if defined(_WIN32)
#include <io.h>
#include <process.h>
#else
#include <unistd.h>
#endif

namespace vxtest {

// Redirects file descriptor 1 into a temporary file and reads back what was written.
class StdoutCapture {
 public:
  StdoutCapture() = default;
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() { Stop(); }

  bool Start() {
    static std::atomic<unsigned> nSeq{0};
    path_ = std::filesystem::temp_directory_path() /
            ("vx_stdout_" + std::to_string(Pid()) + "_" + std::to_string(nSeq++) + ".txt");
    std::fflush(stdout);
    pFile_ = std::fopen(path_.string().c_str(), "w+b");
    if (pFile_ == nullptr) return false;
    nSavedFd_ = Dup(Fileno(stdout));
    if (nSavedFd_ < 0 || Dup2(Fileno(pFile_), Fileno(stdout)) < 0) {
      Stop();
      return false;
    }
    nOffset_ = 0;
    sAll_.clear();
    return true;
  }

  // Everything printed since the last call.
  std::string Take() {
    if (pFile_ == nullptr) return {};
    std::fflush(stdout);
    std::string sNew;
    if (FILE* pRead = std::fopen(path_.string().c_str(), "rb")) {
      if (std::fseek(pRead, static_cast<long>(nOffset_), SEEK_SET) == 0) {
        char acBuf[4096];
        size_t nRead = 0;
        while ((nRead = std::fread(acBuf, 1, sizeof(acBuf), pRead)) > 0) sNew.append(acBuf, nRead);
      }
      std::fclose(pRead);
    }
    nOffset_ += sNew.size();
    sAll_ += sNew;
    return sNew;
  }

  // Everything printed since Start (including what Take already returned).
  std::string All() {
    Take();
    return sAll_;
  }

  void Stop() {
    if (pFile_ == nullptr) return;
    std::fflush(stdout);
    if (nSavedFd_ >= 0) {
      Dup2(nSavedFd_, Fileno(stdout));
      Close(nSavedFd_);
      nSavedFd_ = -1;
    }
    std::fclose(pFile_);
    pFile_ = nullptr;
    std::error_code ec;
    std::filesystem::remove(path_, ec);
  }

 private:
#if defined(_WIN32)
  static int Dup(int fd) { return _dup(fd); }
  static int Dup2(int from, int to) { return _dup2(from, to); }
  static int Close(int fd) { return _close(fd); }
  static int Fileno(FILE* p) { return _fileno(p); }
  static int Pid() { return _getpid(); }
#else
  static int Dup(int fd) { return dup(fd); }
  static int Dup2(int from, int to) { return dup2(from, to); }
  static int Close(int fd) { return close(fd); }
  static int Fileno(FILE* p) { return fileno(p); }
  static int Pid() { return static_cast<int>(getpid()); }
#endif

  std::filesystem::path path_;
  FILE* pFile_ = nullptr;
  int nSavedFd_ = -1;
  size_t nOffset_ = 0;
  std::string sAll_;
};

}  // namespace vxtest
