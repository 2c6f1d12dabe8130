// Windows paths mapped to a POSIX system's file system.
#include <strings.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "platform/os/os.h"

namespace {

// Trims a path's components as Windows' path normalization does before it opens a file: a
// component that ends in a single period loses it, and the last component, unless the path
// ends in a separator, loses all its trailing periods and blanks ("main.bin. " opens
// main.bin). "." and ".." are left as they are: they name the folder and its parent.
std::string TrimmedAsWindows(const std::string& sPath) {
  std::string sTrimmed;
  size_t nStart = 0;
  for (;;) {
    const size_t nEnd = sPath.find('/', nStart);
    std::string sComponent = sPath.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
    if (sComponent != "." && sComponent != "..") {
      if (nEnd == std::string::npos) {
        while (!sComponent.empty() && (sComponent.back() == '.' || sComponent.back() == ' ')) sComponent.pop_back();
      } else if (sComponent.size() >= 2 && sComponent.back() == '.' && sComponent[sComponent.size() - 2] != '.') {
        sComponent.pop_back();
      }
    }
    sTrimmed += sComponent;
    if (nEnd == std::string::npos) return sTrimmed;
    sTrimmed += '/';
    nStart = nEnd + 1;
  }
}

}  // namespace

std::string OsMapPath(const char* pszWindowsPath) {
  if (pszWindowsPath == nullptr) return std::string();
  std::string sPath(pszWindowsPath);
  std::replace(sPath.begin(), sPath.end(), '\\', '/');
  sPath = TrimmedAsWindows(sPath);
  static constexpr char kProgramData[] = "c:/programdata";
  constexpr size_t nPrefix = sizeof(kProgramData) - 1;
  if (sPath.size() >= nPrefix && strncasecmp(sPath.c_str(), kProgramData, nPrefix) == 0 &&
      (sPath.size() == nPrefix || sPath[nPrefix] == '/')) {
    const char* pszEnv = std::getenv("PROGRAMDATA");
    std::string sBase = (pszEnv != nullptr && *pszEnv != '\0') ? pszEnv : "/var/lib";
    while (!sBase.empty() && sBase.back() == '/') sBase.pop_back();
    std::string sMapped = sBase + sPath.substr(nPrefix);
    return sMapped.empty() ? std::string("/") : sMapped;
  }
  return sPath;
}
