#include "tests/support/stdout_capture.h"

#include "tests/support/firmware_folder.h"

#if defined(_WIN32)
#include <io.h>  // dup, dup2 and close under their POSIX names
#else
#include <unistd.h>
#endif

namespace vxtest {

bool StdoutCapture::Start() {
  path_ = TempName("stdout.txt");
  std::fflush(stdout);
  pFile_ = std::fopen(path_.string().c_str(), "w+b");
  if (pFile_ == nullptr) return false;
  nSavedFd_ = dup(fileno(stdout));
  if (nSavedFd_ < 0 || dup2(fileno(pFile_), fileno(stdout)) < 0) {
    Stop();
    return false;
  }
  nOffset_ = 0;
  sAll_.clear();
  return true;
}

std::string StdoutCapture::Take() {
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

void StdoutCapture::Stop() {
  if (pFile_ == nullptr) return;
  std::fflush(stdout);
  if (nSavedFd_ >= 0) {
    dup2(nSavedFd_, fileno(stdout));
    close(nSavedFd_);
    nSavedFd_ = -1;
  }
  std::fclose(pFile_);
  pFile_ = nullptr;
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

}  // namespace vxtest
