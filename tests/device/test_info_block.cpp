// The firmware info block against the simulated locator.
#include <cstring>
#include <string>
#include <vector>

#include "device_test_support.h"

namespace {

using vxtest::CommandSequence;
using vxtest::ParsedFault;
using vxtest::Requests;

constexpr uint32_t kInfoWords = kInfoBlockWords;

std::vector<uint8_t> WordBytes(const std::vector<uint32_t>& words) {
  std::vector<uint8_t> bytes;
  for (uint32_t w : words)
    for (int i = 0; i < 4; ++i) bytes.push_back(static_cast<uint8_t>(w >> (8 * i)));
  return bytes;
}

class InfoBlockTest : public vxtest::ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    ASSERT_TRUE(PlugAndConnect());
  }

  std::vector<uint32_t> FlashRecord() const {
    const std::vector<uint8_t> bytes = pLocator->FlashBytes(kInfoSector, kInfoWords * 4);
    std::vector<uint32_t> words(kInfoWords);
    for (uint32_t i = 0; i < kInfoWords; ++i)
      words[i] = uint32_t(bytes[4 * i]) | uint32_t(bytes[4 * i + 1]) << 8 | uint32_t(bytes[4 * i + 2]) << 16 |
                 uint32_t(bytes[4 * i + 3]) << 24;
    return words;
  }
};

struct ReadCase {
  const char* name;
  std::vector<uint32_t> record;  // empty: the sector as a new locator has it (erased)
  const char* verdict;
};

TEST_F(InfoBlockTest, ReadCopiesAllTwentyWordsWhateverTheChecksumSays) {
  std::vector<uint32_t> counting(kInfoWords);
  for (uint32_t i = 0; i < 19; ++i) counting[i] = i + 1;
  counting[19] = 190;
  std::vector<uint32_t> stale = counting;
  stale[19] = 191;
  std::vector<uint32_t> wrapping(kInfoWords, 0);
  wrapping[0] = 0xFFFFFFF0u, wrapping[7] = 0x25, wrapping[19] = 0x15;  // sum keeps the low 32 bits
  const std::vector<ReadCase> cases = {
      {"erased sector", {}, "\nChecksums do NOT match\n"},
      {"words 1 to 19, checksum 190", counting, "\nChecksums match\n"},
      {"stale checksum", stale, "\nChecksums do NOT match\n"},
      {"sum beyond 2^32", wrapping, "\nChecksums match\n"},
  };
  for (const ReadCase& c : cases) {
    SCOPED_TRACE(c.name);
    const std::vector<uint32_t> expected = c.record.empty() ? std::vector<uint32_t>(kInfoWords, 0xFFFFFFFFu) : c.record;
    pLocator->LoadFlash(kInfoSector, WordBytes(expected));
    pLocator->ClearTrace();
    FirmwareInfoBlock block{};
    EXPECT_EQ(ReadFirmwareInfo(block.au32Words), 0);
    EXPECT_EQ(TakeOutput(), c.verdict);
    EXPECT_EQ(std::vector<uint32_t>(block.au32Words, block.au32Words + kInfoWords), expected);
    EXPECT_EQ(Requests(*pLocator), (std::vector<std::vector<uint32_t>>{{5, 23, 409, 20, 0x3000, 5 + 23 + 409 + 20 + 0x3000}}));
  }
}

TEST_F(InfoBlockTest, ReadWithoutAPointerStillReadsAndTellsTheVerdict) {
  EXPECT_EQ(ReadFirmwareInfo(nullptr), 0);
  EXPECT_EQ(TakeOutput(), "\nChecksums do NOT match\n");
  EXPECT_EQ(pLocator->CommandCount(CMD_READ_FLASH), 1u);
}

TEST_F(InfoBlockTest, FailedReadLeavesTheBlockUntouched) {
  struct {
    const char* fault;
    const char* text;
  } const cases[] = {
      {"result=9@cmd=409", "\nRead from Flash Sector 0x3000 - failed, nRetCode = 9\n"},
      {"wrongcount@cmd=409#2", "\nRead from Flash Sector 0x3000 - failed, nRetCode = 101\n"},
      {"badchecksum@cmd=409#3", "\nRead from Flash Sector 0x3000 - failed, nRetCode = 103\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    pLocator->AddFault(ParsedFault(c.fault));
    FirmwareInfoBlock block;
    std::memset(&block, 0x5A, sizeof block);
    EXPECT_EQ(ReadFirmwareInfo(block.au32Words), -4);
    EXPECT_EQ(TakeOutput(), c.text);
    for (uint32_t w : block.au32Words) EXPECT_EQ(w, 0x5A5A5A5Au);
  }
}

// The update loop's order: erase the sector, then write the block with words 16-18 cleared
// and a fresh checksum, read back and compared.
TEST_F(InfoBlockTest, WriteClearsWords16To18AndWritesAFreshChecksum) {
  ASSERT_NE(EraseFlashSector(kInfoSector), 0);
  TakeOutput();
  pLocator->ClearTrace();

  FirmwareInfoBlock block;
  for (uint32_t i = 0; i < kInfoWords; ++i) block.au32Words[i] = 0x01010101u * (i + 1);
  block.au32Words[16] = 0xDEAD0001u, block.au32Words[17] = 0xDEAD0002u, block.au32Words[18] = 0xDEAD0003u;
  block.au32Words[19] = 0x12345678u;  // stale
  uint32_t u32Sum = 0;
  for (uint32_t i = 0; i < 16; ++i) u32Sum += 0x01010101u * (i + 1);

  EXPECT_EQ(WriteFirmwareInfo(block.au32Words), 0);
  EXPECT_EQ(TakeOutput(), "\nChecksums match\n");

  std::vector<uint32_t> expected(block.au32Words, block.au32Words + 16);
  expected.insert(expected.end(), {0, 0, 0, u32Sum});
  EXPECT_EQ(FlashRecord(), expected);
  for (uint32_t i : {16u, 17u, 18u}) EXPECT_EQ(block.au32Words[i], 0u);
  EXPECT_EQ(block.au32Words[19], 0x12345678u);

  const auto writes = Requests(*pLocator, CMD_WRITE_FLASH);
  ASSERT_EQ(writes.size(), 1u);
  EXPECT_EQ(std::vector<uint32_t>(writes[0].begin(), writes[0].begin() + 6),
            (std::vector<uint32_t>{26, 3, 412, 20, 0x3000, 0}));
  EXPECT_EQ(std::vector<uint32_t>(writes[0].begin() + 6, writes[0].begin() + 26), expected);
  EXPECT_EQ(CommandSequence(*pLocator), (std::vector<uint32_t>{412, 409}));
}

TEST_F(InfoBlockTest, WriteOfANullBlockSendsNothing) {
  const uint32_t nBefore = pLocator->ExchangeCount();
  EXPECT_EQ(WriteFirmwareInfo(nullptr), -1);
  EXPECT_EQ(TakeOutput(), "\npu32FmInfo - NULL pointer\n");
  EXPECT_EQ(pLocator->ExchangeCount(), nBefore);
}

TEST_F(InfoBlockTest, FailedWriteOrReadBackIsMinusFour) {
  struct {
    const char* fault;
    const char* text;
    uint32_t nReads;
  } const cases[] = {
      {"result=5@cmd=412#1", "\nWrite to Flash Sector 0x3000 - failed, nRetCode = 5\n", 0},
      {"badchecksum@cmd=412#2", "\nWrite to Flash Sector 0x3000 - failed, nRetCode = 103\n", 0},
      // The write went through; the read-back fails in the transport.
      {"badchecksum@cmd=409#1", "\nRead from Flash Sector 0x3000 - failed, nRetCode = 103\n", 1},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.fault);
    ASSERT_NE(EraseFlashSector(kInfoSector), 0);
    TakeOutput();
    pLocator->AddFault(ParsedFault(c.fault));
    const uint32_t nReadsBefore = pLocator->CommandCount(CMD_READ_FLASH);
    FirmwareInfoBlock block{};
    EXPECT_EQ(WriteFirmwareInfo(block.au32Words), -4);
    EXPECT_EQ(TakeOutput(), c.text);
    EXPECT_EQ(pLocator->CommandCount(CMD_READ_FLASH) - nReadsBefore, c.nReads);
  }
}

// Programming can only clear bits: a sector that was not erased keeps some of its zeros,
// and the read-back then differs from what was written.
TEST_F(InfoBlockTest, ReadBackThatDiffersFromTheWriteFails) {
  struct {
    uint32_t nWord;  // the word left programmed (zero) in the sector
    const char* text;
  } const cases[] = {
      {4, "\nChecksums do NOT match\n\nVerify of Flash Sector 0x3000 - failed, word 4\n"},
      {19, "\nChecksums do NOT match\n\nVerify of Flash Sector 0x3000 - failed, word 19\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.nWord);
    std::vector<uint32_t> sector(kInfoWords, 0xFFFFFFFFu);
    sector[c.nWord] = 0;
    pLocator->LoadFlash(kInfoSector, WordBytes(sector));
    FirmwareInfoBlock block;
    for (uint32_t i = 0; i < kInfoWords; ++i) block.au32Words[i] = 0x100 + i;
    EXPECT_EQ(WriteFirmwareInfo(block.au32Words), -4);
    EXPECT_EQ(TakeOutput(), c.text);
    EXPECT_EQ(FlashRecord()[c.nWord], 0u);
  }
}

}  // namespace
