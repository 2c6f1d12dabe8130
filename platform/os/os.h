// Operating-system services, called by the names and with the results that Windows gives
// them. On Windows these are the real API; elsewhere platform/os/posix_*.cpp supply the same
// calls with the same contract.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

#if defined(_WIN32)
#include <windows.h>
#include <mmsystem.h>
#else

using DWORD = uint32_t;
using UINT = unsigned int;
using LONG = int32_t;
using BOOL = int;
using MMRESULT = UINT;
using HANDLE = void*;
using LPLONG = LONG*;
using LPCWSTR = const wchar_t*;

struct SECURITY_ATTRIBUTES;
using LPSECURITY_ATTRIBUTES = SECURITY_ATTRIBUTES*;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

constexpr DWORD INFINITE = 0xFFFFFFFFu;
constexpr DWORD WAIT_OBJECT_0 = 0x00000000u;
constexpr DWORD WAIT_TIMEOUT = 0x00000102u;
constexpr DWORD WAIT_FAILED = 0xFFFFFFFFu;

constexpr DWORD REALTIME_PRIORITY_CLASS = 0x00000100u;
constexpr DWORD HIGH_PRIORITY_CLASS = 0x00000080u;
constexpr DWORD NORMAL_PRIORITY_CLASS = 0x00000020u;
constexpr int THREAD_PRIORITY_NORMAL = 0;
constexpr int THREAD_PRIORITY_HIGHEST = 2;
constexpr int THREAD_PRIORITY_TIME_CRITICAL = 15;
constexpr int THREAD_PRIORITY_ERROR_RETURN = 0x7FFFFFFF;

constexpr MMRESULT TIMERR_NOERROR = 0;
constexpr MMRESULT TIMERR_NOCANDO = 97;

constexpr DWORD ERROR_INVALID_HANDLE = 6;
constexpr DWORD ERROR_INVALID_PARAMETER = 87;
constexpr DWORD ERROR_ALREADY_EXISTS = 183;
constexpr DWORD ERROR_TOO_MANY_POSTS = 298;

struct TIMECAPS {
  UINT wPeriodMin;
  UINT wPeriodMax;
};
using LPTIMECAPS = TIMECAPS*;

// A critical section: a recursive lock owned by one thread at a time.
struct CRITICAL_SECTION {
  alignas(8) unsigned char opaque[64];
};
using LPCRITICAL_SECTION = CRITICAL_SECTION*;

HANDLE GetCurrentProcess();
HANDLE GetCurrentThread();
DWORD GetPriorityClass(HANDLE hProcess);
BOOL SetPriorityClass(HANDLE hProcess, DWORD dwPriorityClass);
int GetThreadPriority(HANDLE hThread);
BOOL SetThreadPriority(HANDLE hThread, int nPriority);
DWORD GetLastError();
void SetLastError(DWORD dwError);

MMRESULT timeGetDevCaps(LPTIMECAPS ptc, UINT cbtc);
MMRESULT timeBeginPeriod(UINT uPeriod);

HANDLE CreateSemaphoreW(LPSECURITY_ATTRIBUTES lpAttributes, LONG lInitialCount, LONG lMaximumCount,
                        LPCWSTR lpName);
DWORD WaitForSingleObject(HANDLE hHandle, DWORD dwMilliseconds);
BOOL ReleaseSemaphore(HANDLE hSemaphore, LONG lReleaseCount, LPLONG lpPreviousCount);

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection);
void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection);

void Sleep(DWORD dwMilliseconds);

#endif  // !_WIN32

// ---- Services of our own, the same on every platform ----

// Sleep goes through this hook so that tests can count and order the pauses of the
// program without waiting them out. nullptr restores the real sleep.
using PFN_OS_SLEEP = void (*)(DWORD dwMilliseconds);
void OsSetSleepHook(PFN_OS_SLEEP pfnSleep);
void OsSleep(DWORD dwMilliseconds);

// The calling thread runs at normal priority, whatever start-up gave the thread that created
// it (threads inherit their creator's scheduling). Every thread of the program but the main
// one calls it first. POSIX: the time-sharing policy at the nice value the process started
// with. Windows: THREAD_PRIORITY_NORMAL, or in the real-time class, where no thread
// priority leaves the real-time range, its lowest, THREAD_PRIORITY_IDLE (base priority 16).
void OsRunAtNormalPriority();

// Console keyboard. ConsoleKeyWaiting never blocks; ConsoleReadKey returns one key code,
// unechoed, removing it from the input (-1 when none can be read). When standard input is
// not a console every byte is one key, and at end of input no key is ever waiting.
// On a Windows console ConsoleInit also sets the output code page to the ANSI code page, so
// that text in the ANSI code page (an image name as the manifest holds it) prints as it is.
void ConsoleInit();
bool ConsoleKeyWaiting();
int ConsoleReadKey();
// Around an update attempt. ConsoleBeginAttempt takes in the key codes waiting (both codes of
// a key of two among them), which start attempts of their own as before; ConsoleEndAttempt
// drops every key typed while the attempt ran, so that a second press does not start another
// attempt on a locator the operator may be unplugging after "Download Complete". (A file as
// standard input holds every key from the start: all of them stay.) On a Windows console
// QuickEdit is off from ConsoleBeginAttempt to ConsoleEndAttempt: a selection made with the
// mouse would hold the program's next output, and with it the main thread, in the middle of a
// download. The operator's input mode comes back at ConsoleEndAttempt; it and the operator's
// output code page also come back when the program ends, however it ends.
void ConsoleBeginAttempt();
void ConsoleEndAttempt();

// Text in the current ANSI code page (on POSIX, the locale's multibyte encoding) and wide
// text. Every byte survives the round trip to wide text and back: on POSIX a byte that the
// locale cannot decode is kept as a character of its own (U+DC80 + byte - 0x80) that turns
// back into that byte. Wide text stops at the first character the code page lacks.
std::wstring AnsiToWide(const char* pszAnsi);
std::string WideToAnsi(const wchar_t* pwszWide);

// Maps a Windows path to this machine's file system. On Windows it is unchanged; on POSIX
// "C:\ProgramData\..." becomes "$PROGRAMDATA/..." when PROGRAMDATA is set, else
// "/var/lib/...", backslashes become slashes, and components are trimmed as Windows trims
// them when it opens a file: a single trailing period of any component, and all trailing
// periods and blanks of the last one.
std::string OsMapPath(const char* pszWindowsPath);

// fopen for reading of a Windows path (mapped as above). Only a regular file opens: a folder,
// a FIFO or a device is refused at once, as a file that cannot be opened (nullptr).
FILE* OsOpenFile(const char* pszWindowsPath, const char* pszMode);

// Standard output reaches a pipe or file at once: the program never ends by itself.
void OsUnbufferedStdout();

// Called first of all. On POSIX, descriptors 0, 1 and 2 are made open (on /dev/null where
// they were closed), so that no file or link the program opens later takes one of them, and
// a write to a pipe whose reader has gone fails instead of ending the process (SIGPIPE is
// ignored), as a failed console write does on Windows. Nothing to do on Windows.
void OsInitStandardStreams();
