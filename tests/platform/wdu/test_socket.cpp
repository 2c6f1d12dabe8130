// The socket backend's own duties: connecting late, losing and regaining the simulator,
// several requests outstanding at once, and a simulator that outlives a client killed in
// the middle of a transfer.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdlib>
#include <future>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/testing.h"
#include "platform/wdu/wdu.h"
#include "sim/locator.h"
#include "sim/server.h"
#include "tests/platform/wdu/sim_link.h"
#include "tests/platform/wdu/wdu_helpers.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <memory>

#include <unistd.h>

#include "tests/support/child_process.h"
#endif

namespace {

using namespace wdutest;

constexpr const char* kChildEnv = "VX_WDU_TEST_CHILD";

class WduSocket : public ::testing::Test {
 protected:
  void SetUp() override {
    WduResetLayer();
    link = MakeLink(LinkKind::kSocket, &loc);
    ASSERT_NE(link, nullptr);
    ASSERT_NE(WD_DriverName("qvb0003"), nullptr);
  }
  void TearDown() override {
    loc.SetEventLog({});
    WduResetLayer();
    link.reset();
  }
  vxsim::Locator loc;
  std::unique_ptr<Link> link;
  Recorder rec;
  std::mutex mtx;  // the simulator's event log: whether it read the identification request
  std::condition_variable cv;
  bool bRequestRead = false;
};

TEST_F(WduSocket, ReportsNothingUntilTheSimulatorIsThereThenAttaches) {
  const std::string sEndpoint = link->Endpoint();
  link->StopServer();
  loc.Plug();
  WduSelectBackend(WduSocketBackend(sEndpoint.c_str()));
  ASSERT_EQ(RegisterLoader(&rec), WD_STATUS_SUCCESS);
  EXPECT_TRUE(WduWaitIdle(1000));
  EXPECT_TRUE(rec.Log().empty());
  ASSERT_TRUE(link->RestartServer());
  ASSERT_EQ(link->Endpoint(), sEndpoint);
  ASSERT_TRUE(rec.WaitCount(1));
  EXPECT_EQ(rec.Log(), std::vector<std::string>{kAttach9});
}

TEST_F(WduSocket, SurvivesTheSimulatorGoingAwayAndComingBack) {
  WduSelectBackend(link->Backend());
  loc.Plug();
  ASSERT_EQ(RegisterLoader(&rec), WD_STATUS_SUCCESS);
  ASSERT_TRUE(rec.WaitCount(1));
  link->StopServer();  // the attached device is reported gone
  ASSERT_TRUE(rec.WaitCount(2));
  DWORD dwMoved = 9;
  auto frame = Frame({3, 7, 408});
  EXPECT_EQ(WDU_Transfer(rec.Handle(0), 0x02, 0, 0, frame.data(), 16, &dwMoved, nullptr, 3000), WD_DEVICE_NOT_FOUND);
  EXPECT_EQ(dwMoved, 0u);
  ASSERT_TRUE(link->RestartServer());
  ASSERT_TRUE(rec.WaitCount(3));
  EXPECT_EQ(rec.Log(), (std::vector<std::string>{kAttach9, "D", kAttach9}));
  EXPECT_EQ(WDU_Transfer(rec.Handle(2), 0x02, 0, 0, frame.data(), 16, &dwMoved, nullptr, 3000), WD_STATUS_SUCCESS);
  EXPECT_EQ(dwMoved, 16u);
}

TEST_F(WduSocket, AnInterfaceSelectionIsAnsweredWhileATransferWaits) {
  WduSelectBackend(link->Backend());
  loc.Plug();
  ASSERT_EQ(RegisterLoader(&rec), WD_STATUS_SUCCESS);
  ASSERT_TRUE(rec.WaitCount(1));
  WDU_DEVICE_HANDLE h = rec.Handle(0);
  vxsim::Fault f;
  f.kind = vxsim::FaultKind::kNoAnswer;
  f.exchange = 1;
  loc.AddFault(f);
  auto frame = Frame({3, 7, 408});
  DWORD dwMoved = 0;
  ASSERT_EQ(WDU_Transfer(h, 0x02, 0, 0, frame.data(), 16, &dwMoved, nullptr, 3000), WD_STATUS_SUCCESS);
  // The IN transfer waits for an answer that never comes; the selection made meanwhile
  // from another thread must come back first.
  std::promise<void> inDone;
  std::future<void> fInDone = inDone.get_future();
  DWORD dwInStatus = 0;
  std::thread reader([&] {
    uint8_t resp[32];
    DWORD dwIn = 0;
    dwInStatus = WDU_Transfer(h, 0x82, 1, 0, resp, sizeof resp, &dwIn, nullptr, 1500);
    inDone.set_value();
  });
  const DWORD dwSetIf = WDU_SetInterface(h, 0, 0);
  const bool bInStillWaiting = fInDone.wait_for(std::chrono::seconds(0)) == std::future_status::timeout;
  reader.join();
  EXPECT_EQ(dwSetIf, WD_STATUS_SUCCESS);
  EXPECT_TRUE(bInStillWaiting);
  EXPECT_EQ(dwInStatus, WD_TIME_OUT_EXPIRED);
}

// The client half of the next test: run as a child process, reaches the simulator through
// VX_LOCATOR_SIM like the updater does, and starts a transfer that its parent kills.
TEST(WduSocketChild, StartsATransferAndIsKilled) {
  if (std::getenv(kChildEnv) == nullptr) GTEST_SKIP() << "runs only as the child of a WduSocket test";
  Recorder rec;
  ASSERT_NE(WD_DriverName("qvb0003"), nullptr);
  ASSERT_EQ(RegisterLoader(&rec), WD_STATUS_SUCCESS);
  ASSERT_TRUE(rec.WaitCount(1));
  auto frame = Frame({3, 7, 408});
  DWORD dwMoved = 0;
  ASSERT_EQ(WDU_Transfer(rec.Handle(0), 0x02, 0, 0, frame.data(), 16, &dwMoved, nullptr, 3000), WD_STATUS_SUCCESS);
  uint8_t resp[32];
  WDU_Transfer(rec.Handle(0), 0x82, 1, 0, resp, sizeof resp, &dwMoved, nullptr, 20000);  // killed while waiting
}

// Starts this test program as the child above; returns false when it cannot.
class Child {
 public:
  bool Start(const std::string& sEndpoint) {
#if defined(_WIN32)
    wchar_t wszExe[MAX_PATH];
    if (GetModuleFileNameW(nullptr, wszExe, MAX_PATH) == 0) return false;
    std::wstring sCmd = L"\"" + std::wstring(wszExe) + L"\" --gtest_filter=WduSocketChild.*";
    std::wstring wEndpoint(sEndpoint.begin(), sEndpoint.end());
    SetEnvironmentVariableW(L"VX_LOCATOR_SIM", wEndpoint.c_str());
    SetEnvironmentVariableW(L"VX_WDU_TEST_CHILD", L"1");
    STARTUPINFOW si{};
    si.cb = sizeof si;
    const BOOL bOk = CreateProcessW(nullptr, sCmd.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &m_pi);
    SetEnvironmentVariableW(L"VX_LOCATOR_SIM", nullptr);
    SetEnvironmentVariableW(L"VX_WDU_TEST_CHILD", nullptr);
    return bOk != 0;
#else
    char szExe[4096];
    const ssize_t n = readlink("/proc/self/exe", szExe, sizeof szExe - 1);
    if (n <= 0) return false;
    ChildProcess::Options options;
    options.argv = {std::string(szExe, size_t(n)), "--gtest_filter=WduSocketChild.*"};
    options.env = {{"VX_LOCATOR_SIM", sEndpoint}, {kChildEnv, "1"}};
    m_pChild = std::make_unique<ChildProcess>(options);
    return m_pChild->Started();
#endif
  }
  // Waits up to dwMs for the child to end; true when it still runs.
  bool RunsAfter(DWORD dwMs) {
#if defined(_WIN32)
    return WaitForSingleObject(m_pi.hProcess, dwMs) == WAIT_TIMEOUT;
#else
    m_pChild->WaitQuiet(int(dwMs), int(dwMs));  // ends early when the child's output ends with it
    return !m_pChild->Exited(nullptr);
#endif
  }
  void Kill() {
#if defined(_WIN32)
    TerminateProcess(m_pi.hProcess, 9);
    WaitForSingleObject(m_pi.hProcess, INFINITE);
    CloseHandle(m_pi.hProcess);
    CloseHandle(m_pi.hThread);
#else
    m_pChild->Stop(SIGKILL);
#endif
  }

 private:
#if defined(_WIN32)
  PROCESS_INFORMATION m_pi{};
#else
  std::unique_ptr<ChildProcess> m_pChild;
#endif
};

TEST_F(WduSocket, TheSimulatorOutlivesAClientKilledMidTransfer) {
  loc.Plug();
  vxsim::Fault f;
  f.kind = vxsim::FaultKind::kNoAnswer;  // the child's IN transfer waits for ever
  f.exchange = 1;
  loc.AddFault(f);
  loc.SetEventLog([&](const std::string& sLine) {
    std::lock_guard<std::mutex> lk(mtx);
    bRequestRead |= sLine == "flash identification read";
    cv.notify_all();
  });
  Child child;
  ASSERT_TRUE(child.Start(link->Endpoint()));
  // The child's request reaches the simulator, then its IN transfer waits: the child stays.
  {
    std::unique_lock<std::mutex> lk(mtx);
    ASSERT_TRUE(cv.wait_for(lk, kEventWait, [&] { return bRequestRead; }));
  }
  ASSERT_EQ(loc.ExchangeCount(), 1u);
  EXPECT_TRUE(child.RunsAfter(200)) << "the child's IN transfer waits";
  child.Kill();

  WduSelectBackend(link->Backend());
  ASSERT_EQ(RegisterLoader(&rec), WD_STATUS_SUCCESS);
  ASSERT_TRUE(rec.WaitCount(1));
  auto frame = Frame({3, 7, 408});
  DWORD dwMoved = 0;
  ASSERT_EQ(WDU_Transfer(rec.Handle(0), 0x02, 0, 0, frame.data(), 16, &dwMoved, nullptr, 3000), WD_STATUS_SUCCESS);
  uint8_t resp[32] = {};
  ASSERT_EQ(WDU_Transfer(rec.Handle(0), 0x82, 1, 0, resp, sizeof resp, &dwMoved, nullptr, 3000), WD_STATUS_SUCCESS);
  EXPECT_EQ(Word(resp, 0), 7u);
  EXPECT_EQ(Word(resp, 3), uint32_t('Q'));
}

}  // namespace
