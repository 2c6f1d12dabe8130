// Flash sector erase against the simulated locator.
#include <cctype>
#include <ostream>
#include <string>
#include <vector>

#include "device_test_support.h"

namespace {

using vxtest::CommandSequence;
using vxtest::ParsedFault;
using vxtest::Requests;

class EraseTest : public vxtest::ChannelTest {
 protected:
  void SetUp() override {
    ChannelTest::SetUp();
    ASSERT_TRUE(PlugAndConnect());
    // The sector starts with programmed (zero) contents, so an erase shows in flash.
    pLocator->LoadFlash(0x8000, std::vector<uint8_t>(0x100, 0x00));
    pLocator->ClearTrace();
    // Each pause notes how many requests the locator had received by then.
    vxtest::SleepRecorder::Install([this](DWORD) { requestsAtPause.push_back(Requests(*pLocator).size()); });
  }

  bool SectorErased() const {
    for (uint8_t b : pLocator->FlashBytes(0x8000, 0x100))
      if (b != 0xFF) return false;
    return true;
  }

  // Every pause is 100 ms and falls just before its status request: the ith pause comes
  // after the erase request and i - 1 status requests.
  void ExpectPacedStatusRequests(size_t nStatusRequests) {
    EXPECT_EQ(Sleeps(), std::vector<DWORD>(nStatusRequests, 100));
    ASSERT_EQ(requestsAtPause.size(), nStatusRequests);
    for (size_t i = 0; i < nStatusRequests; ++i) EXPECT_EQ(requestsAtPause[i], 1 + i) << "pause " << i;
    EXPECT_EQ(pLocator->CommandCount(CMD_ERASE_STATUS), nStatusRequests);
  }

  std::vector<size_t> requestsAtPause;
};

enum class Erased { kNo, kYes, kEither };

struct PollCase {
  const char* name;
  std::vector<const char*> faults;
  int32_t nExpected;
  size_t nStatusRequests;
  Erased erased;
};

std::string CaseName(const char* psz) {
  std::string s;
  for (const char* p = psz; *p; ++p) s += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
  return s;
}

void PrintTo(const PollCase& c, std::ostream* pOs) { *pOs << c.name; }

class ErasePollTest : public EraseTest, public ::testing::WithParamInterface<PollCase> {};

TEST_P(ErasePollTest, PollsAtMost66TimesTestingTheCountdownBeforeTheResult) {
  const PollCase& c = GetParam();
  for (const char* f : c.faults) pLocator->AddFault(ParsedFault(f));
  EXPECT_EQ(EraseFlashSector(0x8000), c.nExpected);
  EXPECT_EQ(TakeOutput(), "\nErasing Flash Sector : 0x8000");
  ExpectPacedStatusRequests(c.nStatusRequests);
  if (c.erased != Erased::kEither) {
    EXPECT_EQ(SectorErased(), c.erased == Erased::kYes);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ErasePollTest,
    ::testing::Values(
        PollCase{"erase refused", {"result=0@cmd=404"}, 0, 0, Erased::kNo},
        // Any other answer to the erase request is passed on without a status request.
        PollCase{"erase answered 7", {"result=7@cmd=404"}, 7, 0, Erased::kEither},
        PollCase{"finished at the first status request", {}, 1, 1, Erased::kYes},
        PollCase{"finished at the third", {"result=0@cmd=405#1*2"}, 1, 3, Erased::kYes},
        PollCase{"finished at the 40th with 5", {"result=0@cmd=405#1*39", "result=5@cmd=405#40"}, 5, 40, Erased::kYes},
        PollCase{"still running at the 66th", {"result=0@cmd=405#1*66"}, 0, 66, Erased::kYes},
        PollCase{"finished at the 66th with 9", {"result=0@cmd=405#1*65", "result=9@cmd=405#66"}, 9, 66, Erased::kYes},
        PollCase{"never finishing", {"result=0@cmd=405#1*0"}, 0, 66, Erased::kYes}),
    [](const ::testing::TestParamInfo<PollCase>& info) { return CaseName(info.param.name); });

TEST_F(EraseTest, RequestsOnTheWire) {
  pLocator->AddFault(ParsedFault("result=0@cmd=405#1"));
  EXPECT_EQ(EraseFlashSector(0x18000), 1);
  const auto requests = Requests(*pLocator);
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0], (std::vector<uint32_t>{4, 3, 404, 0x18000, 4 + 3 + 404 + 0x18000}));
  // Word 3 still holds the sector in the buffer; only words 0 to 2 and the checksum go out.
  EXPECT_EQ(requests[1], (std::vector<uint32_t>{3, 3, 405, 411}));
  EXPECT_EQ(requests[2], requests[1]);
  ExpectPacedStatusRequests(2);
}

struct LinkFailureCase {
  const char* name;
  const char* fault;
  size_t nStatusRequests;  // that reached the locator
};

void PrintTo(const LinkFailureCase& c, std::ostream* pOs) { *pOs << c.name; }

class EraseLinkFailureTest : public EraseTest, public ::testing::WithParamInterface<LinkFailureCase> {};

// A request that fails in the link leaves the erase unknown: it is reported as not done.
TEST_P(EraseLinkFailureTest, ALinkFailureIsNoFinishedErase) {
  const LinkFailureCase& c = GetParam();
  pLocator->AddFault(ParsedFault("result=0@cmd=405#1*0"));  // the erase keeps running
  pLocator->AddFault(ParsedFault(c.fault));
  EXPECT_EQ(EraseFlashSector(0x8000), 0);
  EXPECT_EQ(TakeOutput(), "\nErasing Flash Sector : 0x8000");
  ExpectPacedStatusRequests(c.nStatusRequests);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, EraseLinkFailureTest,
    ::testing::Values(LinkFailureCase{"erase response corrupt", "badchecksum@cmd=404", 0},
                      LinkFailureCase{"erase response short", "wrongcount@cmd=404", 0},
                      LinkFailureCase{"status response corrupt", "badchecksum@cmd=405#1", 1},
                      LinkFailureCase{"third status response all zero", "zeroresponse@cmd=405#3", 3}),
    [](const ::testing::TestParamInfo<LinkFailureCase>& info) { return CaseName(info.param.name); });

TEST_F(EraseTest, UnplugDuringThePollEndsItWithNoErase) {
  pLocator->AddFault(ParsedFault("result=0@cmd=405#1*0"));
  pLocator->AddFault(ParsedFault("unplugafter@cmd=405#2"));
  EXPECT_EQ(EraseFlashSector(0x8000), 0);
  ASSERT_TRUE(WduWaitIdle(5000));
  // The second status request was answered, then the locator left: the third fails at once.
  EXPECT_EQ(pLocator->CommandCount(CMD_ERASE_STATUS), 2u);
  EXPECT_EQ(Sleeps().size(), 3u);
  EXPECT_EQ(CommandSequence(*pLocator), (std::vector<uint32_t>{404, 405, 405}));
}

TEST_F(EraseTest, TheFourImageSectorsAreNamedInHex) {
  std::string sExpected;
  for (uint32_t u32Sector : kImageSectors) {
    EXPECT_EQ(EraseFlashSector(u32Sector), 1);
    sExpected += "\nErasing Flash Sector : 0x" + std::string(u32Sector == 0x8000    ? "8000"
                                                             : u32Sector == 0x10000 ? "10000"
                                                             : u32Sector == 0x18000 ? "18000"
                                                                                    : "20000");
  }
  EXPECT_EQ(TakeOutput(), sExpected);
  EXPECT_EQ(CommandSequence(*pLocator), (std::vector<uint32_t>{404, 405, 404, 405, 404, 405, 404, 405}));
  std::vector<uint32_t> erased;
  for (const auto& r : Requests(*pLocator, CMD_ERASE_SECTOR)) erased.push_back(r[3]);
  EXPECT_EQ(erased, (std::vector<uint32_t>{0x8000, 0x10000, 0x18000, 0x20000}));
}

}  // namespace
