#include "tests/support/firmware_folder.h"

#include <atomic>
#include <cstdlib>
#include <fstream>

#include "device/firmware_folder.h"
#include "platform/os/os.h"

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

namespace vxtest {

int ProcessId() {
#if defined(_WIN32)
  return _getpid();
#else
  return static_cast<int>(getpid());
#endif
}

std::string TempName(const std::string& sStem) {
  static std::atomic<unsigned> nSeq{0};
  return (std::filesystem::temp_directory_path() /
          ("vx_" + std::to_string(ProcessId()) + "_" + std::to_string(nSeq++) + "_" + sStem))
      .string();
}

bool WriteBytes(const std::filesystem::path& path, const std::string& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

bool WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  return WriteBytes(path, std::string(bytes.begin(), bytes.end()));
}

std::vector<uint8_t> HeaderImage(uint16_t u16Type, uint32_t u32Version, uint32_t u32Crc, const std::vector<uint8_t>& body) {
  std::vector<uint8_t> b = {0xFC, 0xFC, 0xFC, 0xFC, 0, 0, uint8_t(u16Type), uint8_t(u16Type >> 8), 0, 0, 0, 0};
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(u32Version >> (8 * i)));
  b.insert(b.end(), 4, 0);
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(u32Crc >> (8 * i)));
  b.insert(b.end(), body.begin(), body.end());
  return b;
}

void FirmwareFolderEnvironment::SetUp() {
#if !defined(_WIN32)
  root_ = std::filesystem::temp_directory_path() / ("vx_device_test_" + std::to_string(ProcessId()));
  setenv("PROGRAMDATA", root_.string().c_str(), 1);
#endif
  std::error_code ec;
  std::filesystem::create_directories(Folder(), ec);
}

void FirmwareFolderEnvironment::TearDown() {
  std::error_code ec;
  if (!root_.empty()) std::filesystem::remove_all(root_, ec);
}

std::filesystem::path FirmwareFolderEnvironment::Folder() { return OsMapPath(WideToAnsi(kFirmwareFolder).c_str()); }

ImageFile::ImageFile(const std::string& sStem, const std::vector<uint8_t>& bytes)
    : sName_("vx_test_" + std::to_string(ProcessId()) + "_" + sStem + ".bin"),
      path_(FirmwareFolderEnvironment::Folder() / sName_),
      bWritten_(WriteBytes(path_, bytes)) {}

ImageFile::~ImageFile() {
  std::error_code ec;
  std::filesystem::remove(path_, ec);
}

}  // namespace vxtest
