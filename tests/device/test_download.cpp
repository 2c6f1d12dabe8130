// The image download against the simulated locator, with image files in the firmware folder.
#include <algorithm>
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "device/image_page.h"
#include "device_test_support.h"
#include "tests/support/words.h"

#if !defined(_WIN32)
#include <sys/stat.h>
#endif

namespace {

using vxtest::CommandSequence;
using vxtest::HeaderImage;
using vxtest::ImageFile;
using vxtest::ParsedFault;
using vxtest::Requests;

const ::testing::Environment* const kFolder = ::testing::AddGlobalTestEnvironment(new vxtest::FirmwareFolderEnvironment);

std::vector<uint8_t> Text(const char* psz) { return std::vector<uint8_t>(psz, psz + std::char_traits<char>::length(psz)); }

std::vector<uint8_t> Pattern(size_t nBytes, uint32_t u32Seed = 1) {
  std::vector<uint8_t> b(nBytes);
  for (size_t i = 0; i < nBytes; ++i) {
    u32Seed = u32Seed * 1103515245u + 12345u;
    b[i] = uint8_t(u32Seed >> 16);
  }
  return b;
}

std::vector<uint8_t> ZeroPadded(std::vector<uint8_t> b) {
  b.resize((b.size() + kPageBytes - 1) / kPageBytes * kPageBytes, 0);
  return b;
}

// The CRC the locator computes over the padded image: its own step over the even bytes.
uint32_t ExpectedCrc(const std::vector<uint8_t>& image) {
  uint32_t crc = 0xFFFF;
  const std::vector<uint8_t> padded = ZeroPadded(image);
  for (size_t i = 0; i < padded.size(); i += 2) crc = vxsim::LoaderCrcStep(crc, padded[i]);
  return crc;
}

std::string Dots(size_t nPages) {
  std::string s;
  for (size_t k = 0; k < nPages; k += 4) s += (k % 256 == 0) ? "\n." : ".";
  return s;
}

constexpr const char* kErasing =
    "\nErasing Flash Sector : 0x8000\nErasing Flash Sector : 0x10000\nErasing Flash Sector : 0x18000"
    "\nErasing Flash Sector : 0x20000";
constexpr const char* kNoRecord =
    "Error Maximum Eeprom Address 0x3FFFF exceeded for 256 Kbyte Eeprom\n"
    "Error Number of bytes greater than an Eeprom page size = 256\n";

class DownloadTest : public vxtest::ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    if (HasFatalFailure()) return;
    std::error_code ec;
    if (!std::filesystem::is_directory(vxtest::FirmwareFolderEnvironment::Folder(), ec))
      GTEST_SKIP() << "the firmware folder cannot be created here";
    ASSERT_TRUE(PlugAndConnect());
  }
  void TearDown() override {
    SetPageBufferAllocator(nullptr);
    ChannelTest::TearDown();
  }

  int32_t Download(const char* pszName) {
    nExchangesBefore = pLocator->ExchangeCount();
    return DownloadFirmwareImage(pszName, u32Crc, u32Length);
  }

  // The flash from 0x8000 holds the padded image, and the rest of the image area is erased.
  void ExpectFlashHolds(const std::vector<uint8_t>& image) {
    const std::vector<uint8_t> padded = ZeroPadded(image);
    EXPECT_TRUE(pLocator->FlashBytes(kImageBase, uint32_t(padded.size())) == padded) << "image not in flash";
    const uint32_t nRest = 0x40000 - uint32_t(padded.size());
    const std::vector<uint8_t> rest = pLocator->FlashBytes(kImageBase + uint32_t(padded.size()) / 2, nRest);
    EXPECT_TRUE(std::all_of(rest.begin(), rest.end(), [](uint8_t b) { return b == 0xFF; })) << "image area not erased";
  }

  // Every page write carries words 0 to 4 unchanged, the page's offset and its data.
  void ExpectPageWrites(const std::vector<uint8_t>& image, size_t nPages) {
    const std::vector<uint8_t> padded = ZeroPadded(image);
    const auto writes = Requests(*pLocator, CMD_WRITE_FLASH);
    ASSERT_EQ(writes.size(), nPages);
    for (size_t k = 0; k < nPages; ++k) {
      ASSERT_EQ(writes[k].size(), 71u);
      EXPECT_EQ(std::vector<uint32_t>(writes[k].begin(), writes[k].begin() + 6),
                (std::vector<uint32_t>{70, 3, 412, 64, 0x8000, uint32_t(128 * k)}))
          << "page " << k;
      EXPECT_EQ(std::vector<uint32_t>(writes[k].begin() + 6, writes[k].begin() + 70), vxtest::ToWords(&padded[256 * k], 256))
          << "page " << k;
    }
  }

  std::vector<uint32_t> CrcRequest() {
    const auto crcs = Requests(*pLocator, CMD_FLASH_CRC);
    return crcs.size() == 1 ? std::vector<uint32_t>(crcs[0].begin(), crcs[0].begin() + 5) : std::vector<uint32_t>{};
  }

  uint32_t u32Crc = 0xDEADBEEF;
  uint32_t u32Length = 0xDEADBEEF;
  uint32_t nExchangesBefore = 0;
};

TEST_F(DownloadTest, NineByteFileWithoutHeader) {
  const std::vector<uint8_t> image = Text("123456789");
  ImageFile file("nine", image);
  ASSERT_TRUE(file.Written());
  EXPECT_EQ(Download(file.Name()), 0);
  EXPECT_EQ(TakeOutput(), std::string(kErasing) + "\n\nFile : " + file.Name() +
                              "\nFile Size (Kilobytes) = 0\nFlash Page Size = 256 bytes, Number Pages = 1"
                              "\nFlash Start Sector Address = 0x8000\nDownloading 1 Pages To Flash\n."
                              "\nDownload Completed.\n\nFlashCRC = 0xA997EB77, File CRC = 0xA997EB77\n"
                              "SUCCESS, Flash and Firmware File CRCs equal\n"
                              "\nUpdating EEPROM Firmware Versions Image Type 0 ver 0  CRC 0x0 Length 0x0 Status 4\n" +
                              kNoRecord);
  EXPECT_EQ(u32Crc, 0xA997EB77u);
  EXPECT_EQ(u32Length, 128u);
  ExpectFlashHolds(image);
  ExpectPageWrites(image, 1);
  EXPECT_EQ(Requests(*pLocator, CMD_WRITE_FLASH)[0][6], 0x34333231u);
  EXPECT_EQ(CrcRequest(), (std::vector<uint32_t>{5, 4, 413, 0x8000, 128}));
  // Type 0 has no record: the EEPROM is not written.
  EXPECT_EQ(CommandSequence(*pLocator), (std::vector<uint32_t>{404, 405, 404, 405, 404, 405, 404, 405, 412, 413}));
  const std::vector<uint8_t> eeprom = pLocator->EepromBytes(0, 0x40000);
  EXPECT_TRUE(std::all_of(eeprom.begin(), eeprom.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(DownloadTest, HeaderImageWritesItsRecord) {
  const std::vector<uint8_t> image = HeaderImage(1, 7, 0x1234, Text("123456789"));
  ASSERT_EQ(image.size(), 33u);
  ImageFile file("header", image);
  EXPECT_EQ(Download(file.Name()), 0);
  const std::string sOut = TakeOutput();
  EXPECT_NE(sOut.find("\nDownload Completed.\n\nFlashCRC = 0x94E889E8, File CRC = 0x94E889E8\n"
                      "SUCCESS, Flash and Firmware File CRCs equal\n"
                      "\nUpdating EEPROM Firmware Versions Image Type 1 ver 7  CRC 0x1234 Length 0x0 Status 4\n"),
            std::string::npos)
      << sOut;
  EXPECT_EQ(sOut.find("Error Maximum"), std::string::npos);
  EXPECT_EQ(u32Crc, 0x94E889E8u);
  EXPECT_EQ(u32Length, 128u);
  ExpectFlashHolds(image);
  EXPECT_EQ(pLocator->EepromBytes(0x1010, 16), (std::vector<uint8_t>{7, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}));
  const auto records = Requests(*pLocator, CMD_WRITE_EEPROM);
  ASSERT_EQ(records.size(), 1u);
  EXPECT_EQ(std::vector<uint32_t>(records[0].begin(), records[0].begin() + 9),
            (std::vector<uint32_t>{9, 3, 901, 16, 0x1010, 7, 0x1234, 0, 4}));
}

struct ShapeCase {
  const char* name;
  std::vector<uint8_t> image;
  size_t nPages;
};
void PrintTo(const ShapeCase& c, std::ostream* pOs) { *pOs << c.name; }

class DownloadShapeTest : public DownloadTest, public ::testing::WithParamInterface<ShapeCase> {};

TEST_P(DownloadShapeTest, ImageReachesFlashAndIsVerified) {
  const ShapeCase& c = GetParam();
  ImageFile file(c.name, c.image);
  ASSERT_TRUE(file.Written());
  EXPECT_EQ(Download(file.Name()), 0);
  const std::string sOut = TakeOutput();
  const uint32_t u32Expected = ExpectedCrc(c.image);
  char acLines[512];
  std::snprintf(acLines, sizeof acLines,
                "\nFile Size (Kilobytes) = %u\nFlash Page Size = 256 bytes, Number Pages = %u"
                "\nFlash Start Sector Address = 0x8000\nDownloading %u Pages To Flash",
                unsigned(c.image.size() / 1024), unsigned(c.nPages), unsigned(c.nPages));
  EXPECT_NE(sOut.find(std::string(acLines) + Dots(c.nPages) + "\nDownload Completed.\n"), std::string::npos) << sOut;
  EXPECT_NE(sOut.find("SUCCESS, Flash and Firmware File CRCs equal\n"), std::string::npos);
  EXPECT_EQ(u32Crc, u32Expected);
  EXPECT_EQ(u32Length, 128 * c.nPages);
  EXPECT_EQ(CrcRequest(), (std::vector<uint32_t>{5, 4, 413, 0x8000, uint32_t(128 * c.nPages)}));
  ExpectPageWrites(c.image, c.nPages);
  ExpectFlashHolds(c.image);
}

INSTANTIATE_TEST_SUITE_P(Shapes, DownloadShapeTest,
                         ::testing::Values(ShapeCase{"one_byte", Pattern(1), 1},
                                           ShapeCase{"exactly_256", Pattern(256), 1},
                                           ShapeCase{"bytes_257", Pattern(257), 2},
                                           ShapeCase{"bytes_300", Pattern(300, 7), 2},
                                           ShapeCase{"three_pages_and_a_bit", Pattern(3 * 256 + 5, 3), 4},
                                           ShapeCase{"pages_257_across_a_sector", Pattern(257 * 256 - 3, 5), 257},
                                           ShapeCase{"pages_1024_whole_area", Pattern(1024 * 256, 9), 1024}),
                         [](const ::testing::TestParamInfo<ShapeCase>& info) { return std::string(info.param.name); });

// Files that are no image, and names that leave the firmware folder, are refused before
// anything reaches the locator: empty, beyond the four image sectors, not read whole (its
// size promises more than it holds), not a regular file (a FIFO would block the open), or a
// name with a parent component. Subfolders are allowed, and a name opens as Windows opens
// it: without the trailing periods and blanks of its last component, or the single period
// ending another.
TEST_F(DownloadTest, WhatCannotBeAnImageIsRefusedBeforeAnythingIsSent) {
  namespace fs = std::filesystem;
  const fs::path folder = vxtest::FirmwareFolderEnvironment::Folder();
  const std::string sTag = std::to_string(vxtest::ProcessId());
  ImageFile empty("empty_file", {});
  ImageFile tooLarge("pages_1025", Pattern(1024 * 256 + 1, 13));
  const std::vector<uint8_t> image = Pattern(300, 17);
  const fs::path sub = folder / ("sub_" + sTag);
  fs::create_directories(sub);
  ASSERT_TRUE(vxtest::WriteBytes(sub / "ok.bin", image));
  const fs::path outside = folder.parent_path() / ("outside_" + sTag + ".bin");
  ASSERT_TRUE(vxtest::WriteBytes(outside, image));
  const std::string sOutside = outside.filename().string();
#if !defined(_WIN32)
  const std::string sFifo = "fifo_" + sTag + ".bin", sDevice = "null_" + sTag + ".bin";
  ASSERT_EQ(mkfifo((folder / sFifo).string().c_str(), 0600), 0);
  fs::create_symlink("/dev/null", folder / sDevice);
#endif
#if defined(__linux__)
  // A kernel attribute: a regular file of 4096 bytes by its size, a few bytes when read.
  const std::string sShort = "short_" + sTag + ".bin";
  const fs::path attribute = "/sys/devices/system/cpu/online";
  const bool bShort = fs::is_regular_file(attribute) && fs::file_size(attribute) > 64;
  if (bShort) fs::create_symlink(attribute, folder / sShort);
#endif
  struct Case {
    std::string sName;
    int32_t nResult;
    std::string sLine;  // the only output; empty for a download that runs
  };
  const std::string sTooLarge = std::string("\nFile : ") + tooLarge.Name() +
                                " is too large for the image area: 262145 bytes, at most 262144 (1024 pages)\n";
  std::vector<Case> cases = {
      {empty.Name(), kErrNotAnImage, std::string("\nFile : ") + empty.Name() + " is empty: not a firmware image\n"},
      {tooLarge.Name(), kErrNotAnImage, sTooLarge},
      {"sub_" + sTag, -2, ""},
      {"../" + sOutside, -2, ""},
      {"..\\" + sOutside, -2, ""},
      {"sub_" + sTag + "/../../" + sOutside, -2, ""},
      {"sub_" + sTag + "\\..\\ok.bin", -2, ""},
      {". .\\" + sOutside, -2, ""},
      {"...\\" + sOutside, -2, ""},
#if !defined(_WIN32)
      {sFifo, -2, ""},
      {sDevice, -2, ""},
#endif
      {"sub_" + sTag + "/ok.bin", 0, ""},
      {"sub_" + sTag + "\\ok.bin", 0, ""},
      {"sub_" + sTag + "\\ok.bin ", 0, ""},
      {"sub_" + sTag + ".\\ok.bin. . ", 0, ""},
  };
#if defined(__linux__)
  if (bShort) cases.push_back({sShort, -4, "\nError reading file\n"});
#endif
  for (const Case& c : cases) {
    SCOPED_TRACE(c.sName);
    pLocator->ClearTrace();
    u32Crc = u32Length = 0xDEADBEEF;
    const int32_t nResult = Download(c.sName.c_str());
    EXPECT_EQ(nResult, c.nResult);
    const std::string sOut = TakeOutput();
    if (c.nResult == 0) {
      EXPECT_NE(u32Length, 0u);
      continue;
    }
    EXPECT_EQ(sOut, c.nResult == -2 ? "\nFile : " + c.sName + " does NOT exist\n" : c.sLine);
    EXPECT_EQ(pLocator->ExchangeCount(), nExchangesBefore) << "nothing may reach the locator";
    EXPECT_EQ(u32Crc, 0xDEADBEEFu);
    EXPECT_EQ(u32Length, 0xDEADBEEFu);
  }
  std::error_code ec;
  fs::remove_all(sub, ec);
  fs::remove(outside, ec);
#if !defined(_WIN32)
  fs::remove(folder / sFifo, ec);
  fs::remove(folder / sDevice, ec);
#endif
#if defined(__linux__)
  fs::remove(folder / sShort, ec);
#endif
}

TEST_F(DownloadTest, ThousandPagesPrintFourLinesOfSixtyFourDots) {
  ImageFile file("pages_1024", Pattern(1024 * 256, 11));
  EXPECT_EQ(Download(file.Name()), 0);
  const std::string sOut = TakeOutput();
  const std::string sLine = "\n" + std::string(64, '.');
  EXPECT_NE(sOut.find("Downloading 1024 Pages To Flash" + sLine + sLine + sLine + sLine + "\nDownload Completed.\n"),
            std::string::npos);
  const auto writes = Requests(*pLocator, CMD_WRITE_FLASH);
  ASSERT_EQ(writes.size(), 1024u);
  EXPECT_EQ(writes.back()[5], 0x1FF80u);
  EXPECT_EQ(CrcRequest().at(4), 0x20000u);
}

struct RecordCase {
  uint16_t u16Type;
  uint32_t u32Address;  // 0: not written
};

TEST_F(DownloadTest, RecordAddressByImageType) {
  const RecordCase cases[] = {{2, 0x1020}, {4, 0x1040}, {8, 0x1080}, {9, 0x10A0}, {10, 0x10A0}, {11, 0}, {0x8001, 0}};
  for (const RecordCase& c : cases) {
    SCOPED_TRACE(c.u16Type);
    pLocator->ResetMemory();
    ImageFile file("type" + std::to_string(c.u16Type), HeaderImage(c.u16Type, 100 + c.u16Type, 0xC0DE0000u + c.u16Type, Pattern(40)));
    const uint32_t nRecordsBefore = pLocator->CommandCount(CMD_WRITE_EEPROM);
    EXPECT_EQ(Download(file.Name()), 0);
    const std::string sOut = TakeOutput();
    char acLine[160];
    std::snprintf(acLine, sizeof acLine,
                  "\nUpdating EEPROM Firmware Versions Image Type %d ver %d  CRC 0x%x Length 0x0 Status 4\n",
                  int(c.u16Type), int(100 + c.u16Type), 0xC0DE0000u + c.u16Type);
    const std::string sTail = std::string(acLine) + (c.u32Address == 0 ? kNoRecord : "");
    ASSERT_GE(sOut.size(), sTail.size());
    EXPECT_EQ(sOut.substr(sOut.size() - sTail.size()), sTail);

    std::vector<uint8_t> eeprom = pLocator->EepromBytes(0x1000, 0x100);
    if (c.u32Address != 0) {
      EXPECT_EQ(pLocator->CommandCount(CMD_WRITE_EEPROM) - nRecordsBefore, 1u);
      const std::vector<uint8_t> expected = {uint8_t(100 + c.u16Type), 0, 0, 0, uint8_t(c.u16Type), 0, 0xDE, 0xC0, 0, 0, 0, 0, 4, 0, 0, 0};
      EXPECT_TRUE(std::equal(expected.begin(), expected.end(), eeprom.begin() + (c.u32Address - 0x1000)));
      std::fill(eeprom.begin() + (c.u32Address - 0x1000), eeprom.begin() + (c.u32Address - 0x1000) + 16, 0xFF);
    } else {
      EXPECT_EQ(pLocator->CommandCount(CMD_WRITE_EEPROM) - nRecordsBefore, 0u);
    }
    // Nothing else of the record area was touched (0x1090 among it).
    EXPECT_TRUE(std::all_of(eeprom.begin(), eeprom.end(), [](uint8_t b) { return b == 0xFF; }));
  }
}

TEST_F(DownloadTest, PageWriteFailingAtPageFive) {
  const std::vector<uint8_t> image = HeaderImage(3, 5, 0xABCD, Pattern(10 * 256));
  ImageFile file("fails_at_5", image);
  pLocator->AddFault(ParsedFault("result=55@cmd=412#6"));
  EXPECT_EQ(Download(file.Name()), 55);
  const std::string sOut = TakeOutput();
  EXPECT_NE(sOut.find("\n..\nCommunication error during Firmware Download\nError Code = 55, nPage = 5, Address offset = 0x280\n"
                      "\nUpdating EEPROM Firmware Versions Image Type 3 ver 5  CRC 0xabcd Length 0x0 Status 4\n"),
            std::string::npos)
      << sOut;
  EXPECT_EQ(sOut.find("Download Completed"), std::string::npos);
  EXPECT_EQ(u32Crc, 0u);
  EXPECT_EQ(u32Length, 0u);
  EXPECT_EQ(pLocator->CommandCount(CMD_WRITE_FLASH), 6u);
  EXPECT_EQ(pLocator->CommandCount(CMD_FLASH_CRC), 0u);
  EXPECT_EQ(pLocator->EepromBytes(0x1030, 4), (std::vector<uint8_t>{5, 0, 0, 0}));
  const std::vector<uint8_t> padded = ZeroPadded(image);
  EXPECT_TRUE(pLocator->FlashBytes(kImageBase, 5 * 256) == std::vector<uint8_t>(padded.begin(), padded.begin() + 5 * 256));
  const std::vector<uint8_t> after = pLocator->FlashBytes(kImageBase + 6 * 128, 4 * 256);
  EXPECT_TRUE(std::all_of(after.begin(), after.end(), [](uint8_t b) { return b == 0xFF; }));
}

TEST_F(DownloadTest, PageWriteFailingInTheLinkEndsTheDownload) {
  ImageFile file("link_fails", Pattern(4 * 256));
  pLocator->AddFault(ParsedFault("badchecksum@cmd=412#2"));
  EXPECT_EQ(Download(file.Name()), 103);
  EXPECT_NE(TakeOutput().find("\nError Code = 103, nPage = 1, Address offset = 0x80\n"), std::string::npos);
  EXPECT_EQ(pLocator->CommandCount(CMD_WRITE_FLASH), 2u);
  EXPECT_EQ(u32Crc | u32Length, 0u);
}

TEST_F(DownloadTest, FailedCrcRequestIsTheResult) {
  ImageFile file("crc_fails", HeaderImage(2, 1, 2, Pattern(100)));
  pLocator->AddFault(ParsedFault("result=7@cmd=413"));
  EXPECT_EQ(Download(file.Name()), 7);
  const std::string sOut = TakeOutput();
  EXPECT_NE(sOut.find("\nDownload Completed.\n\nUpdating EEPROM Firmware Versions Image Type 2"), std::string::npos) << sOut;
  EXPECT_EQ(u32Crc | u32Length, 0u);
  EXPECT_EQ(pLocator->CommandCount(CMD_WRITE_EEPROM), 1u);
}

// A sector that does not hold its erase: stale zeros are back in sector 0x10000 after its
// erase was reported finished, and programming over them gives the locator another CRC.
TEST_F(DownloadTest, CrcMismatchLeavesTheOutputsZero) {
  const std::vector<uint8_t> image = HeaderImage(1, 3, 4, Pattern(300 * 256, 13));
  ImageFile file("mismatch", image);
  vxtest::StaleFlashAtErase(pLocator.get(), 0x18000, 0x10000, std::vector<uint8_t>(0x10000, 0x00));
  EXPECT_EQ(Download(file.Name()), 0);
  const std::string sOut = TakeOutput();
  const uint32_t u32FlashCrc = pLocator->FlashCrc(kImageBase, uint32_t(ZeroPadded(image).size() / 2));
  ASSERT_NE(u32FlashCrc, ExpectedCrc(image));
  char acLine[96];
  std::snprintf(acLine, sizeof acLine, "\nFlashCRC = 0x%X, File CRC = 0x%X\n", u32FlashCrc, ExpectedCrc(image));
  EXPECT_NE(sOut.find(std::string(acLine) + "\nFAILURE, Flash and Firmware File CRCs NOT equal\n"
                                            "\nUpdating EEPROM Firmware Versions Image Type 1 ver 3"),
            std::string::npos)
      << sOut;
  EXPECT_EQ(u32Crc, 0u);
  EXPECT_EQ(u32Length, 0u);
  EXPECT_EQ(pLocator->EepromBytes(0x1010, 4), (std::vector<uint8_t>{3, 0, 0, 0}));
}

// The same route to a wrong flash, with the stale bytes chosen so that the locator's CRC
// agrees with the file's in its low 16 bits only: the comparison takes all 32 bits.
TEST_F(DownloadTest, CrcThatAgreesOnlyInItsLow16BitsIsAMismatch) {
  std::vector<uint8_t> image = Pattern(256 * 256, 17);
  image.insert(image.end(), 256, 0xFF);  // page 256, the first of sector 0x10000, all ones
  const uint32_t u32FileCrc = ExpectedCrc(image);
  uint32_t u32Prefix = 0xFFFF;
  for (size_t i = 0; i < image.size() - 6; i += 2) u32Prefix = vxsim::LoaderCrcStep(u32Prefix, image[i]);

  // Stale contents of the page: all ones but three even bytes near its end.
  std::vector<uint8_t> stale(256, 0xFF);
  bool bFound = false;
  for (uint32_t a = 0; a < 0xFF && !bFound; ++a) {
    const uint32_t u32A = vxsim::LoaderCrcStep(u32Prefix, uint8_t(a));
    for (uint32_t bc = 0; bc <= 0xFFFF && !bFound; ++bc) {
      const uint32_t v = vxsim::LoaderCrcStep(vxsim::LoaderCrcStep(u32A, uint8_t(bc >> 8)), uint8_t(bc));
      if ((v & 0xFFFF) == (u32FileCrc & 0xFFFF) && v != u32FileCrc) {
        stale[250] = uint8_t(a), stale[252] = uint8_t(bc >> 8), stale[254] = uint8_t(bc);
        bFound = true;
      }
    }
  }
  ASSERT_TRUE(bFound);
  vxtest::StaleFlashAtErase(pLocator.get(), 0x18000, 0x10000, stale);
  ImageFile file("low_half_agrees", image);
  EXPECT_EQ(Download(file.Name()), 0);
  const uint32_t u32FlashCrc = pLocator->FlashCrc(kImageBase, 257 * 128);
  ASSERT_EQ(u32FlashCrc & 0xFFFF, u32FileCrc & 0xFFFF);
  ASSERT_NE(u32FlashCrc, u32FileCrc);
  EXPECT_NE(TakeOutput().find("\nFAILURE, Flash and Firmware File CRCs NOT equal\n"), std::string::npos);
  EXPECT_EQ(u32Crc | u32Length, 0u);
}

TEST_F(DownloadTest, NothingIsSentForANullNameOrAMissingFile) {
  EXPECT_EQ(Download(nullptr), -1);
  EXPECT_EQ(TakeOutput(), "File Name NULL\n");
  EXPECT_EQ(Download("no_such_image.bin"), -2);
  EXPECT_EQ(TakeOutput(), "\nFile : no_such_image.bin does NOT exist\n");
  EXPECT_EQ(Download(""), -2);  // the folder itself is no image
  EXPECT_EQ(TakeOutput(), "\nFile :  does NOT exist\n");
  EXPECT_EQ(pLocator->ExchangeCount(), nExchangesBefore);
  EXPECT_EQ(u32Crc, 0xDEADBEEFu);
  EXPECT_EQ(u32Length, 0xDEADBEEFu);
}

// Any image sector whose erase does not finish (refused by the locator, still running at the
// last status request, or lost in the link) ends the download before a page is programmed.
TEST_F(DownloadTest, ImageSectorNotErasedStopsBeforeAnyPage) {
  ImageFile file("no_erase", Pattern(512));
  pCUsbMessage->dwTimeoutMs = 50;  // a short write waits out one time-out
  struct EraseCase {
    const char* pszFault;  // strikes the nth request of its command within this download
    uint32_t u32Command;
    uint32_t nth;
    const char* pszTimes;
    size_t nSector;  // index of the sector whose erase fails
  };
  const EraseCase cases[] = {
      {"result=0", CMD_ERASE_SECTOR, 1, "", 0},  {"result=0", CMD_ERASE_SECTOR, 4, "", 3},
      {"badchecksum", CMD_ERASE_SECTOR, 2, "", 1}, {"shortwrite", CMD_ERASE_SECTOR, 3, "", 2},
      {"result=0", CMD_ERASE_STATUS, 1, "*0", 0}, {"result=0", CMD_ERASE_STATUS, 2, "*0", 1},
      {"noanswer", CMD_ERASE_STATUS, 4, "", 3},
  };
  for (const EraseCase& c : cases) {
    const std::string sFault = std::string(c.pszFault) + "@cmd=" + std::to_string(c.u32Command) + "#" +
                               std::to_string(pLocator->CommandCount(c.u32Command) + c.nth) + c.pszTimes;
    SCOPED_TRACE(sFault);
    pLocator->ClearFaults();
    pLocator->AddFault(ParsedFault(sFault));
    const uint32_t nWritesBefore = pLocator->CommandCount(CMD_WRITE_FLASH) + pLocator->CommandCount(CMD_WRITE_EEPROM);
    EXPECT_EQ(Download(file.Name()), -3);
    std::string sExpected;  // the erase lines up to the failing sector's
    for (size_t i = 0; i <= c.nSector; ++i) {
      char acLine[40];
      std::snprintf(acLine, sizeof acLine, "\nErasing Flash Sector : 0x%X", kImageSectors[i]);
      sExpected += acLine;
    }
    EXPECT_EQ(TakeOutput(), sExpected + "\nError erasing sector\n");
    EXPECT_EQ(pLocator->CommandCount(CMD_WRITE_FLASH) + pLocator->CommandCount(CMD_WRITE_EEPROM), nWritesBefore);
    EXPECT_EQ(u32Crc, 0xDEADBEEFu);
  }
}

TEST_F(DownloadTest, PageBufferThatCannotBeHadEndsTheDownloadBeforeAnythingIsSent) {
  ImageFile file("no_memory", HeaderImage(1, 1, 1, Pattern(1000)));
  SetPageBufferAllocator([](size_t) -> uint8_t* { return nullptr; });
  EXPECT_EQ(Download(file.Name()), -4);
  EXPECT_EQ(TakeOutput(), "\nError allocating page buffer for file : " + std::string(file.Name()) + "\n");
  EXPECT_EQ(pLocator->ExchangeCount(), nExchangesBefore);
  EXPECT_EQ(u32Crc, 0xDEADBEEFu);
  EXPECT_EQ(u32Length, 0xDEADBEEFu);
}

}  // namespace
