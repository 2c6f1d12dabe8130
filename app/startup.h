// Program start-up: the command-line check, process and thread priority, the timer period,
// the one channel object, the banner, the opening of the channel and the hand-over to the
// update loop. Every platform call goes through a table so that tests can make any of
// them fail; the table's members default to the real calls.
#pragma once

#include <cstdarg>
#include <cstdint>

#include "platform/os/os.h"

class CUsbMessage;

// The real exit of start-up's failures: ends the process with the status given.
[[noreturn]] void StartupExit(int nStatus);
// The real output of start-up: printf-style to standard output.
int StartupPrint(const char* pszFormat, va_list args);

struct StartupCalls {
  decltype(&::GetCurrentProcess) pfnGetCurrentProcess = &::GetCurrentProcess;
  decltype(&::GetCurrentThread) pfnGetCurrentThread = &::GetCurrentThread;
  decltype(&::GetPriorityClass) pfnGetPriorityClass = &::GetPriorityClass;
  decltype(&::GetThreadPriority) pfnGetThreadPriority = &::GetThreadPriority;
  decltype(&::SetPriorityClass) pfnSetPriorityClass = &::SetPriorityClass;
  decltype(&::SetThreadPriority) pfnSetThreadPriority = &::SetThreadPriority;
  decltype(&::GetLastError) pfnGetLastError = &::GetLastError;
  decltype(&::timeGetDevCaps) pfnTimeGetDevCaps = &::timeGetDevCaps;
  decltype(&::timeBeginPeriod) pfnTimeBeginPeriod = &::timeBeginPeriod;
  void (*pfnSleep)(DWORD dwMilliseconds) = &OsSleep;
  // The channel: these need the USB link, so the program's entry fills them in.
  // pfnCreateChannel constructs the one CUsbMessage, nullptr when it cannot be created;
  // ppChannel is where it is kept (&pCUsbMessage).
  CUsbMessage* (*pfnCreateChannel)() = nullptr;
  CUsbMessage** ppChannel = nullptr;
  int32_t (*pfnOpenChannel)() = nullptr;
  // Never returns in the program.
  void (*pfnRunUpdateLoop)() = nullptr;
  // Never returns in the program; when a test's does, StartUp returns at once.
  void (*pfnExit)(int nStatus) = &StartupExit;
  int (*pfnPrint)(const char* pszFormat, va_list args) = &StartupPrint;
};

// Runs start-up and then the update loop. Does not return in the program; returns the exit
// status (-1) after a failure, or 0 after the update loop, only when the table's pfnExit or
// pfnRunUpdateLoop return.
int StartUp(int argc, char** argv, const StartupCalls& calls);
