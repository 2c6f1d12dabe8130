// Process and thread priority, the timer period and Sleep on a POSIX system, with the
// results that Windows gives them.
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>

#include "platform/os/os.h"

namespace {

thread_local DWORD t_dwLastError = 0;

// The pseudo handles that Windows gives for the current process and thread.
HANDLE const kCurrentProcess = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1));
HANDLE const kCurrentThread = reinterpret_cast<HANDLE>(static_cast<intptr_t>(-2));

constexpr DWORD kIdlePriorityClass = 0x00000040u;
constexpr DWORD kBelowNormalPriorityClass = 0x00004000u;
constexpr DWORD kAboveNormalPriorityClass = 0x00008000u;
constexpr int kThreadPriorityIdle = -15;
constexpr int kNiceLowest = -20;  // the most favourable nice value
constexpr int kNiceHighest = 19;

std::atomic<DWORD> g_dwPriorityClass{NORMAL_PRIORITY_CLASS};
// Whether the class granted is real-time scheduling (not its nice-value stand-in).
std::atomic<bool> g_bRealtimeScheduling{false};
thread_local int t_nThreadPriority = THREAD_PRIORITY_NORMAL;

// The nice value that stands for a priority class; false for an unknown class.
bool NiceOfClass(DWORD dwClass, int* pnNice) {
  switch (dwClass) {
    case kIdlePriorityClass: *pnNice = 10; return true;
    case kBelowNormalPriorityClass: *pnNice = 5; return true;
    case NORMAL_PRIORITY_CLASS: *pnNice = 0; return true;
    case kAboveNormalPriorityClass: *pnNice = -5; return true;
    case HIGH_PRIORITY_CLASS: *pnNice = -10; return true;
    case REALTIME_PRIORITY_CLASS: *pnNice = kNiceLowest; return true;
    default: return false;
  }
}

// The nice value of a thread priority within a class.
int ThreadNice(int nClassNice, int nThreadPriority) {
  if (nThreadPriority == THREAD_PRIORITY_TIME_CRITICAL) return kNiceLowest;
  if (nThreadPriority == kThreadPriorityIdle) return kNiceHighest;
  return std::clamp(nClassNice - 2 * nThreadPriority, kNiceLowest, kNiceHighest);
}

// The round-robin priority of a thread priority within the real-time class.
int RealtimePriority(int nThreadPriority) {
  int nMin = sched_get_priority_min(SCHED_RR);
  int nMax = sched_get_priority_max(SCHED_RR);
  int nBase = nMin + (nMax - nMin) / 2;
  if (nThreadPriority == THREAD_PRIORITY_TIME_CRITICAL) return nMax - (nMax - nMin) / 10;
  if (nThreadPriority == kThreadPriorityIdle) return nMin;
  return nBase + 2 * nThreadPriority;
}

// Real-time scheduling for the calling thread (threads it starts later inherit it): as
// asked when permitted, else as high as RLIMIT_RTPRIO allows; false when none is allowed.
bool ApplyRealtime(int nPriority) {
  sched_param sp{};
  sp.sched_priority = nPriority;
  if (pthread_setschedparam(pthread_self(), SCHED_RR, &sp) == 0) return true;
  rlimit rl{};
  if (getrlimit(RLIMIT_RTPRIO, &rl) != 0 || rl.rlim_cur == 0) return false;
  if (rl.rlim_cur != RLIM_INFINITY && rl.rlim_cur < static_cast<rlim_t>(nPriority)) {
    sp.sched_priority = static_cast<int>(rl.rlim_cur);
  }
  return pthread_setschedparam(pthread_self(), SCHED_RR, &sp) == 0;
}

void LeaveRealtime() {
  int nPolicy = SCHED_OTHER;
  sched_param sp{};
  if (pthread_getschedparam(pthread_self(), &nPolicy, &sp) == 0 && nPolicy != SCHED_OTHER) {
    sp.sched_priority = 0;
    pthread_setschedparam(pthread_self(), SCHED_OTHER, &sp);
  }
}

// The calling thread's nice value, or nFailed when it cannot be read.
int CurrentNice(int nFailed) {
  errno = 0;
  const int nNice = getpriority(PRIO_PROCESS, 0);
  return nNice == -1 && errno != 0 ? nFailed : nNice;
}

// Moves the calling thread's nice value towards nTarget: all the way when permitted, else
// as far as RLIMIT_NICE allows, never away from it. Unprivileged callers are quietly given
// what they may have, as Windows does.
void ApplyNice(int nTarget) {
  const int nCurrent = CurrentNice(0);
  if (setpriority(PRIO_PROCESS, 0, nTarget) == 0) return;
  if (nTarget >= nCurrent) return;
  rlimit rl{};
  int nFloor = kNiceHighest;
  if (getrlimit(RLIMIT_NICE, &rl) == 0) {
    nFloor = rl.rlim_cur == RLIM_INFINITY
                 ? kNiceLowest
                 : std::clamp(20 - static_cast<int>(std::min<rlim_t>(rl.rlim_cur, 40)),
                              kNiceLowest, kNiceHighest);
  }
  int nAllowed = std::max(nTarget, nFloor);
  if (nAllowed < nCurrent) setpriority(PRIO_PROCESS, 0, nAllowed);
}

}  // namespace

// ---- Process and thread ----

HANDLE GetCurrentProcess() { return kCurrentProcess; }
HANDLE GetCurrentThread() { return kCurrentThread; }

DWORD GetLastError() { return t_dwLastError; }
void SetLastError(DWORD dwError) { t_dwLastError = dwError; }

DWORD GetPriorityClass(HANDLE hProcess) {
  if (hProcess != kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return 0;
  }
  return g_dwPriorityClass.load();
}

BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass) {
  int nClassNice = 0;
  if (hProcess != kCurrentProcess) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (!NiceOfClass(dwPriorityClass, &nClassNice)) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (dwPriorityClass == REALTIME_PRIORITY_CLASS &&
      ApplyRealtime(RealtimePriority(t_nThreadPriority))) {
    g_bRealtimeScheduling.store(true);
    g_dwPriorityClass.store(REALTIME_PRIORITY_CLASS);
    return TRUE;
  }
  LeaveRealtime();
  g_bRealtimeScheduling.store(false);
  ApplyNice(ThreadNice(nClassNice, t_nThreadPriority));
  // Without real-time scheduling the caller gets what Windows gives an unprivileged one.
  g_dwPriorityClass.store(dwPriorityClass == REALTIME_PRIORITY_CLASS ? HIGH_PRIORITY_CLASS
                                                                     : dwPriorityClass);
  return TRUE;
}

int GetThreadPriority(HANDLE hThread) {
  if (hThread != kCurrentThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return THREAD_PRIORITY_ERROR_RETURN;
  }
  return t_nThreadPriority;
}

BOOL SetThreadPriority(HANDLE hThread, int nPriority) {
  if (hThread != kCurrentThread) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  const bool bThreadPriority = nPriority == kThreadPriorityIdle || nPriority == THREAD_PRIORITY_TIME_CRITICAL ||
                               (nPriority >= -THREAD_PRIORITY_HIGHEST && nPriority <= THREAD_PRIORITY_HIGHEST);
  if (!bThreadPriority) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  if (!g_bRealtimeScheduling.load() || !ApplyRealtime(RealtimePriority(nPriority))) {
    int nClassNice = 0;
    NiceOfClass(g_dwPriorityClass.load(), &nClassNice);
    ApplyNice(ThreadNice(nClassNice, nPriority));
  }
  t_nThreadPriority = nPriority;
  return TRUE;
}

// The nice value the process started with, before start-up changed any: a thread's normal.
static const int g_nStartNice = CurrentNice(0);

void OsRunAtNormalPriority() {
  LeaveRealtime();
#if defined(__linux__)
  // On Linux the nice value belongs to the thread (PRIO_PROCESS 0 is the calling thread)
  // and is inherited from its creator; moving it up to the start value needs no privilege.
  if (CurrentNice(g_nStartNice) < g_nStartNice) setpriority(PRIO_PROCESS, 0, g_nStartNice);
#endif
  t_nThreadPriority = THREAD_PRIORITY_NORMAL;
}

// ---- Timer ----

constexpr UINT kTimerPeriodMax = 1000000;

static UINT TimerPeriodMin() {
  timespec res{};
  if (clock_getres(CLOCK_MONOTONIC, &res) != 0) return 1;
  uint64_t u64Ns = static_cast<uint64_t>(res.tv_sec) * 1000000000u + static_cast<uint64_t>(res.tv_nsec);
  uint64_t u64Ms = (u64Ns + 999999u) / 1000000u;
  return static_cast<UINT>(std::clamp<uint64_t>(u64Ms, 1, kTimerPeriodMax));
}

MMRESULT timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
  if (ptc == nullptr || cbtc < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
  ptc->wPeriodMin = TimerPeriodMin();
  ptc->wPeriodMax = kTimerPeriodMax;
  return TIMERR_NOERROR;
}

// The clock's timed waits already have the resolution asked for.
MMRESULT timeBeginPeriod(UINT uPeriod) {
  return uPeriod < TimerPeriodMin() || uPeriod > kTimerPeriodMax ? TIMERR_NOCANDO : TIMERR_NOERROR;
}

void Sleep(DWORD dwMilliseconds) {
  if (dwMilliseconds == 0) {
    sched_yield();
    return;
  }
  if (dwMilliseconds == INFINITE) {
    for (;;) pause();
  }
  timespec t{};
  t.tv_sec = static_cast<time_t>(dwMilliseconds / 1000);
  t.tv_nsec = static_cast<long>(dwMilliseconds % 1000) * 1000000L;
  while (nanosleep(&t, &t) == -1 && errno == EINTR) {
  }
}
