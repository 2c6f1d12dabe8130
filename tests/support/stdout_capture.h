// Redirects standard output into a temporary file, so that a test can read what the code
// under test printed.
#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace vxtest {

// Redirects file descriptor 1 into a temporary file and reads back what was written.
class StdoutCapture {
 public:
  StdoutCapture() = default;
  StdoutCapture(const StdoutCapture&) = delete;
  StdoutCapture& operator=(const StdoutCapture&) = delete;
  ~StdoutCapture() { Stop(); }

  bool Start();
  std::string Take();  // everything printed since the last call
  std::string All() {  // everything printed since Start (including what Take already returned)
    Take();
    return sAll_;
  }
  void Stop();

 private:
  std::filesystem::path path_;
  FILE* pFile_ = nullptr;
  int nSavedFd_ = -1;
  size_t nOffset_ = 0;
  std::string sAll_;
};

}  // namespace vxtest
