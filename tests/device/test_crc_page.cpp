// The CRC step and the page packing, without a device.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "device/commands.h"
#include "device/device_ops.h"
#include "device/image_page.h"
#include "sim/locator.h"
#include "tests/support/firmware_folder.h"

namespace {

// The step as defined: eight shifts, bit 7 of the data first, the value never masked.
uint32_t ReferenceCrcStep(uint32_t data, uint32_t crc) {
  for (int bit = 7; bit >= 0; --bit) {
    const bool bDiffers = ((crc >> 15) & 1u) != ((data >> bit) & 1u);
    crc = bDiffers ? (crc << 1) ^ 0x1021u : crc << 1;
  }
  return crc;
}

TEST(Crc16Update, MatchesTheBitwiseStepForEveryByteAndAWideSampleOfRunningValues) {
  // Every low 16-bit value, each with different upper bits, against every data byte; plus
  // data values with bits above 7 set, which must make no difference.
  uint32_t u32Lcg = 12345;
  uint64_t nMismatches = 0;
  for (uint32_t low = 0; low <= 0xFFFF; ++low) {
    u32Lcg = u32Lcg * 1664525u + 1013904223u;
    const uint32_t crc = (u32Lcg & 0xFFFF0000u) | low;
    for (uint32_t data = 0; data < 256; ++data) {
      const uint32_t expected = ReferenceCrcStep(data, crc);
      if (Crc16Update(data, crc) != expected) ++nMismatches;
      if (Crc16Update(data | (u32Lcg & 0xFFFFFF00u), crc) != expected) ++nMismatches;
    }
  }
  EXPECT_EQ(nMismatches, 0u);
  // Upper bits alone, and the extremes.
  for (uint32_t crc : {0xFFFF0000u, 0xFFFFFFFFu, 0x80000000u, 0x00010000u, 0u}) {
    for (uint32_t data = 0; data < 256; ++data) ASSERT_EQ(Crc16Update(data, crc), ReferenceCrcStep(data, crc));
  }
}

TEST(Crc16Update, AgreesWithTheLoadersOwnStep) {
  uint32_t crcHost = 0xFFFF, crcLoader = 0xFFFF;
  for (uint32_t i = 0; i < 100000; ++i) {
    const uint8_t data = static_cast<uint8_t>(i * 7 + (i >> 3));
    crcHost = Crc16Update(data, crcHost);
    crcLoader = vxsim::LoaderCrcStep(crcLoader, data);
    ASSERT_EQ(crcHost, crcLoader) << "after byte " << i;
  }
}

TEST(Crc16Update, KnownVectors) {
  uint32_t crc = 0xFFFF;
  for (const char* p = "123456789"; *p; ++p) crc = Crc16Update(static_cast<uint8_t>(*p), crc);
  EXPECT_EQ(crc, 0x73A829B1u);
  EXPECT_EQ(crc & 0xFFFFu, 0x29B1u);  // CRC-16/CCITT-FALSE check value
  EXPECT_EQ(Crc16Update(0x1231, 0xFFFF), 0x00F3C782u);
  EXPECT_EQ(Crc16Update(0x31, 0xFFFF), 0x00F3C782u);
}

std::vector<uint8_t> Padded(const std::vector<uint8_t>& bytes) {
  std::vector<uint8_t> page(kPageBytes, 0);
  std::memcpy(page.data(), bytes.data(), bytes.size());
  return page;
}

struct PackCase {
  const char* name;
  std::vector<uint8_t> bytes;
  std::vector<uint32_t> leadingWords;  // the rest of the 64 are zero
  uint32_t crc;
};

TEST(PackPage, PacksLittleEndianWordsAndFeedsBytesZeroAndTwoOfEach) {
  const std::vector<PackCase> cases = {
      {"nine bytes", {'1', '2', '3', '4', '5', '6', '7', '8', '9'}, {0x34333231, 0x38373635, 0x39}, 0xA997EB77u},
      {"header and nine bytes",
       vxtest::NineByteHeaderImage(),
       {0xFCFCFCFC, 0x00010000, 0, 7, 0, 0x1234, 0x34333231, 0x38373635, 0x39},
       0x94E889E8u},
  };
  for (const PackCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint8_t> page = Padded(c.bytes);
    uint32_t au32Words[kPageWords];
    std::memset(au32Words, 0xA5, sizeof au32Words);
    EXPECT_EQ(PackPage(page.data(), au32Words, 0xFFFF), c.crc);
    for (uint32_t j = 0; j < kPageWords; ++j) {
      EXPECT_EQ(au32Words[j], j < c.leadingWords.size() ? c.leadingWords[j] : 0u) << "word " << j;
    }
  }
}

TEST(PackPage, BytesAtOddOffsetsDoNotReachTheCrc) {
  std::vector<uint8_t> a(kPageBytes), b(kPageBytes);
  for (uint32_t i = 0; i < kPageBytes; ++i) a[i] = b[i] = static_cast<uint8_t>(i * 37 + 11);
  for (uint32_t i = 1; i < kPageBytes; i += 2) b[i] = static_cast<uint8_t>(~b[i]);
  uint32_t au32A[kPageWords], au32B[kPageWords];
  EXPECT_EQ(PackPage(a.data(), au32A, 0xFFFF), PackPage(b.data(), au32B, 0xFFFF));
  EXPECT_NE(std::memcmp(au32A, au32B, sizeof au32A), 0);
  // ...but an even one does.
  b = a;
  b[200] ^= 1;
  EXPECT_NE(PackPage(a.data(), au32A, 0xFFFF), PackPage(b.data(), au32B, 0xFFFF));
}

TEST(ReadImageHeader, ReadsTypeVersionAndCrcOnlyAfterTheMagic) {
  const std::vector<uint8_t> withHeader = Padded(vxtest::NineByteHeaderImage());
  const ImageHeader h = ReadImageHeader(withHeader.data(), vxtest::NineByteHeaderImage().size());
  EXPECT_EQ(h.u32Type, 1u);
  EXPECT_EQ(h.u32Version, 7u);
  EXPECT_EQ(h.u32Crc, 0x1234u);

  std::vector<uint8_t> noMagic = withHeader;
  noMagic[3] = 0xFD;
  const ImageHeader n = ReadImageHeader(noMagic.data(), vxtest::NineByteHeaderImage().size());
  EXPECT_EQ(n.u32Type | n.u32Version | n.u32Crc, 0u);

  const ImageHeader e = ReadImageHeader(nullptr, 0);
  EXPECT_EQ(e.u32Type | e.u32Version | e.u32Crc, 0u);

  // Wide fields are read whole: type 16 bits, version and CRC 32 bits.
  std::vector<uint8_t> wide = withHeader;
  wide[6] = 0x34, wide[7] = 0x12;
  wide[12] = 0x78, wide[13] = 0x56, wide[14] = 0x34, wide[15] = 0x12;
  wide[20] = 0xEF, wide[21] = 0xBE, wide[22] = 0xAD, wide[23] = 0xDE;
  const ImageHeader w = ReadImageHeader(wide.data(), wide.size());
  EXPECT_EQ(w.u32Type, 0x1234u);
  EXPECT_EQ(w.u32Version, 0x12345678u);
  EXPECT_EQ(w.u32Crc, 0xDEADBEEFu);
}

TEST(ImageRecordAddress, TableAndTypesWithoutAnAddress) {
  const uint32_t expected[11] = {kNoEepromAddress, 0x1010, 0x1020, 0x1030, 0x1040, 0x1050,
                                 0x1060,           0x1070, 0x1080, 0x10A0, 0x10A0};
  for (uint32_t type = 0; type <= 10; ++type) EXPECT_EQ(ImageRecordAddress(type), expected[type]) << type;
  for (uint32_t type : {11u, 12u, 0xFFFFu, 0xFFFFFFFFu}) EXPECT_GT(ImageRecordAddress(type), kEepromLastAddress);
}

}  // namespace
