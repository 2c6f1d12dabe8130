// The layer over the simulated locator: one suite run over every way of reaching it, so
// that the socket backend is held to what the in-process one does.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/sim_backend.h"
#include "platform/wdu/testing.h"
#include "platform/wdu/wdu.h"
#include "sim/locator.h"
#include "tests/platform/wdu/sim_link.h"
#include "tests/platform/wdu/wdu_helpers.h"

namespace {

using namespace wdutest;

class WduSim : public ::testing::TestWithParam<LinkKind> {
 protected:
  void SetUp() override {
    WduResetLayer();
    link = wdutest::MakeLink(GetParam(), &loc);
    ASSERT_NE(link, nullptr);
    WduSelectBackend(link->Backend());
    ASSERT_NE(WD_DriverName("qvb0003"), nullptr);
  }
  void TearDown() override {
    WduResetLayer();
    link.reset();
  }
  void Register() { ASSERT_EQ(RegisterLoader(&rec), WD_STATUS_SUCCESS); }
  DWORD Out(WDU_DEVICE_HANDLE h, const std::vector<uint8_t>& bytes, DWORD* pMoved, DWORD dwTimeout = kTimeoutMs) {
    std::vector<uint8_t> copy = bytes;
    return WDU_Transfer(h, 0x02, 0, 0, copy.data(), static_cast<DWORD>(copy.size()), pMoved, nullptr, dwTimeout);
  }
  DWORD In(WDU_DEVICE_HANDLE h, uint8_t* p, DWORD n, DWORD* pMoved, DWORD dwTimeout = kTimeoutMs) {
    return WDU_Transfer(h, 0x82, 1, 0, p, n, pMoved, nullptr, dwTimeout);
  }

  vxsim::Locator loc;
  std::unique_ptr<wdutest::Link> link;
  Recorder rec;
};

TEST_P(WduSim, AnAttachedLocatorAnswersAFrame) {
  Register();
  loc.Plug();
  ASSERT_TRUE(rec.WaitCount(1));
  EXPECT_EQ(rec.Log(), std::vector<std::string>{kAttach9});
  EXPECT_TRUE(rec.bOtherThreads);
  {
    std::lock_guard<std::mutex> lk(rec.mtx);
    EXPECT_EQ(rec.setIfStatus, std::vector<DWORD>{WD_STATUS_SUCCESS});
  }
  WDU_DEVICE_HANDLE h = rec.Handle(0);
  DWORD dwMoved = 0;
  ASSERT_EQ(Out(h, Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
  EXPECT_EQ(dwMoved, 16u);
  uint8_t resp[32] = {};
  ASSERT_EQ(In(h, resp, sizeof resp, &dwMoved), WD_STATUS_SUCCESS);
  ASSERT_EQ(dwMoved, 32u);
  EXPECT_EQ(std::vector<uint8_t>(resp, resp + 32), Frame({7, 0, 0, 'Q', 'R', 'Y', 2}));  // with its checksum
}

TEST_P(WduSim, ALocatorPresentBeforeRegistrationIsAttached) {
  loc.Plug();
  Register();
  ASSERT_TRUE(rec.WaitCount(1));
  EXPECT_EQ(rec.Log(), std::vector<std::string>{kAttach9});
}

TEST_P(WduSim, UnplugDetachesAndTheOldHandleFails) {
  Register();
  for (int i = 0; i < 3; ++i) {
    loc.Plug();
    ASSERT_TRUE(rec.WaitCount(2 * i + 1));
    loc.Unplug();
    ASSERT_TRUE(rec.WaitCount(2 * i + 2));
  }
  EXPECT_EQ(rec.Log(), (std::vector<std::string>{kAttach9, "D", kAttach9, "D", kAttach9, "D"}));
  EXPECT_TRUE(rec.bOtherThreads);
  EXPECT_NE(rec.Handle(0), rec.Handle(2));
  DWORD dwMoved = 5;
  EXPECT_EQ(Out(rec.Handle(4), Frame({3, 7, 408}), &dwMoved), WD_DEVICE_NOT_FOUND);
  EXPECT_EQ(dwMoved, 0u);
  loc.Plug();
  ASSERT_TRUE(rec.WaitCount(7));
  EXPECT_EQ(Out(rec.Handle(4), Frame({3, 7, 408}), &dwMoved), WD_DEVICE_NOT_FOUND);  // a new presence
  EXPECT_EQ(Out(rec.Handle(6), Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
}

// The locator's faults as the caller sees them, one fault per exchange in turn.
TEST_P(WduSim, FaultsReachTheCallerAsTransferStatuses) {
  for (const char* fault : {"shortwrite=8@x=1", "noanswer@x=2", "unplugafter@x=3"})
    loc.AddFault(vxsim::ParseFault(fault).value());
  Register();
  loc.Plug();
  ASSERT_TRUE(rec.WaitCount(1));
  const WDU_DEVICE_HANDLE h = rec.Handle(0);
  DWORD dwMoved = 0;
  uint8_t resp[32] = {};
  // A short write times out with the bytes it moved.
  EXPECT_EQ(Out(h, Frame({3, 7, 408}), &dwMoved, 100), WD_TIME_OUT_EXPIRED);
  EXPECT_EQ(dwMoved, 8u);
  // A missing answer times out the IN transfer.
  ASSERT_EQ(Out(h, Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
  EXPECT_EQ(In(h, resp, sizeof resp, &dwMoved, 50), WD_TIME_OUT_EXPIRED);
  EXPECT_EQ(dwMoved, 0u);
  // An unplug right after the answer: the answer, then the detach.
  ASSERT_EQ(Out(h, Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
  EXPECT_EQ(In(h, resp, sizeof resp, &dwMoved), WD_STATUS_SUCCESS);
  EXPECT_EQ(Word(resp, 0), 7u);
  ASSERT_TRUE(rec.WaitCount(2));
  EXPECT_EQ(rec.Log(), (std::vector<std::string>{kAttach9, "D"}));
  EXPECT_NE(Out(h, Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Links, WduSim, ::testing::ValuesIn(wdutest::AvailableLinks()),
                         [](const auto& info) { return wdutest::LinkName(info.param); });

}  // namespace
