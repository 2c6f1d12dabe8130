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

#include "platform/wdu/backend.h"
#include "platform/wdu/sim_backend.h"
#include "platform/wdu/wdu.h"
#include "sim/locator.h"
#include "tests/wdu/sim_link.h"

namespace {

using namespace std::chrono_literals;

constexpr DWORD kTimeoutMs = 3000;
constexpr auto kEventWait = 10s;  // bound on waiting for a hot-plug report

std::vector<uint8_t> Frame(std::vector<uint32_t> words) {
  uint32_t sum = 0;
  for (uint32_t w : words) sum += w;
  words.push_back(sum);
  std::vector<uint8_t> b;
  for (uint32_t w : words)
    for (int k = 0; k < 4; ++k) b.push_back(static_cast<uint8_t>(w >> (8 * k)));
  return b;
}

uint32_t Word(const uint8_t* p, size_t i) {
  p += 4 * i;
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// What the handlers saw; the attach handler selects interface 0 as the channel does.
struct Recorder {
  std::mutex mtx;
  std::condition_variable cv;
  std::vector<std::string> log;
  std::vector<WDU_DEVICE_HANDLE> handles;
  std::vector<DWORD> setIfStatus;
  bool bOtherThreads = true;
  std::thread::id caller = std::this_thread::get_id();

  void Add(const std::string& s, WDU_DEVICE_HANDLE h) {
    std::lock_guard<std::mutex> lk(mtx);
    log.push_back(s);
    handles.push_back(h);
    if (std::this_thread::get_id() == caller) bOtherThreads = false;
    cv.notify_all();
  }
  bool WaitCount(size_t n) {
    std::unique_lock<std::mutex> lk(mtx);
    return cv.wait_for(lk, kEventWait, [&] { return log.size() >= n; });
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lk(mtx);
    return log;
  }
  WDU_DEVICE_HANDLE Handle(size_t i) {
    std::lock_guard<std::mutex> lk(mtx);
    return handles.at(i);
  }
};

std::string AttachText(unsigned uVendor, unsigned uProduct) {
  char sz[32];
  std::snprintf(sz, sizeof sz, "A%04X:%u", uVendor, uProduct);
  return sz;
}

bool OnAttach(WDU_DEVICE_HANDLE h, WDU_DEVICE* pInfo, void* pUser) {
  auto& r = *static_cast<Recorder*>(pUser);
  const DWORD dw = WDU_SetInterface(h, 0, 0);
  {
    std::lock_guard<std::mutex> lk(r.mtx);
    r.setIfStatus.push_back(dw);
  }
  r.Add(AttachText(pInfo->Descriptor.idVendor, pInfo->Descriptor.idProduct), h);
  return true;
}

void OnDetach(WDU_DEVICE_HANDLE h, void* pUser) { static_cast<Recorder*>(pUser)->Add("D", h); }

const std::string kAttach9 = AttachText(vxsim::kDefaultVendorId, 9);

class WduSim : public ::testing::TestWithParam<wdutest::LinkKind> {
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
  void Register() {
    WDU_MATCH_TABLE m{};
    m.wVendorId = vxsim::kDefaultVendorId;
    m.wProductId = 9;
    WDU_EVENT_TABLE e{&OnAttach, &OnDetach, nullptr, &rec};
    WDU_DRIVER_HANDLE h = nullptr;
    ASSERT_EQ(WDU_Init(&h, &m, 1, &e, 1), WD_STATUS_SUCCESS);
  }
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
  EXPECT_EQ(Word(resp, 0), 7u);
  EXPECT_EQ(Word(resp, 1), 0u);
  EXPECT_EQ(Word(resp, 3), uint32_t('Q'));
  uint32_t sum = 0;
  for (size_t i = 0; i < 7; ++i) sum += Word(resp, i);
  EXPECT_EQ(Word(resp, 7), sum);
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

TEST_P(WduSim, AShortWriteTimesOutWithTheBytesMoved) {
  Register();
  loc.Plug();
  ASSERT_TRUE(rec.WaitCount(1));
  vxsim::Fault f;
  f.kind = vxsim::FaultKind::kShortWrite;
  f.value = 8;
  f.exchange = 1;
  loc.AddFault(f);
  DWORD dwMoved = 0;
  EXPECT_EQ(Out(rec.Handle(0), Frame({3, 7, 408}), &dwMoved, 100), WD_TIME_OUT_EXPIRED);
  EXPECT_EQ(dwMoved, 8u);
}

TEST_P(WduSim, AMissingAnswerTimesOutTheInTransfer) {
  Register();
  loc.Plug();
  ASSERT_TRUE(rec.WaitCount(1));
  vxsim::Fault f;
  f.kind = vxsim::FaultKind::kNoAnswer;
  f.exchange = 1;
  loc.AddFault(f);
  DWORD dwMoved = 0;
  ASSERT_EQ(Out(rec.Handle(0), Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
  uint8_t resp[32] = {};
  EXPECT_EQ(In(rec.Handle(0), resp, sizeof resp, &dwMoved, 50), WD_TIME_OUT_EXPIRED);
  EXPECT_EQ(dwMoved, 0u);
}

TEST_P(WduSim, AnUnplugRightAfterTheAnswerDetaches) {
  Register();
  loc.Plug();
  ASSERT_TRUE(rec.WaitCount(1));
  vxsim::Fault f;
  f.kind = vxsim::FaultKind::kUnplugAfter;
  f.exchange = 1;
  loc.AddFault(f);
  DWORD dwMoved = 0;
  ASSERT_EQ(Out(rec.Handle(0), Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
  uint8_t resp[32] = {};
  EXPECT_EQ(In(rec.Handle(0), resp, sizeof resp, &dwMoved), WD_STATUS_SUCCESS);
  EXPECT_EQ(Word(resp, 0), 7u);
  ASSERT_TRUE(rec.WaitCount(2));
  EXPECT_EQ(rec.Log(), (std::vector<std::string>{kAttach9, "D"}));
  EXPECT_NE(Out(rec.Handle(0), Frame({3, 7, 408}), &dwMoved), WD_STATUS_SUCCESS);
}

INSTANTIATE_TEST_SUITE_P(Links, WduSim, ::testing::ValuesIn(wdutest::AvailableLinks()),
                         [](const auto& info) { return wdutest::LinkName(info.param); });

}  // namespace
