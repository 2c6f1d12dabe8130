// The firmware folder as this machine sees it, and image files in it. Elsewhere than on
// Windows it lies under a temporary PROGRAMDATA of this process, set before any test runs:
//
//   const ::testing::Environment* const kFolder =
//       ::testing::AddGlobalTestEnvironment(new vxtest::FirmwareFolderEnvironment);
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace vxtest {

int ProcessId();
// A path in the temporary folder that no other call of this process gives: vx_<pid>_<n>_<stem>.
std::string TempName(const std::string& sStem);
// Writes the bytes exactly (binary); false when the file cannot be written.
bool WriteBytes(const std::filesystem::path& path, const std::string& bytes);
bool WriteBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// An image file's bytes: the 24-byte header (magic, type, version, CRC) before the body.
std::vector<uint8_t> HeaderImage(uint16_t u16Type, uint32_t u32Version, uint32_t u32Crc, const std::vector<uint8_t>& body);
// The image of type 1, version 7, CRC 0x1234 over the nine bytes "123456789".
inline std::vector<uint8_t> NineByteHeaderImage() { return HeaderImage(1, 7, 0x1234, {'1', '2', '3', '4', '5', '6', '7', '8', '9'}); }

class FirmwareFolderEnvironment : public ::testing::Environment {
 public:
  void SetUp() override;
  void TearDown() override;
  static std::filesystem::path Folder();

 private:
  std::filesystem::path root_;
};

// An image file in the firmware folder for the life of the object.
class ImageFile {
 public:
  ImageFile(const std::string& sStem, const std::vector<uint8_t>& bytes);
  ~ImageFile();
  ImageFile(const ImageFile&) = delete;
  ImageFile& operator=(const ImageFile&) = delete;
  const char* Name() const { return sName_.c_str(); }
  bool Written() const { return bWritten_; }

 private:
  std::string sName_;
  std::filesystem::path path_;
  bool bWritten_ = false;
};

}  // namespace vxtest
