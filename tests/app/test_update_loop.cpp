// The update loop's preparation and update attempt against the simulated locator.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <iterator>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/update_loop.h"
#include "tests/device/device_test_support.h"
#include "tests/support/folder_snapshot.h"
#include "tests/support/words.h"

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
  return vxtest::ToWords(locator.FlashBytes(unit, n * 4).data(), n * 4);
}

class UpdateLoopTest : public vxtest::ChannelTest {
 protected:
  void WriteManifest(const std::string& text) {
    vxtest::WriteBytes(FirmwareFolderEnvironment::Folder() / "pcversions.txt", text);
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
  // 257 pages reach into sector 0x10000: stale zeros back there after its erase make the
  // locator's CRC differ from the file's.
  ImageFile file("loop_mismatch", std::vector<uint8_t>(257 * 256, 0x11));
  vxtest::StaleFlashAtErase(pLocator.get(), 0x18000, 0x10000, std::vector<uint8_t>(256, 0x00));
  EXPECT_EQ(RunUpdateAttempt(UpdateLoopState{4, 9, file.Name()}), -3);
  const std::string out = TakeOutput();
  EXPECT_NE(out.find("FAILURE, Flash and Firmware File CRCs NOT equal"), std::string::npos) << out;
  const std::vector<uint32_t> info = FlashWords(*pLocator, 0x3000, 4);
  EXPECT_EQ(info, (std::vector<uint32_t>{4, 9, 0, 0}));
  // The info block is written and read back first; the failure is the attempt's last word.
  const std::string tail = std::string("\nChecksums match\nPrd1 file download failed - Error code = -3") + kComplete;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(CommandSequence(*pLocator).back(), 901u);
}

TEST_F(UpdateLoopTest, FileThatCannotBeAnImageFailsLikeAnyDownload) {
  ASSERT_TRUE(PlugAndConnect());
  ImageFile file("loop_empty", {});
  EXPECT_EQ(RunUpdateAttempt(UpdateLoopState{1, 1, file.Name()}), -3);
  const std::string out = TakeOutput();
  const std::string tail = std::string("\nFile : ") + file.Name() +
                           " is empty: not a firmware image\nPrd1 file download failed - Error code = -3" + kComplete;
  ASSERT_GE(out.size(), tail.size());
  EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
  EXPECT_EQ(CommandSequence(*pLocator), (std::vector<uint32_t>{409, 901}));
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

// ---- The fault matrix ----
//
// Every fault kind of the simulator at every exchange of a whole update attempt, each
// followed by a clean attempt after re-plugging. The step an exchange belongs to and the
// kind of fault decide the code the attempt must print.

enum class Step { kInfoRead, kImageErase, kPage, kCrc, kImageRecord, kInfoErase, kInfoWrite, kReadBack, kOverallRecord };

// The steps of a clean attempt's exchanges, in order, from the requests the locator received.
std::vector<Step> StepsOf(const std::vector<std::vector<uint32_t>>& requests) {
  std::vector<Step> steps;
  uint32_t u32Sector = 0;
  for (const auto& r : requests) {
    const uint32_t u32Cmd = r[2];
    if (u32Cmd == CMD_READ_FLASH) steps.push_back(steps.empty() ? Step::kInfoRead : Step::kReadBack);
    if (u32Cmd == CMD_ERASE_SECTOR) u32Sector = r[3];
    if (u32Cmd == CMD_ERASE_SECTOR || u32Cmd == CMD_ERASE_STATUS)
      steps.push_back(u32Sector == kInfoSector ? Step::kInfoErase : Step::kImageErase);
    if (u32Cmd == CMD_WRITE_FLASH) steps.push_back(r[4] == kInfoSector ? Step::kInfoWrite : Step::kPage);
    if (u32Cmd == CMD_FLASH_CRC) steps.push_back(Step::kCrc);
    if (u32Cmd == CMD_WRITE_EEPROM) steps.push_back(r[4] == kOverallVersionAddress ? Step::kOverallRecord : Step::kImageRecord);
  }
  return steps;
}

// The code an attempt prints when the exchange of `step` fails; bLasting when every later
// exchange fails as well (the locator has gone); bResultWord when the exchange went through
// and only its result word differs (the locator executed the request, and any word but 0
// ends an erase or its poll as done).
int32_t ExpectedCode(Step step, bool bLasting, bool bResultWord) {
  switch (step) {
    case Step::kInfoRead: return -1;
    case Step::kImageErase:
      // A result word of the erase or its status is taken as a finished erase.
      return bResultWord && !bLasting ? 0 : -3;
    case Step::kPage:
    case Step::kCrc: return -3;
    case Step::kImageRecord: return bLasting ? -2 : 0;  // not examined; the info erase then fails
    case Step::kInfoErase: return bResultWord && !bLasting ? 0 : -2;
    case Step::kInfoWrite:
    case Step::kReadBack: return -4;
    case Step::kOverallRecord: return 0;
  }
  return 0;
}

// What the locator itself reports of one attempt, from its event log: no page may be
// programmed before the erase of every image sector has finished in the same attempt.
class EraseBeforePages {
 public:
  explicit EraseBeforePages(vxsim::Locator& locator) : m_pEvents(std::make_shared<Events>()) {
    locator.SetEventLog([pEvents = m_pEvents](const std::string& sLine) {
      std::lock_guard<std::mutex> lk(pEvents->mtx);
      pEvents->lines.push_back(sLine);
    });
  }
  void Clear() {
    std::lock_guard<std::mutex> lk(m_pEvents->mtx);
    m_pEvents->lines.clear();
  }
  // The first page write that found an image sector not yet erased in this attempt, if any.
  std::string PageOverUnerasedSector() const {
    std::lock_guard<std::mutex> lk(m_pEvents->mtx);
    unsigned uErased = 0;
    for (const std::string& sLine : m_pEvents->lines) {
      for (unsigned i = 0; i < 4; ++i) {
        char acFinished[48];
        std::snprintf(acFinished, sizeof acFinished, "erase of sector 0x%X finished", kImageSectors[i]);
        if (sLine == acFinished) uErased |= 1u << i;
      }
      if (sLine.rfind("wrote ", 0) == 0 && sLine.find(" at 0x8000+") != std::string::npos && uErased != 0xF)
        return sLine;
    }
    return {};
  }

 private:
  struct Events {
    std::mutex mtx;
    std::vector<std::string> lines;
  };
  std::shared_ptr<Events> m_pEvents;
};

struct MatrixFault {
  vxsim::FaultKind kind;
  uint32_t u32Value;
};

TEST_F(UpdateLoopTest, FaultAtEveryExchangeOfAnAttemptEndsSoundlyAndTheNextAttemptSucceeds) {
  constexpr DWORD kTimeoutMs = 50;  // transfers that wait for their time-out wait this long
  using vxsim::FaultKind;
  const MatrixFault aFaults[] = {
      {FaultKind::kNoAnswer, 0},      {FaultKind::kBadChecksum, 0},   {FaultKind::kWrongCount, 0},
      {FaultKind::kCountTooLarge, 0}, {FaultKind::kResult, vxsim::kResultBusy}, {FaultKind::kShortResponse, 0},
      {FaultKind::kZeroResponse, 0},  {FaultKind::kShortWrite, 0},    {FaultKind::kUnplugBefore, 0},
      {FaultKind::kUnplugAfter, 0},   {FaultKind::kDelay, 4 * kTimeoutMs}, {FaultKind::kLate, 0}};
  const std::vector<uint8_t> image = [] {
    std::vector<uint8_t> b = {0xFC, 0xFC, 0xFC, 0xFC, 0, 0, 1, 0, 0, 0, 0, 0, 6, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0};
    for (uint32_t i = 0; b.size() < 3 * 256 - 40; ++i) b.push_back(uint8_t(i * 7 + 3));
    return b;
  }();
  std::vector<uint8_t> padded = image;
  padded.resize(3 * 256, 0);
  ImageFile file("matrix", image);
  const UpdateLoopState state{21, 6, file.Name()};

  auto Connect = [&] {
    if (!Unplug() || !PlugAndConnect()) return false;
    pCUsbMessage->dwTimeoutMs = kTimeoutMs;
    return true;
  };
  EraseBeforePages eraseBeforePages(*pLocator);
  auto Attempt = [&] {
    eraseBeforePages.Clear();
    const int32_t nCode = RunUpdateAttempt(state);
    EXPECT_EQ(eraseBeforePages.PageOverUnerasedSector(), "") << "a page programmed before its sector was erased";
    return nCode;
  };
  // A clean attempt: it succeeds and leaves the image verified in flash and in the info block.
  auto ExpectCleanAttempt = [&] {
    EXPECT_EQ(Attempt(), 0);
    const std::string out = TakeOutput();
    EXPECT_EQ(out.find("Prd1 file download failed"), std::string::npos) << out;
    EXPECT_TRUE(pLocator->FlashBytes(kImageBase, 3 * 256) == padded) << "image not in flash";
    const std::vector<uint32_t> info = FlashWords(*pLocator, kInfoSector, 4);
    EXPECT_EQ(info, (std::vector<uint32_t>{21, 6, pLocator->FlashCrc(kImageBase, 3 * 128), 3 * 128}));
  };

  const vxtest::FolderSnapshot folderBefore = vxtest::SnapshotOf(FirmwareFolderEnvironment::Folder());
  ASSERT_TRUE(Connect());
  ExpectCleanAttempt();
  const std::vector<Step> steps = StepsOf(Requests(*pLocator));
  ASSERT_EQ(steps.size(), 19u) << "read, 4 erases with a status each, 3 pages, CRC, record, info erase, write, read, record";
  const std::vector<std::vector<uint32_t>> reference = Requests(*pLocator);

  int nAttempts = 1;
  for (size_t i = 0; i < steps.size(); ++i) {
    for (const MatrixFault& mf : aFaults) {
      SCOPED_TRACE(testing::Message() << "fault " << vxsim::FaultKindName(mf.kind) << " at exchange " << i + 1
                                      << " (command " << reference[i][2] << ")");
      ASSERT_TRUE(Connect());
      const uint32_t u32Unerased = pLocator->UnerasedWrites();
      vxsim::Fault fault;
      fault.kind = mf.kind;
      fault.value = mf.u32Value;
      fault.exchange = pLocator->FaultExchangeCount() + uint32_t(i) + 1;
      pLocator->AddFault(fault);

      const bool bLasting = mf.kind == FaultKind::kUnplugBefore || mf.kind == FaultKind::kUnplugAfter;
      const size_t nFailing = mf.kind == FaultKind::kUnplugAfter ? i + 1 : i;
      int32_t nExpected = 0;
      if (nFailing < steps.size()) {
        nExpected = ExpectedCode(steps[nFailing], bLasting, mf.kind == FaultKind::kResult);
      }
      const int32_t nCode = Attempt();
      ++nAttempts;
      EXPECT_EQ(nCode, nExpected);
      const std::string out = TakeOutput();
      const std::string tail =
          (nExpected != 0 ? "Prd1 file download failed - Error code = " + std::to_string(nExpected) : std::string()) +
          kComplete;
      ASSERT_GE(out.size(), tail.size());
      EXPECT_EQ(out.substr(out.size() - tail.size()), tail);
      if (nExpected == 0) {
        EXPECT_EQ(out.find("Prd1 file download failed"), std::string::npos);
      }
      // Nothing is programmed over flash that was not erased.
      EXPECT_EQ(pLocator->UnerasedWrites(), u32Unerased);
      // No flash step follows the failing one: only the EEPROM records may still be sent.
      if (nExpected != 0) {
        size_t nOut = 0;
        for (const vxsim::TraceEntry& e : pLocator->Trace()) {
          if (!e.bOut) continue;
          if (nOut++ <= nFailing) continue;
          EXPECT_TRUE(e.words.size() >= 3 && e.words[2] == CMD_WRITE_EEPROM) << "request " << nOut << " after the failure";
        }
      }
      pLocator->ClearFaults();
      // A late answer is kept by the same presence: the next attempt runs on it, not re-plugged.
      if (mf.kind != FaultKind::kLate) {
        ASSERT_TRUE(Connect());
      }
      ExpectCleanAttempt();
      ++nAttempts;
      EXPECT_EQ(pLocator->UnerasedWrites(), u32Unerased);
      if (HasFatalFailure()) return;
    }
  }
  // The firmware folder is only read.
  EXPECT_TRUE(vxtest::SnapshotOf(FirmwareFolderEnvironment::Folder()) == folderBefore);
  std::fprintf(stderr, "fault matrix: %zu exchanges x %zu fault kinds, %d attempts\n", steps.size(),
               std::size(aFaults), nAttempts);
}
