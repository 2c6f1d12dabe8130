// The layer against the kit's scriptable backend: naming and registration, handler threads and
// order, device handles, transfers, events and mutexes.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <utility>
#include <thread>
#include <vector>

#include "platform/wdu/testing.h"
#include "platform/wdu/wdu.h"
#include "tests/platform/wdu/wdu_helpers.h"
#include "tests/support/fake_backend.h"

namespace {

constexpr uint16_t kVendor = 0x3A7C;
constexpr DWORD kIdle = 5000;

using wdutest::OnAttach;
using wdutest::OnDetach;
const std::string A1 = wdutest::AttachText(kVendor, 1), A9 = wdutest::AttachText(kVendor, 9);

// The handlers of the layer's own tests select no interface unless told to.
struct Seen : wdutest::Recorder {
  Seen() { bSelect = false; }
};

class WduLayer : public ::testing::Test {
 protected:
  void SetUp() override {
    WduResetLayer();
    WduSelectBackend(fake.Backend());
    ASSERT_NE(WD_DriverName("qvb0003"), nullptr);
  }
  void TearDown() override { WduResetLayer(); }

  DWORD Register(uint16_t uProduct, Seen* pSeen) {
    WDU_MATCH_TABLE m{};
    m.wVendorId = kVendor;
    m.wProductId = uProduct;
    WDU_EVENT_TABLE e{&OnAttach, &OnDetach, nullptr, pSeen};
    WDU_DRIVER_HANDLE h = nullptr;
    const DWORD dw = WDU_Init(&h, &m, 1, &e, 1);
    if (dw == WD_STATUS_SUCCESS) {
      EXPECT_NE(h, nullptr);
    }
    return dw;
  }

  // What the sink says the registrations want: products 1, 9, 5 of the vendor, 9 of another.
  std::string Wanted() {
    std::string s;
    for (auto [v, p] : {std::pair<uint16_t, uint16_t>{kVendor, 1}, {kVendor, 9}, {kVendor, 5}, {0x1234, 9}})
      s += fake.Wants(v, p) ? "y" : "n";
    return s;
  }

  vxtest::FakeBackend fake;
};

TEST(WduNaming, DriverNameRefusesNullAndEmptyAndRegistrationNeedsIt) {
  WduResetLayer();
  EXPECT_EQ(WD_DriverName(nullptr), nullptr);
  EXPECT_EQ(WD_DriverName(""), nullptr);
  WDU_MATCH_TABLE m{kVendor, 9, 0, 0, 0, 0, 0};
  WDU_EVENT_TABLE e{&OnAttach, &OnDetach, nullptr, nullptr};
  WDU_DRIVER_HANDLE h = nullptr;
  EXPECT_EQ(WDU_Init(&h, &m, 1, &e, 1), WD_NO_DRIVER_NAME);
  const char* psz = WD_DriverName("qvb0003");
  ASSERT_NE(psz, nullptr);
  EXPECT_STREQ(psz, "qvb0003");
  WduResetLayer();  // clears the name again
  EXPECT_EQ(WDU_Init(&h, &m, 1, &e, 1), WD_NO_DRIVER_NAME);
}

TEST_F(WduLayer, InitRefusesBadArguments) {
  WDU_MATCH_TABLE m{kVendor, 9, 0, 0, 0, 0, 0};
  WDU_EVENT_TABLE e{&OnAttach, &OnDetach, nullptr, nullptr};
  WDU_EVENT_TABLE eNoAttach{nullptr, &OnDetach, nullptr, nullptr};
  WDU_DRIVER_HANDLE h = nullptr;
  struct Case {
    const char* what;
    WDU_DRIVER_HANDLE* ph;
    WDU_MATCH_TABLE* pm;
    DWORD n;
    WDU_EVENT_TABLE* pe;
  } cases[] = {
      {"no handle variable", nullptr, &m, 1, &e},   {"no match table", &h, nullptr, 1, &e},
      {"zero entries", &h, &m, 0, &e},              {"two entries", &h, &m, 2, &e},
      {"no event table", &h, &m, 1, nullptr},       {"no attach handler", &h, &m, 1, &eNoAttach},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(WDU_Init(c.ph, c.pm, c.n, c.pe, 1), WD_INVALID_PARAMETER) << c.what;
  }
  EXPECT_EQ(WDU_Init(&h, &m, 1, &e, 1), WD_STATUS_SUCCESS);
}

TEST_F(WduLayer, BackendOpenFailureIsReturnedAndALaterInitRetries) {
  fake.FailOpen(WD_OPERATION_FAILED);
  Seen seen;
  EXPECT_EQ(Register(9, &seen), WD_OPERATION_FAILED);
  fake.FailOpen(WD_STATUS_SUCCESS);
  fake.Plug(1, 9);
  EXPECT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(fake.nOpens.load(), 2);
  EXPECT_EQ(seen.Log(), std::vector<std::string>{A9});
}

TEST_F(WduLayer, HandlersRunInOrderOnTheLayersThreadWithTheUserData) {
  Seen seen;
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  fake.Plug(7, 9);
  fake.Unplug(7);
  fake.Plug(8, 9);
  fake.Unplug(8);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(seen.Log(), (std::vector<std::string>{A9, "D", A9, "D"}));
  EXPECT_TRUE(seen.bOtherThreads);
  // Each presence has its own handle; a detach names the handle of its attach.
  EXPECT_EQ(seen.handles[0], seen.handles[1]);
  EXPECT_EQ(seen.handles[2], seen.handles[3]);
  EXPECT_NE(seen.handles[0], seen.handles[2]);
}

TEST_F(WduLayer, OnlyMatchingRegistrationsAreCalled) {
  Seen s1, s9;
  ASSERT_EQ(Register(1, &s1), WD_STATUS_SUCCESS);
  EXPECT_EQ(Wanted(), "ynnn");
  ASSERT_EQ(Register(9, &s9), WD_STATUS_SUCCESS);
  EXPECT_EQ(Wanted(), "yynn");
  EXPECT_EQ(fake.nRematches.load(), 1);  // the open backend looks again at what it did not want
  fake.Plug(1, 9);
  fake.Plug(2, 1);
  fake.Plug(3, 5);
  fake.Unplug(1);
  fake.Unplug(2);
  fake.Unplug(3);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(s1.Log(), (std::vector<std::string>{A1, "D"}));
  EXPECT_EQ(s9.Log(), (std::vector<std::string>{A9, "D"}));
}

TEST_F(WduLayer, RegistrationWhileADeviceIsPresentGetsOneAttach) {
  fake.Plug(1, 9);  // present before the backend opens
  Seen first, second;
  ASSERT_EQ(Register(9, &first), WD_STATUS_SUCCESS);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  fake.Plug(2, 9);  // arrives with the next registration still queued
  ASSERT_EQ(Register(9, &second), WD_STATUS_SUCCESS);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(first.Log(), (std::vector<std::string>{A9, A9}));
  EXPECT_EQ(second.Log(), (std::vector<std::string>{A9, A9}));
}

TEST_F(WduLayer, ARefusingRegistrationGetsNoDetach) {
  Seen refuses, accepts;
  refuses.bAccept = false;
  ASSERT_EQ(Register(9, &refuses), WD_STATUS_SUCCESS);
  ASSERT_EQ(Register(9, &accepts), WD_STATUS_SUCCESS);
  fake.Plug(1, 9);
  fake.Unplug(1);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(refuses.Log(), std::vector<std::string>{A9});
  EXPECT_EQ(accepts.Log(), (std::vector<std::string>{A9, "D"}));
}

TEST_F(WduLayer, AHandlerMayTransferAndSelectTheInterface) {
  Seen seen;
  seen.bSelect = seen.bTransfer = true;
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  fake.Plug(4, 9);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(seen.setIfStatus, std::vector<DWORD>{WD_STATUS_SUCCESS});
  EXPECT_EQ(seen.dwTransferStatus, WD_STATUS_SUCCESS);
  using Call = vxtest::FakeBackend::Call;
  EXPECT_EQ(fake.Calls(), (std::vector<Call>{{fake.kSetInterface, 4}, {fake.kOut, 4}}));
}

TEST_F(WduLayer, TransfersReachTheBackendAndFailOnceTheDeviceLeft) {
  Seen seen;
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  fake.Plug(5, 9);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  ASSERT_EQ(seen.handles.size(), 1u);
  WDU_DEVICE_HANDLE h = seen.handles[0];
  uint8_t buf[32] = {};
  DWORD dwMoved = 7;
  EXPECT_EQ(WDU_Transfer(h, 0x82, 1, 0, buf, sizeof buf, &dwMoved, nullptr, 3000), WD_STATUS_SUCCESS);
  EXPECT_EQ(dwMoved, sizeof buf);
  EXPECT_EQ(buf[31], 0xA5);

  // A backend's time-out passes through with the bytes it moved.
  fake.ScriptTransfers([](uint64_t, bool, uint8_t*, DWORD, DWORD* pdwMoved) -> DWORD {
    *pdwMoved = 12;
    return WD_TIME_OUT_EXPIRED;
  });
  EXPECT_EQ(WDU_Transfer(h, 0x02, 0, 0, buf, sizeof buf, &dwMoved, nullptr, 3000), WD_TIME_OUT_EXPIRED);
  EXPECT_EQ(dwMoved, 12u);

  fake.Unplug(5);  // fails at once, before the detach has been dispatched
  dwMoved = 7;
  EXPECT_EQ(WDU_Transfer(h, 0x02, 0, 0, buf, sizeof buf, &dwMoved, nullptr, 3000), WD_DEVICE_NOT_FOUND);
  EXPECT_EQ(dwMoved, 0u);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(WDU_SetInterface(h, 0, 0), WD_DEVICE_NOT_FOUND);
  EXPECT_EQ(fake.Calls().size(), 2u);  // the refused calls never reached the backend
}

TEST_F(WduLayer, TransferRefusesBadArguments) {
  Seen seen;
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  fake.Plug(5, 9);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  WDU_DEVICE_HANDLE h = seen.handles.at(0);
  uint8_t buf[8] = {};
  uint8_t setup[8] = {};
  const WDU_DEVICE_HANDLE hNever = reinterpret_cast<WDU_DEVICE_HANDLE>(uintptr_t{1} << 40);
  struct Case {
    const char* what;
    WDU_DEVICE_HANDLE h;
    DWORD pipe, read;
    void* p;
    DWORD n;
    const uint8_t* setup;
    DWORD want;
  } cases[] = {
      {"null handle", nullptr, 0x02, 0, buf, 8, nullptr, WD_INVALID_HANDLE},
      {"handle never given", hNever, 0x02, 0, buf, 8, nullptr, WD_INVALID_HANDLE},
      {"no buffer", h, 0x02, 0, nullptr, 8, nullptr, WD_INVALID_PARAMETER},
      {"read on an out pipe", h, 0x02, 1, buf, 8, nullptr, WD_INVALID_PARAMETER},
      {"write on an in pipe", h, 0x82, 0, buf, 8, nullptr, WD_INVALID_PARAMETER},
      {"control pipe", h, 0x00, 0, buf, 8, setup, WD_INVALID_PARAMETER},
  };
  for (const Case& c : cases) {
    DWORD dwMoved = 99;
    EXPECT_EQ(WDU_Transfer(c.h, c.pipe, c.read, 0, c.p, c.n, &dwMoved, c.setup, 100), c.want) << c.what;
    EXPECT_EQ(dwMoved, 0u) << c.what;
  }
  EXPECT_EQ(WDU_Transfer(h, 0x02, 0, 0, buf, 8, nullptr, nullptr, 100), WD_INVALID_PARAMETER);
  EXPECT_TRUE(fake.Calls().empty());
}

TEST_F(WduLayer, ManyPlugCyclesKeepOnlyTheLatestHandleUsable) {
  Seen seen;
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  constexpr int kCycles = 3000;
  for (int i = 1; i <= kCycles; ++i) {
    fake.Plug(static_cast<uint64_t>(i), 9);
    if (i < kCycles) fake.Unplug(static_cast<uint64_t>(i));
  }
  ASSERT_TRUE(WduWaitIdle(kIdle * 4));
  const auto log = seen.Log();
  ASSERT_EQ(log.size(), 2u * kCycles - 1);
  uint8_t b[4] = {};
  DWORD dwMoved = 0;
  EXPECT_EQ(WDU_Transfer(seen.handles.front(), 0x02, 0, 0, b, 4, &dwMoved, nullptr, 10), WD_DEVICE_NOT_FOUND);
  EXPECT_EQ(WDU_Transfer(seen.handles.back(), 0x02, 0, 0, b, 4, &dwMoved, nullptr, 10), WD_STATUS_SUCCESS);
}

TEST_F(WduLayer, ResetClosesTheBackendAndOldHandlesFail) {
  Seen seen;
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  fake.Plug(5, 9);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  WduResetLayer();
  EXPECT_EQ(fake.nCloses.load(), 1);
  uint8_t b[4] = {};
  DWORD dwMoved = 3;
  EXPECT_EQ(WDU_Transfer(seen.handles.at(0), 0x02, 0, 0, b, 4, &dwMoved, nullptr, 10), WD_DEVICE_NOT_FOUND);
  EXPECT_EQ(dwMoved, 0u);
  // After a reset the next registration starts from nothing and sees the device anew.
  WduSelectBackend(fake.Backend());
  ASSERT_NE(WD_DriverName("qvb0003"), nullptr);
  ASSERT_EQ(Register(9, &seen), WD_STATUS_SUCCESS);
  ASSERT_TRUE(WduWaitIdle(kIdle));
  EXPECT_EQ(seen.Log(), (std::vector<std::string>{A9, A9}));
  EXPECT_NE(seen.handles.at(0), seen.handles.at(1));
}

TEST(WduNullBackend, ReportsNoDevice) {
  WduResetLayer();
  WduSelectBackend(WduNullBackend());
  ASSERT_NE(WD_DriverName("qvb0003"), nullptr);
  Seen seen;
  WDU_MATCH_TABLE m{kVendor, 9, 0, 0, 0, 0, 0};
  WDU_EVENT_TABLE e{&OnAttach, &OnDetach, nullptr, &seen};
  WDU_DRIVER_HANDLE h = nullptr;
  EXPECT_EQ(WDU_Init(&h, &m, 1, &e, 1), WD_STATUS_SUCCESS);
  EXPECT_TRUE(WduWaitIdle(kIdle));
  EXPECT_TRUE(seen.Log().empty());
  WduResetLayer();
}

TEST(WduOsEvent, WaitTimesOutUntilSignalledAndResetRearms) {
  OS_EVENT_HANDLE h = nullptr;
  ASSERT_EQ(OsEventCreate(&h), WD_STATUS_SUCCESS);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(OsEventWait(h, 10), WD_TIME_OUT_EXPIRED);
  OsEventSignal(h);
  EXPECT_EQ(OsEventWait(h, 10), WD_STATUS_SUCCESS);
  EXPECT_EQ(OsEventWait(h, WD_WAIT_INFINITE), WD_STATUS_SUCCESS);  // manual reset: stays set
  OsEventReset(h);
  EXPECT_EQ(OsEventWait(h, 0), WD_TIME_OUT_EXPIRED);
  EXPECT_EQ(OsEventCreate(nullptr), WD_INVALID_PARAMETER);
  EXPECT_EQ(OsMutexCreate(nullptr), WD_INVALID_PARAMETER);
}

TEST(WduOsEvent, InfiniteWaitEndsWhenAnotherThreadSignals) {
  OS_EVENT_HANDLE hGo = nullptr, hDone = nullptr;
  ASSERT_EQ(OsEventCreate(&hGo), WD_STATUS_SUCCESS);
  ASSERT_EQ(OsEventCreate(&hDone), WD_STATUS_SUCCESS);
  std::atomic<DWORD> dwResult{~0u};
  std::thread waiter([&] {
    dwResult = OsEventWait(hGo, WD_WAIT_INFINITE);
    OsEventSignal(hDone);
  });
  EXPECT_EQ(OsEventWait(hDone, 20), WD_TIME_OUT_EXPIRED);  // the waiter is still blocked
  OsEventSignal(hGo);
  EXPECT_EQ(OsEventWait(hDone, WD_WAIT_INFINITE), WD_STATUS_SUCCESS);
  waiter.join();
  EXPECT_EQ(dwResult.load(), WD_STATUS_SUCCESS);
}

TEST(WduOsMutex, ExcludesOtherThreads) {
  OS_MUTEX_HANDLE hMutex = nullptr;
  ASSERT_EQ(OsMutexCreate(&hMutex), WD_STATUS_SUCCESS);
  long nCounter = 0;  // unsynchronised but for the mutex: a race shows as a lost update
  auto work = [&] {
    for (int i = 0; i < 20000; ++i) {
      OsMutexLock(hMutex);
      const long n = nCounter;
      nCounter = n + 1;
      OsMutexUnlock(hMutex);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_EQ(nCounter, 40000);
}

}  // namespace
