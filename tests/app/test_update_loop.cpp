// The update loop's preparation and update attempt against the simulated locator.
#include <cstring>
#include <fstream>
#include <string>
#include <vector>

#include "app/update_loop.h"
#include "device_test_support.h"

namespace {

using vxtest::CommandSequence;
using vxtest::FirmwareFolderEnvironment;
using vxtest::ImageFile;
using vxtest::ParsedFault;
using vxtest::Requests;

const ::testing::Environment* const kFolder =
    ::testing::AddGlobalTestEnvironment(new FirmwareFolderEnvironment);

constexpr const char* kComplete =
    "Download Complete\r\n************************************************************\r\n\r\n";

std::vector<uint32_t> FlashWords(const vxsim::Locator& locator, uint32_t unit, uint32_t n) {
  const std::vector<uint8_t> bytes = locator.FlashBytes(unit, n * 4);
  std::vector<uint32_t> words(n);
  std::memcpy(words.data(), bytes.data(), n * 4);
  return words;
}

class UpdateLoopTest : public vxtest::ChannelTest {
 protected:
  void WriteManifest(const std::string& text) {
    std::ofstream(FirmwareFolderEnvironment::Folder() / "pcversions.txt", std::ios::binary) << text;
  }
  void TearDown() override {
    std::error_code ec;
    std::filesystem::remove(FirmwareFolderEnvironment::Folder() / "pcversions.txt", ec);
    ChannelTest::TearDown();
  }
};

TEST_F(UpdateLoopTest, PreparationPrintsTheVersionsThenPausesBeforeThePrompt) {
  WriteManifest("12,0\n3,1,main.bin\n");
  const UpdateLoopState state = PrepareUpdateLoop();
  EXPECT_EQ(state.nOverallVersion, 12);
  EXPECT_EQ(state.nImageVersion, 3);
  EXPECT_EQ(state.sImageFile, "main.bin");
  EXPECT_EQ(TakeOutput(),
            "Overall Version 12\nmain.bin 3\n"
            "\nConnect Valtor locator and switch on while holding the f and up buttons...\r\n");
  EXPECT_EQ(Sleeps(), std::vector<DWORD>{1000});
}

TEST_F(UpdateLoopTest, MissingManifestGivesZeroVersionsAndAnEmptyName) {
  const UpdateLoopState state = PrepareUpdateLoop();
  EXPECT_EQ(state.sImageFile, "");
  EXPECT_EQ(TakeOutput().substr(0, 21), "Overall Version 0\n 0\n");
}

TEST_F(UpdateLoopTest, EveryAttemptEndsWithTheOverallVersionRecord) {
  ASSERT_TRUE(PlugAndConnect());
  ImageFile file("loop_ok", std::vector<uint8_t>(300, 0x5A));
  const UpdateLoopState state{7, 2, file.Name()};
  EXPECT_EQ(RunUpdateAttempt(state), 0);
  const std::string out = TakeOutput();
  EXPECT_EQ(out.find("Prd1 file download failed"), std::string::npos) << out;
  EXPECT_EQ(out.substr(out.size() - std::strlen(kComplete)), kComplete);

  const auto writes = Requests(*pLocator, 901);
  ASSERT_FALSE(writes.empty());
  const std::vector<uint32_t> expected = {8, 3, 901, 12, 0x1000, 1, 7, 0, 8 + 3 + 901 + 12 + 0x1000 + 1 + 7};
  EXPECT_EQ(writes.back(), expected);
  EXPECT_EQ(pLocator->EepromBytes(0x1000, 12), (std::vector<uint8_t>{1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0}));
  // The info block carries the versions, the image CRC and length, and a valid checksum.
  const std::vector<uint32_t> info = FlashWords(*pLocator, 0x3000, 20);
  EXPECT_EQ(info[0], 7u);
  EXPECT_EQ(info[1], 2u);
  EXPECT_EQ(info[2], pLocator->FlashCrc(0x8000, 256));
  EXPECT_EQ(info[3], 256u);
  uint32_t sum = 0;
  for (int i = 0; i < 19; ++i) sum += info[i];
  EXPECT_EQ(info[19], sum);
}

TEST_F(UpdateLoopTest, FailedInfoReadSendsNoFlashRequestButStillTheRecord) {
  ASSERT_TRUE(PlugAndConnect());
  pLocator->AddFault(ParsedFault("result=3@cmd=409#1"));
  EXPECT_EQ(RunUpdateAttempt(UpdateLoopState{5, 1, "main.bin"}), -1);
  EXPECT_EQ(TakeOutput(),
            std::string("\nRead from Flash Sector 0x3000 - failed, nRetCode = 3\n"
                        "Prd1 file download failed - Error code = -1") + kComplete);
  EXPECT_EQ(CommandSequence(*pLocator), (std::vector<uint32_t>{409, 901}));
}

TEST_F(UpdateLoopTest, CrcMismatchWritesTheInfoBlockWithZeroCrcAndLength) {
  ASSERT_TRUE(PlugAndConnect());
  // 257 pages reach into sector 0x10000, whose erase is not checked: make it fail so that
  // stale zeros stay there and the locator's CRC differs from the file's.
  ImageFile file("loop_mismatch", std::vector<uint8_t>(257 * 256, 0x11));
  pLocator->LoadFlash(0x10000, std::vector<uint8_t>(256, 0x00));
  pLocator->AddFault(ParsedFault("shortwrite@cmd=404#2"));
  pCUsbMessage->dwTimeoutMs = 50;
  EXPECT_EQ(RunUpdateAttempt(UpdateLoopState{4, 9, file.Name()}), 0);
  const std::string out = TakeOutput();
  EXPECT_NE(out.find("FAILURE, Flash and Firmware File CRCs NOT equal"), std::string::npos) << out;
  const std::vector<uint32_t> info = FlashWords(*pLocator, 0x3000, 4);
  EXPECT_EQ(info, (std::vector<uint32_t>{4, 9, 0, 0}));
}

TEST_F(UpdateLoopTest, InfoSectorEraseFailureIsCodeMinusTwo) {
  ASSERT_TRUE(PlugAndConnect());
  ImageFile file("loop_erase", std::vector<uint8_t>(16, 0x22));
  pLocator->AddFault(ParsedFault("result=0@cmd=404#5"));
  EXPECT_EQ(RunUpdateAttempt(UpdateLoopState{1, 1, file.Name()}), -2);
  const std::string out = TakeOutput();
  const std::string tail = std::string("\nErasing Flash Sector : 0x3000\nError erasing sector 0x3000\n"
                                       "Prd1 file download failed - Error code = -2") + kComplete;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  // No info block write after the failed erase; the record still follows.
  const std::vector<uint32_t> commands = CommandSequence(*pLocator);
  EXPECT_EQ(std::count(commands.begin(), commands.end(), 412u), 1);
  EXPECT_EQ(commands.back(), 901u);
}

TEST_F(UpdateLoopTest, AttemptWithoutALocatorFailsAtTheInfoRead) {
  EXPECT_EQ(RunUpdateAttempt(UpdateLoopState{1, 1, "main.bin"}), -1);
  EXPECT_EQ(TakeOutput(),
            std::string("\nRead from Flash Sector 0x3000 - failed, nRetCode = 53\n"
                        "Prd1 file download failed - Error code = -1") + kComplete);
  EXPECT_EQ(pLocator->ExchangeCount(), 0u);
}

}  // namespace
