#include "device/firmware_folder.h"

#include "platform/os/os.h"

const wchar_t* const kFirmwareFolder = L"C:\\ProgramData\\Quenby Ltd\\Valtor Firmware Updater\\Firmware";

namespace {

bool IsParentComponent(const std::string& sComponent) {
  size_t nDots = 0;
  for (char c : sComponent) {
    if (c == '.') {
      ++nDots;
    } else if (c != ' ') {
      return false;
    }
  }
  return nDots >= 2;
}

bool LeavesFirmwareFolder(const char* fileName) {
  std::string sComponent;
  for (const char* p = fileName;; ++p) {
    if (*p == '\\' || *p == '/' || *p == '\0') {
      if (IsParentComponent(sComponent)) return true;
      if (*p == '\0') return false;
      sComponent.clear();
    } else {
      sComponent.push_back(*p);
    }
  }
}

}  // namespace

std::string FirmwareFilePath(const char* fileName) {
  if (LeavesFirmwareFolder(fileName)) return {};
  std::wstring wsPath = kFirmwareFolder;
  wsPath += L"\\";
  wsPath += AnsiToWide(fileName);
  return WideToAnsi(wsPath.c_str());
}
