// Start-up through its table of calls: every call and every text is recorded in one trace,
// so that the tests see what ran, with which arguments, and in which order.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "app/startup.h"

namespace {

using Trace = std::vector<std::string>;

// What the fakes answer, and what they saw.
struct World {
  DWORD adwPriorityClass[2] = {NORMAL_PRIORITY_CLASS, REALTIME_PRIORITY_CLASS};
  int anThreadPriority[2] = {THREAD_PRIORITY_NORMAL, THREAD_PRIORITY_TIME_CRITICAL};
  BOOL bSetClassResult = TRUE;
  BOOL bSetThreadResult = TRUE;
  DWORD dwLastError = 0;
  MMRESULT mmCapsResult = TIMERR_NOERROR;
  TIMECAPS tc = {1, 1000000};
  bool bChannelCreated = true;
  int32_t nOpenResult = 0;

  int nClassQueries = 0;
  int nThreadQueries = 0;
  Trace trace;
  std::string sOutput;
  CUsbMessage* pChannelSlot = nullptr;
};

World* g_pWorld = nullptr;
alignas(16) unsigned char g_abChannel[16];  // stands for the channel object; never used as one
CUsbMessage* const kChannel = reinterpret_cast<CUsbMessage*>(g_abChannel);

int g_nProcessTag, g_nThreadTag;
HANDLE const kProcess = &g_nProcessTag;
HANDLE const kThread = &g_nThreadTag;

std::string Who(HANDLE h) { return h == kProcess ? "process" : h == kThread ? "thread" : "?"; }
void Log(const std::string& s) { g_pWorld->trace.push_back(s); }

HANDLE FakeGetCurrentProcess() { return kProcess; }
HANDLE FakeGetCurrentThread() { return kThread; }

DWORD FakeGetPriorityClass(HANDLE h) {
  Log("GetPriorityClass(" + Who(h) + ")");
  int i = g_pWorld->nClassQueries++ < 1 ? 0 : 1;
  return g_pWorld->adwPriorityClass[i];
}

int FakeGetThreadPriority(HANDLE h) {
  Log("GetThreadPriority(" + Who(h) + ")");
  int i = g_pWorld->nThreadQueries++ < 1 ? 0 : 1;
  return g_pWorld->anThreadPriority[i];
}

BOOL FakeSetPriorityClass(HANDLE h, DWORD dwClass) {
  Log("SetPriorityClass(" + Who(h) + "," + std::to_string(dwClass) + ")");
  return g_pWorld->bSetClassResult;
}

BOOL FakeSetThreadPriority(HANDLE h, int nPriority) {
  Log("SetThreadPriority(" + Who(h) + "," + std::to_string(nPriority) + ")");
  return g_pWorld->bSetThreadResult;
}

DWORD FakeGetLastError() { return g_pWorld->dwLastError; }

MMRESULT FakeTimeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
  Log("timeGetDevCaps(" + std::to_string(cbtc) + ")");
  *ptc = g_pWorld->tc;
  return g_pWorld->mmCapsResult;
}

MMRESULT FakeTimeBeginPeriod(UINT uPeriod) {
  Log("timeBeginPeriod(" + std::to_string(uPeriod) + ")");
  return TIMERR_NOERROR;
}

void FakeSleep(DWORD dwMilliseconds) { Log("Sleep(" + std::to_string(dwMilliseconds) + ")"); }

CUsbMessage* FakeCreateChannel() {
  Log("CreateChannel");
  return g_pWorld->bChannelCreated ? kChannel : nullptr;
}

int32_t FakeOpenChannel() {
  Log(g_pWorld->pChannelSlot == kChannel ? "OpenChannel(channel stored)" : "OpenChannel(no channel)");
  return g_pWorld->nOpenResult;
}

void FakeRunUpdateLoop() { Log("RunUpdateLoop"); }
void FakeExit(int nStatus) { Log("Exit(" + std::to_string(nStatus) + ")"); }

int FakePrint(const char* pszFormat, va_list args) {
  char acText[512];
  int n = std::vsnprintf(acText, sizeof(acText), pszFormat, args);
  g_pWorld->sOutput += acText;
  Log(std::string("out:") + acText);
  return n;
}

constexpr const char* kUsage1 = "\n========================================================";
constexpr const char* kUsage2 = "\nUsage: vx_fw_load                                       \n";
constexpr const char* kUsage3 = "\n========================================================\n";
constexpr const char* kBanner = "\nQUENBY VALTOR FIRMWARE UPDATER\n";
constexpr const char* kSeparator = "\n=================================================\n";

const Trace kNormalPriorityCalls = {
    "GetPriorityClass(process)", "GetThreadPriority(thread)",    "SetPriorityClass(process,256)",
    "SetThreadPriority(thread,15)", "GetPriorityClass(process)", "GetThreadPriority(thread)"};

// The trace from the timer on, for a 1 ms period and a channel that opens.
const Trace kNormalTail = {"timeGetDevCaps(8)",
                           "timeBeginPeriod(1)",
                           "CreateChannel",
                           std::string("out:") + kBanner,
                           "OpenChannel(channel stored)",
                           "Sleep(1000)",
                           std::string("out:") + kSeparator,
                           "RunUpdateLoop"};

Trace Join(const Trace& a, const Trace& b) {
  Trace t = a;
  t.insert(t.end(), b.begin(), b.end());
  return t;
}

class StartUpTest : public ::testing::Test {
 protected:
  void SetUp() override {
    g_pWorld = &world_;
    calls_.pfnGetCurrentProcess = &FakeGetCurrentProcess;
    calls_.pfnGetCurrentThread = &FakeGetCurrentThread;
    calls_.pfnGetPriorityClass = &FakeGetPriorityClass;
    calls_.pfnGetThreadPriority = &FakeGetThreadPriority;
    calls_.pfnSetPriorityClass = &FakeSetPriorityClass;
    calls_.pfnSetThreadPriority = &FakeSetThreadPriority;
    calls_.pfnGetLastError = &FakeGetLastError;
    calls_.pfnTimeGetDevCaps = &FakeTimeGetDevCaps;
    calls_.pfnTimeBeginPeriod = &FakeTimeBeginPeriod;
    calls_.pfnSleep = &FakeSleep;
    calls_.pfnCreateChannel = &FakeCreateChannel;
    calls_.ppChannel = &world_.pChannelSlot;
    calls_.pfnOpenChannel = &FakeOpenChannel;
    calls_.pfnRunUpdateLoop = &FakeRunUpdateLoop;
    calls_.pfnExit = &FakeExit;
    calls_.pfnPrint = &FakePrint;
  }
  void TearDown() override { g_pWorld = nullptr; }

  int Run(int argc) {
    char szName[] = "vx_fw_load", szA[] = "a", szB[] = "b";
    char* apszArgs[] = {szName, szA, szB, nullptr};
    return StartUp(argc, argc > 0 ? apszArgs : apszArgs + 3, calls_);
  }

  World world_;
  StartupCalls calls_;
};

TEST_F(StartUpTest, SuccessfulStartUpRunsEveryStepInOrder) {
  EXPECT_EQ(Run(1), 0);
  EXPECT_EQ(world_.trace, Join(kNormalPriorityCalls, kNormalTail));
  EXPECT_EQ(world_.sOutput, std::string(kBanner) + kSeparator);
  EXPECT_EQ(world_.pChannelSlot, kChannel);
}

TEST_F(StartUpTest, ArgumentCountBelowOneShowsUsageAndExits) {
  for (int argc : {0, -1}) {
    world_ = World{};
    EXPECT_EQ(Run(argc), -1) << argc;
    EXPECT_EQ(world_.sOutput, std::string(kUsage1) + kUsage2 + kUsage3) << argc;
    // Three texts, then the exit, and nothing else at all.
    EXPECT_EQ(world_.trace, (Trace{std::string("out:") + kUsage1, std::string("out:") + kUsage2,
                                   std::string("out:") + kUsage3, "Exit(-1)"}))
        << argc;
  }
}

TEST_F(StartUpTest, ArgumentsAfterTheProgramNameAreIgnored) {
  EXPECT_EQ(Run(3), 0);
  EXPECT_EQ(world_.trace, Join(kNormalPriorityCalls, kNormalTail));
}

TEST_F(StartUpTest, TimerPeriodIsTheFinestOfferedButAtLeastOneMillisecond) {
  struct Case {
    UINT uMin, uMax, uPeriod;
  };
  const Case aCases[] = {{0, 1000000, 1},
                         {1, 1000000, 1},
                         {10, 1000000, 10},
                         {20, 16, 16},
                         {0x80000000u, 0x90000000u, 0x80000000u},  // unsigned comparisons
                         {0x90000000u, 5, 5}};
  for (const Case& c : aCases) {
    world_ = World{};
    world_.tc = {c.uMin, c.uMax};
    Run(1);
    int nBegins = 0;
    for (const std::string& s : world_.trace) {
      if (s.rfind("timeBeginPeriod(", 0) == 0) {
        ++nBegins;
        EXPECT_EQ(s, "timeBeginPeriod(" + std::to_string(c.uPeriod) + ")") << c.uMin << "/" << c.uMax;
      }
    }
    EXPECT_EQ(nBegins, 1) << c.uMin << "/" << c.uMax;
  }
}

TEST_F(StartUpTest, TimerCapabilitiesFailureEndsBeforeTheChannel) {
  for (MMRESULT mm : {MMRESULT{TIMERR_NOCANDO}, MMRESULT{1}}) {
    world_ = World{};
    world_.mmCapsResult = mm;
    EXPECT_EQ(Run(1), -1);
    EXPECT_EQ(world_.sOutput, "Call to function timeGetDevCaps failed\n");
    EXPECT_EQ(world_.trace, Join(kNormalPriorityCalls,
                                 {"timeGetDevCaps(8)",
                                  "out:Call to function timeGetDevCaps failed\n", "Exit(-1)"}));
    EXPECT_EQ(world_.pChannelSlot, nullptr);
  }
}

TEST_F(StartUpTest, PriorityFailuresAreReportedAndStartUpGoesOn) {
  struct Case {
    const char* pszName;
    DWORD adwClass[2];
    int anThread[2];
    BOOL bSetClass, bSetThread;
    DWORD dwLastError;
    Trace calls;
    std::string sBeforeBanner;
  };
  const DWORD N = NORMAL_PRIORITY_CLASS;
  const int E = THREAD_PRIORITY_ERROR_RETURN;
  const Case aCases[] = {
      {"class not raised: thread left alone, second query still runs",
       {N, N}, {0, 0}, FALSE, TRUE, 5,
       {"GetPriorityClass(process)", "GetThreadPriority(thread)", "SetPriorityClass(process,256)",
        "GetPriorityClass(process)", "GetThreadPriority(thread)"},
       "SetPriorityClass error, GetLastError = 5\n"},
      {"thread not raised",
       {N, N}, {0, 0}, TRUE, FALSE, 87,
       kNormalPriorityCalls,
       "SetThreadPriority error, GetLastError = 87\n"},
      {"error numbers as signed in the raise texts",
       {N, N}, {0, 0}, FALSE, TRUE, 3000000000u,
       {"GetPriorityClass(process)", "GetThreadPriority(thread)", "SetPriorityClass(process,256)",
        "GetPriorityClass(process)", "GetThreadPriority(thread)"},
       "SetPriorityClass error, GetLastError = -1294967296\n"},
      {"first class query fails: its thread query skipped",
       {0, N}, {0, 0}, TRUE, TRUE, 0,
       {"GetPriorityClass(process)", "SetPriorityClass(process,256)",
        "SetThreadPriority(thread,15)", "GetPriorityClass(process)", "GetThreadPriority(thread)"},
       "Error : GetPriorityClass\n"},
      {"both class queries fail",
       {0, 0}, {0, 0}, TRUE, TRUE, 0,
       {"GetPriorityClass(process)", "SetPriorityClass(process,256)",
        "SetThreadPriority(thread,15)", "GetPriorityClass(process)"},
       "Error : GetPriorityClass\nError : GetPriorityClass\n"},
      {"thread query fails, error number as unsigned",
       {N, N}, {E, 15}, TRUE, TRUE, 3000000000u,
       kNormalPriorityCalls,
       "THREAD_PRIORITY_ERROR_RETURN, GetLastError = 3000000000\n"},
      {"both thread queries fail",
       {N, N}, {E, E}, TRUE, TRUE, 6,
       kNormalPriorityCalls,
       "THREAD_PRIORITY_ERROR_RETURN, GetLastError = 6\n"
       "THREAD_PRIORITY_ERROR_RETURN, GetLastError = 6\n"},
  };
  for (const Case& c : aCases) {
    world_ = World{};
    world_.adwPriorityClass[0] = c.adwClass[0];
    world_.adwPriorityClass[1] = c.adwClass[1];
    world_.anThreadPriority[0] = c.anThread[0];
    world_.anThreadPriority[1] = c.anThread[1];
    world_.bSetClassResult = c.bSetClass;
    world_.bSetThreadResult = c.bSetThread;
    world_.dwLastError = c.dwLastError;
    EXPECT_EQ(Run(1), 0) << c.pszName;
    EXPECT_EQ(world_.sOutput, c.sBeforeBanner + kBanner + kSeparator) << c.pszName;
    Trace calls;  // the trace without its texts
    for (const std::string& s : world_.trace) {
      if (s.rfind("out:", 0) != 0) calls.push_back(s);
    }
    Trace tail;
    for (const std::string& s : kNormalTail) {
      if (s.rfind("out:", 0) != 0) tail.push_back(s);
    }
    EXPECT_EQ(calls, Join(c.calls, tail)) << c.pszName;
    // Every priority text stands before the banner.
    EXPECT_EQ(world_.sOutput.find(kBanner), c.sBeforeBanner.size()) << c.pszName;
  }
}

TEST_F(StartUpTest, ChannelObjectFailureEndsWithoutBanner) {
  world_.bChannelCreated = false;
  EXPECT_EQ(Run(1), -1);
  EXPECT_EQ(world_.sOutput, "pCUsbMessage NULL\n");
  EXPECT_EQ(world_.trace, Join(kNormalPriorityCalls, {"timeGetDevCaps(8)", "timeBeginPeriod(1)",
                                                      "CreateChannel", "out:pCUsbMessage NULL\n",
                                                      "Exit(-1)"}));
  EXPECT_EQ(world_.pChannelSlot, nullptr);
}

TEST_F(StartUpTest, PauseFollowsOnlyASuccessfulOpen) {
  struct Case {
    int32_t nOpenResult;
    bool bPause;
  };
  for (const Case& c : {Case{0, true}, Case{51, false}, Case{75, false}, Case{-1, false}}) {
    world_ = World{};
    world_.nOpenResult = c.nOpenResult;
    EXPECT_EQ(Run(1), 0);
    Trace expected = {std::string("out:") + kBanner, "OpenChannel(channel stored)"};
    if (c.bPause) expected.push_back("Sleep(1000)");
    expected.push_back(std::string("out:") + kSeparator);
    expected.push_back("RunUpdateLoop");
    ASSERT_GE(world_.trace.size(), expected.size());
    Trace fromBanner(world_.trace.end() - static_cast<long>(expected.size()), world_.trace.end());
    EXPECT_EQ(fromBanner, expected) << c.nOpenResult;
    EXPECT_EQ(world_.sOutput, std::string(kBanner) + kSeparator) << c.nOpenResult;
  }
}

}  // namespace
