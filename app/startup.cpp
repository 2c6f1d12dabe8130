#include "app/startup.h"

#include <cstdio>
#include <cstdlib>

namespace {

constexpr const char* kUsageRuleText = "\n========================================================";
constexpr const char* kUsageText = "\nUsage: vx_fw_load                                       \n";
constexpr const char* kUsageRuleEndText =
    "\n========================================================\n";
constexpr const char* kGetPriorityClassErrorText = "Error : GetPriorityClass\n";
constexpr const char* kThreadPriorityErrorText =
    "THREAD_PRIORITY_ERROR_RETURN, GetLastError = %u\n";
constexpr const char* kSetPriorityClassErrorText = "SetPriorityClass error, GetLastError = %d\n";
constexpr const char* kSetThreadPriorityErrorText =
    "SetThreadPriority error, GetLastError = %d\n";
constexpr const char* kTimeGetDevCapsErrorText = "Call to function timeGetDevCaps failed\n";
constexpr const char* kChannelNullText = "pCUsbMessage NULL\n";
constexpr const char* kBannerText = "\nQUENBY VALTOR FIRMWARE UPDATER\n";
constexpr const char* kSeparatorText = "\n=================================================\n";

constexpr int kFailureStatus = -1;
constexpr DWORD kOpenPauseMs = 1000;

#if defined(__GNUC__)
__attribute__((format(printf, 2, 3)))
#endif
void Say(const StartupCalls& calls, const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  calls.pfnPrint(pszFormat, args);
  va_end(args);
}

// Reports a failing priority query; the values themselves are not used.
void QueryPriority(const StartupCalls& calls) {
  if (calls.pfnGetPriorityClass(calls.pfnGetCurrentProcess()) == 0) {
    Say(calls, kGetPriorityClassErrorText);
    return;
  }
  if (calls.pfnGetThreadPriority(calls.pfnGetCurrentThread()) == THREAD_PRIORITY_ERROR_RETURN) {
    Say(calls, kThreadPriorityErrorText, static_cast<unsigned>(calls.pfnGetLastError()));
  }
}

void RaisePriority(const StartupCalls& calls) {
  if (!calls.pfnSetPriorityClass(calls.pfnGetCurrentProcess(), REALTIME_PRIORITY_CLASS)) {
    Say(calls, kSetPriorityClassErrorText, static_cast<int>(calls.pfnGetLastError()));
    return;
  }
  if (!calls.pfnSetThreadPriority(calls.pfnGetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL)) {
    Say(calls, kSetThreadPriorityErrorText, static_cast<int>(calls.pfnGetLastError()));
  }
}

// The finest period the timer offers, never finer than 1 ms nor coarser than its maximum.
UINT TimerPeriod(const TIMECAPS& tc) {
  UINT uPeriod = tc.wPeriodMin < 1u ? 1u : tc.wPeriodMin;
  return uPeriod > tc.wPeriodMax ? tc.wPeriodMax : uPeriod;
}

}  // namespace

void StartupExit(int nStatus) { std::exit(nStatus); }

int StartupPrint(const char* pszFormat, va_list args) { return std::vprintf(pszFormat, args); }

int StartUp(int argc, char** /*argv*/, const StartupCalls& calls) {
  if (argc < 1) {
    Say(calls, kUsageRuleText);
    Say(calls, kUsageText);
    Say(calls, kUsageRuleEndText);
    calls.pfnExit(kFailureStatus);
    return kFailureStatus;
  }

  QueryPriority(calls);
  RaisePriority(calls);
  QueryPriority(calls);

  TIMECAPS tc{};
  if (calls.pfnTimeGetDevCaps(&tc, sizeof(tc)) != TIMERR_NOERROR) {
    Say(calls, kTimeGetDevCapsErrorText);
    calls.pfnExit(kFailureStatus);
    return kFailureStatus;
  }
  calls.pfnTimeBeginPeriod(TimerPeriod(tc));

  // The channel is complete and reachable before the channel is opened: the hot-plug
  // handlers may run as soon as it is.
  CUsbMessage* pChannel = calls.pfnCreateChannel != nullptr ? calls.pfnCreateChannel() : nullptr;
  if (pChannel == nullptr) {
    Say(calls, kChannelNullText);
    calls.pfnExit(kFailureStatus);
    return kFailureStatus;
  }
  if (calls.ppChannel != nullptr) *calls.ppChannel = pChannel;

  Say(calls, kBannerText);
  if (calls.pfnOpenChannel() == 0) calls.pfnSleep(kOpenPauseMs);
  Say(calls, kSeparatorText);

  calls.pfnRunUpdateLoop();
  return 0;
}
