// The Windows services that the program calls, on a POSIX system, with the results that
// Windows gives them.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <strings.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/os/os.h"

namespace {

// ---- Last error ----

thread_local DWORD t_dwLastError = 0;

// ---- Priority ----

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

bool IsThreadPriority(int nPriority) {
  return nPriority == kThreadPriorityIdle || nPriority == THREAD_PRIORITY_TIME_CRITICAL ||
         (nPriority >= -THREAD_PRIORITY_HIGHEST && nPriority <= THREAD_PRIORITY_HIGHEST);
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

// Moves the calling thread's nice value towards nTarget: all the way when permitted, else
// as far as RLIMIT_NICE allows, never away from it. Unprivileged callers are quietly given
// what they may have, as Windows does.
void ApplyNice(int nTarget) {
  errno = 0;
  int nCurrent = getpriority(PRIO_PROCESS, 0);
  if (nCurrent == -1 && errno != 0) nCurrent = 0;
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

// ---- Timer ----

constexpr UINT kTimerPeriodMax = 1000000;
std::atomic<UINT> g_uTimerPeriod{0};

UINT TimerPeriodMin() {
  timespec res{};
  if (clock_getres(CLOCK_MONOTONIC, &res) != 0) return 1;
  uint64_t u64Ns = static_cast<uint64_t>(res.tv_sec) * 1000000000u + static_cast<uint64_t>(res.tv_nsec);
  uint64_t u64Ms = (u64Ns + 999999u) / 1000000u;
  return static_cast<UINT>(std::clamp<uint64_t>(u64Ms, 1, kTimerPeriodMax));
}

// ---- Semaphores ----

struct Semaphore {
  std::mutex mtx;
  std::condition_variable cv;
  LONG lCount = 0;
  LONG lMaximum = 1;
};

// Every semaphore ever created, by handle, and the named ones by name. Handles are never
// closed, so a handle once valid stays valid for the process's life.
struct SemaphoreTable {
  std::mutex mtx;
  std::map<HANDLE, std::unique_ptr<Semaphore>> byHandle;
  std::map<std::wstring, Semaphore*> byName;
};

SemaphoreTable& Semaphores() {
  static SemaphoreTable* pTable = new SemaphoreTable;  // never destroyed
  return *pTable;
}

Semaphore* FindSemaphore(HANDLE hHandle) {
  if (hHandle == nullptr) return nullptr;
  SemaphoreTable& t = Semaphores();
  std::lock_guard<std::mutex> lk(t.mtx);
  auto it = t.byHandle.find(hHandle);
  return it == t.byHandle.end() ? nullptr : it->second.get();
}

// ---- Critical sections ----

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque),
              "a recursive mutex must fit a CRITICAL_SECTION");
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION),
              "a CRITICAL_SECTION must be aligned for a recursive mutex");

std::recursive_mutex* SectionLock(LPCRITICAL_SECTION pcs) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(pcs->opaque));
}

// ---- Console ----

struct Console {
  std::mutex mtx;
  bool bReady = false;
  bool bTerminal = false;
  bool bEndOfInput = false;
  std::deque<int> keys;  // key codes read by the key test and not yet taken
};

Console& TheConsole() {
  static Console* pConsole = new Console;  // never destroyed: used until the process ends
  return *pConsole;
}

// The terminal settings found at start, restored however the process ends. Written once
// before the handlers are installed, then only read (also from signal handlers).
termios g_tSavedTerminal{};
volatile sig_atomic_t g_bRestoreTerminal = 0;

void RestoreTerminal() {
  if (g_bRestoreTerminal) tcsetattr(STDIN_FILENO, TCSANOW, &g_tSavedTerminal);
}

// Restores the terminal, then ends the process by the signal's default action (the handler
// was installed with SA_RESETHAND; the raised signal is delivered once this returns).
void OnEndingSignal(int nSignal) {
  int nSavedErrno = errno;
  RestoreTerminal();
  raise(nSignal);
  errno = nSavedErrno;
}

void InstallEndingHandler(int nSignal) {
  struct sigaction old {};
  if (sigaction(nSignal, nullptr, &old) != 0) return;
  // An ignored signal does not end the process; a handler of someone else's is kept.
  if (old.sa_handler != SIG_DFL || (old.sa_flags & SA_SIGINFO) != 0) return;
  struct sigaction sa {};
  sa.sa_handler = OnEndingSignal;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = SA_RESETHAND;
  sigaction(nSignal, &sa, nullptr);
}

// The signals whose default action ends the process (SIGKILL cannot be caught).
constexpr int kEndingSignals[] = {SIGINT,  SIGTERM, SIGHUP,  SIGQUIT, SIGPIPE,   SIGALRM, SIGUSR1, SIGUSR2,
                                  SIGABRT, SIGSEGV, SIGBUS,  SIGFPE,  SIGILL,    SIGXCPU, SIGXFSZ, SIGVTALRM,
                                  SIGPROF, SIGSYS,  SIGTRAP};

#ifdef _POSIX_VDISABLE
constexpr cc_t kDisabledChar = _POSIX_VDISABLE;
#else
constexpr cc_t kDisabledChar = 0;
#endif

void ConsoleInitLocked(Console& c) {
  if (c.bReady) return;
  c.bReady = true;
  if (!isatty(STDIN_FILENO) || tcgetattr(STDIN_FILENO, &g_tSavedTerminal) != 0) return;
  c.bTerminal = true;
  g_bRestoreTerminal = 1;
  std::atexit(RestoreTerminal);
  for (int nSignal : kEndingSignals) InstallEndingHandler(nSignal);
  // Keys without a line end and unechoed. As on Windows, Ctrl-C alone ends the program:
  // the other keys the terminal would act on (quit, suspend, flow control, literal next,
  // discard) are keys like any other.
  termios tKeys = g_tSavedTerminal;
  tKeys.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ECHONL | IEXTEN);
  tKeys.c_lflag |= ISIG;
  tKeys.c_iflag &= ~static_cast<tcflag_t>(IXON);
  tKeys.c_cc[VINTR] = 0x03;
  tKeys.c_cc[VQUIT] = kDisabledChar;
  tKeys.c_cc[VSUSP] = kDisabledChar;
#ifdef VDSUSP
  tKeys.c_cc[VDSUSP] = kDisabledChar;
#endif
#ifdef VSTATUS
  tKeys.c_cc[VSTATUS] = kDisabledChar;
#endif
  tKeys.c_cc[VMIN] = 1;
  tKeys.c_cc[VTIME] = 0;
  tcsetattr(STDIN_FILENO, TCSANOW, &tKeys);
}

// ---- Keys ----

constexpr int kEscape = 0x1B;
constexpr int kExtendedKeyPrefix = 0xE0;  // what Windows' console gives before an extended key
// How long the rest of a key's escape sequence may lag behind its first byte; the wait is
// made only after an escape byte.
constexpr int kSequenceFollowMs = 30;
constexpr int kMaxSequenceBytes = 16;

// One byte of input when one is there within nWaitMs (0: only when already there); -1 when
// none is, and at the end of the input.
int ReadByteWithin(Console& c, int nWaitMs) {
  if (c.bEndOfInput) return -1;
  pollfd pfd{};
  pfd.fd = STDIN_FILENO;
  pfd.events = POLLIN;
  int nReady = 0;
  do {
    nReady = poll(&pfd, 1, nWaitMs);
  } while (nReady < 0 && errno == EINTR);
  if (nReady <= 0) return -1;
  if ((pfd.revents & POLLNVAL) != 0) {
    c.bEndOfInput = true;
    return -1;
  }
  if ((pfd.revents & (POLLIN | POLLHUP | POLLERR)) == 0) return -1;
  // Something is there, or the input has ended: one byte tells which, without blocking.
  unsigned char byKey = 0;
  ssize_t n = read(STDIN_FILENO, &byKey, 1);
  if (n == 1) return byKey;
  if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) c.bEndOfInput = true;
  return -1;
}

// Queues the codes of the escape sequence whose ESC has been read and returns -1, or returns
// the byte that followed a lone ESC (the start of the next key). A key that sends an escape
// sequence (arrows, function keys: ESC [ ... final byte, or ESC O byte) gives two codes, as
// such a key does on Windows: the extended-key prefix and the sequence's last byte.
int QueueEscapeKey(Console& c) {
  const int nIntroducer = ReadByteWithin(c, kSequenceFollowMs);
  if (nIntroducer != '[' && nIntroducer != 'O') {
    c.keys.push_back(kEscape);  // the Esc key itself
    return nIntroducer;
  }
  int nLast = nIntroducer;
  for (int i = 0; i < kMaxSequenceBytes; ++i) {
    const int nByte = ReadByteWithin(c, kSequenceFollowMs);
    if (nByte < 0) break;
    nLast = nByte;
    // SS3 (ESC O) takes one byte; a control sequence ends at a byte from 0x40 to 0x7E.
    if (nIntroducer == 'O' || (nByte >= 0x40 && nByte <= 0x7E)) break;
  }
  c.keys.push_back(kExtendedKeyPrefix);
  c.keys.push_back(nLast);
  return -1;
}

// How many bytes the UTF-8 character that starts with this byte takes (1: no such start).
int Utf8Length(int nFirst) {
  if (nFirst >= 0xC2 && nFirst <= 0xDF) return 2;
  if (nFirst >= 0xE0 && nFirst <= 0xEF) return 3;
  if (nFirst >= 0xF0 && nFirst <= 0xF4) return 4;
  return 1;
}

// Queues one code, the first byte, for the character whose first byte has been read, and
// returns -1, or returns a byte that does not continue the character (the start of the next
// key). A UTF-8 character of several bytes (a-umlaut, the euro sign) is one key, as on
// Windows, where the console gives one code per character. Terminals send UTF-8 whatever
// the program's locale: the C locale of a service or an SSH session included.
int QueueCharacterKey(Console& c, int nFirst) {
  c.keys.push_back(nFirst);
  for (int i = 1; i < Utf8Length(nFirst); ++i) {
    const int nByte = ReadByteWithin(c, kSequenceFollowMs);
    if (nByte < 0) break;
    if (nByte < 0x80 || nByte > 0xBF) return nByte;
  }
  return -1;
}

// Queues the key codes of the key whose first byte has been read, and of any key whose first
// byte was read while telling where that key ends. Elsewhere than on a terminal every byte is
// a key.
void QueueKey(Console& c, int nFirst) {
  if (!c.bTerminal) {
    c.keys.push_back(nFirst);
    return;
  }
  for (int nByte = nFirst; nByte >= 0;)
    nByte = nByte == kEscape ? QueueEscapeKey(c) : QueueCharacterKey(c, nByte);
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
  if (!IsThreadPriority(nPriority)) {
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

// ---- Multimedia timer ----

MMRESULT timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc) {
  if (ptc == nullptr || cbtc < sizeof(TIMECAPS)) return TIMERR_NOCANDO;
  ptc->wPeriodMin = TimerPeriodMin();
  ptc->wPeriodMax = kTimerPeriodMax;
  return TIMERR_NOERROR;
}

// The clock's timed waits already have the resolution asked for; the period is recorded.
MMRESULT timeBeginPeriod(UINT uPeriod) {
  if (uPeriod < TimerPeriodMin() || uPeriod > kTimerPeriodMax) return TIMERR_NOCANDO;
  g_uTimerPeriod.store(uPeriod);
  return TIMERR_NOERROR;
}

// ---- Semaphores ----

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES, LONG lInitialCount, LONG lMaximumCount,
                        LPCWSTR lpName) {
  if (lMaximumCount <= 0 || lInitialCount < 0 || lInitialCount > lMaximumCount) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return nullptr;
  }
  SemaphoreTable& t = Semaphores();
  std::lock_guard<std::mutex> lk(t.mtx);
  if (lpName != nullptr && *lpName != L'\0') {
    auto it = t.byName.find(lpName);
    if (it != t.byName.end()) {
      // As on Windows: the existing object, its counts unchanged.
      SetLastError(ERROR_ALREADY_EXISTS);
      return it->second;
    }
  }
  auto pSemaphore = std::make_unique<Semaphore>();
  pSemaphore->lCount = lInitialCount;
  pSemaphore->lMaximum = lMaximumCount;
  Semaphore* p = pSemaphore.get();
  t.byHandle.emplace(p, std::move(pSemaphore));
  if (lpName != nullptr && *lpName != L'\0') t.byName.emplace(lpName, p);
  SetLastError(0);
  return p;
}

DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds) {
  Semaphore* p = FindSemaphore(hHandle);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return WAIT_FAILED;
  }
  std::unique_lock<std::mutex> lk(p->mtx);
  auto available = [p] { return p->lCount > 0; };
  if (dwMilliseconds == INFINITE) {
    p->cv.wait(lk, available);
  } else if (!p->cv.wait_until(lk,
                               std::chrono::steady_clock::now() +
                                   std::chrono::milliseconds(dwMilliseconds),
                               available)) {
    return WAIT_TIMEOUT;
  }
  --p->lCount;
  return WAIT_OBJECT_0;
}

BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount) {
  Semaphore* p = FindSemaphore(hSemaphore);
  if (p == nullptr) {
    SetLastError(ERROR_INVALID_HANDLE);
    return FALSE;
  }
  if (lReleaseCount <= 0) {
    SetLastError(ERROR_INVALID_PARAMETER);
    return FALSE;
  }
  {
    std::lock_guard<std::mutex> lk(p->mtx);
    if (lReleaseCount > p->lMaximum - p->lCount) {
      SetLastError(ERROR_TOO_MANY_POSTS);
      return FALSE;
    }
    if (lpPreviousCount != nullptr) *lpPreviousCount = p->lCount;
    p->lCount += lReleaseCount;
  }
  if (lReleaseCount == 1) {
    p->cv.notify_one();
  } else {
    p->cv.notify_all();
  }
  return TRUE;
}

// ---- Critical sections ----

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection != nullptr) new (lpCriticalSection->opaque) std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection != nullptr) SectionLock(lpCriticalSection)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection != nullptr) SectionLock(lpCriticalSection)->unlock();
}

// ---- Sleep ----

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

// ---- Console ----

void ConsoleInit() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ConsoleInitLocked(c);
}

bool ConsoleKeyWaiting() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ConsoleInitLocked(c);
  if (c.keys.empty()) {
    const int nByte = ReadByteWithin(c, 0);
    if (nByte >= 0) QueueKey(c, nByte);
  }
  return !c.keys.empty();
}

int ConsoleReadKey() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ConsoleInitLocked(c);
  while (c.keys.empty() && !c.bEndOfInput) {
    const int nByte = ReadByteWithin(c, -1);
    if (nByte >= 0) QueueKey(c, nByte);
  }
  if (c.keys.empty()) return -1;
  const int nKey = c.keys.front();
  c.keys.pop_front();
  return nKey;
}

namespace {

// A file given as standard input holds every key from the start: none is typed during an
// attempt.
bool InputIsFile() {
  struct stat st {};
  return fstat(STDIN_FILENO, &st) == 0 && S_ISREG(st.st_mode);
}

// The bytes waiting on standard input now (FIONREAD), so that a writer that never stops
// cannot hold the program in a loop over them.
int WaitingInputBytes() {
  int nWaiting = 0;
  return ioctl(STDIN_FILENO, FIONREAD, &nWaiting) == 0 ? nWaiting : 0;
}

}  // namespace

// The keys typed before the attempt are taken in, so that they still start attempts of their
// own; a terminal has no selection mode that holds the program's output.
void ConsoleBeginAttempt() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ConsoleInitLocked(c);
  if (c.bEndOfInput || InputIsFile()) return;
  const int nWaiting = WaitingInputBytes();
  for (int i = 0; i < nWaiting; ++i) {  // every key takes at least one byte
    const int nByte = ReadByteWithin(c, 0);
    if (nByte < 0) break;
    QueueKey(c, nByte);
  }
}

// Drops what was typed while the attempt ran: on a terminal its input queue, on a pipe the
// bytes there now. The keys taken in before the attempt stay.
void ConsoleEndAttempt() {
  Console& c = TheConsole();
  std::lock_guard<std::mutex> lk(c.mtx);
  ConsoleInitLocked(c);
  if (c.bEndOfInput || InputIsFile()) return;
  if (c.bTerminal) {
    tcflush(STDIN_FILENO, TCIFLUSH);
    return;
  }
  unsigned char abDiscarded[4096];
  for (int nWaiting = WaitingInputBytes(); nWaiting > 0;) {
    const ssize_t n = read(STDIN_FILENO, abDiscarded, std::min(sizeof abDiscarded, static_cast<size_t>(nWaiting)));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    nWaiting -= static_cast<int>(n);
  }
}

// ---- Standard streams ----

void OsInitStandardStreams() {
  for (int fd = STDIN_FILENO; fd <= STDERR_FILENO; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lower descriptors are open by now, so the null device takes this one.
    const int fdNull = open("/dev/null", O_RDWR);
    if (fdNull >= 0 && fdNull != fd) {
      dup2(fdNull, fd);
      close(fdNull);
    }
  }
  signal(SIGPIPE, SIG_IGN);
}

// ---- Text ----

// A byte that the locale cannot decode becomes a character of its own, U+DC80 + byte (a lone
// low surrogate, which no valid multibyte sequence decodes to), and turns back into the same
// byte: text read from a file keeps every byte, whatever the locale, as Windows' ANSI code
// page does.
namespace {

constexpr wchar_t kRawByteBase = 0xDC80;

bool IsRawByte(wchar_t wc) { return wc >= kRawByteBase && wc <= kRawByteBase + 0x7F; }

}  // namespace

std::wstring AnsiToWide(const char* pszAnsi) {
  std::wstring wsText;
  if (pszAnsi == nullptr) return wsText;
  std::mbstate_t state{};
  const char* p = pszAnsi;
  size_t nLeft = std::strlen(pszAnsi);
  while (nLeft > 0) {
    wchar_t wc = 0;
    size_t n = std::mbrtowc(&wc, p, nLeft, &state);
    if (n == static_cast<size_t>(-1) || n == static_cast<size_t>(-2) || n == 0) {
      const auto byRaw = static_cast<unsigned char>(*p);
      // Only bytes from 0x80 up can fail to decode in the encodings a locale may use.
      wsText.push_back(byRaw >= 0x80 ? static_cast<wchar_t>(kRawByteBase + (byRaw - 0x80)) : static_cast<wchar_t>(byRaw));
      state = std::mbstate_t{};
      n = 1;
    } else {
      wsText.push_back(wc);
    }
    p += n;
    nLeft -= n;
  }
  return wsText;
}

std::string WideToAnsi(const wchar_t* pwszWide) {
  std::string sText;
  if (pwszWide == nullptr) return sText;
  std::mbstate_t state{};
  char acBytes[MB_LEN_MAX];
  for (const wchar_t* p = pwszWide; *p != L'\0'; ++p) {
    if (IsRawByte(*p)) {
      sText.push_back(static_cast<char>(0x80 + (*p - kRawByteBase)));
      continue;
    }
    size_t n = std::wcrtomb(acBytes, *p, &state);
    if (n == static_cast<size_t>(-1)) break;
    sText.append(acBytes, n);
  }
  return sText;
}

// ---- Paths ----

namespace {

// Trims a path's components as Windows' path normalization does before it opens a file: a
// component that ends in a single period loses it, and the last component, unless the path
// ends in a separator, loses all its trailing periods and blanks ("main.bin. " opens
// main.bin). "." and ".." are left as they are: they name the folder and its parent.
std::string TrimmedAsWindows(const std::string& sPath) {
  std::string sTrimmed;
  size_t nStart = 0;
  for (;;) {
    const size_t nEnd = sPath.find('/', nStart);
    std::string sComponent = sPath.substr(nStart, nEnd == std::string::npos ? std::string::npos : nEnd - nStart);
    if (sComponent != "." && sComponent != "..") {
      if (nEnd == std::string::npos) {
        while (!sComponent.empty() && (sComponent.back() == '.' || sComponent.back() == ' ')) sComponent.pop_back();
      } else if (sComponent.size() >= 2 && sComponent.back() == '.' && sComponent[sComponent.size() - 2] != '.') {
        sComponent.pop_back();
      }
    }
    sTrimmed += sComponent;
    if (nEnd == std::string::npos) return sTrimmed;
    sTrimmed += '/';
    nStart = nEnd + 1;
  }
}

}  // namespace

std::string OsMapPath(const char* pszWindowsPath) {
  if (pszWindowsPath == nullptr) return std::string();
  std::string sPath(pszWindowsPath);
  std::replace(sPath.begin(), sPath.end(), '\\', '/');
  sPath = TrimmedAsWindows(sPath);
  static constexpr char kProgramData[] = "c:/programdata";
  constexpr size_t nPrefix = sizeof(kProgramData) - 1;
  if (sPath.size() >= nPrefix && strncasecmp(sPath.c_str(), kProgramData, nPrefix) == 0 &&
      (sPath.size() == nPrefix || sPath[nPrefix] == '/')) {
    const char* pszEnv = std::getenv("PROGRAMDATA");
    std::string sBase = (pszEnv != nullptr && *pszEnv != '\0') ? pszEnv : "/var/lib";
    while (!sBase.empty() && sBase.back() == '/') sBase.pop_back();
    std::string sMapped = sBase + sPath.substr(nPrefix);
    return sMapped.empty() ? std::string("/") : sMapped;
  }
  return sPath;
}
