// Shared by the programs that measure the updater against vx_locator_sim processes: the
// updater's own start-up in this process, and the report on the real standard output while
// the updater's texts go to the null device.
#pragma once

#include <cstdarg>
#include <cstdio>
#include <filesystem>

#include <unistd.h>

#include "app/startup.h"
#include "bench_support.h"
#include "usb/usb_message.h"

namespace harness {

inline FILE*& ReportFile() {
  static FILE* pReport = stdout;
  return pReport;
}

inline void Report(const char* pszFormat, ...) {
  va_list args;
  va_start(args, pszFormat);
  vfprintf(ReportFile(), pszFormat, args);
  va_end(args);
  fflush(ReportFile());
}

// The firmware folder under a PROGRAMDATA folder.
inline std::filesystem::path FirmwareFolder(const std::filesystem::path& programData) {
  return programData / "Quenby Ltd" / "Valtor Firmware Updater" / "Firmware";
}

// Runs vx_fw_load's start-up (priority, timer period, the channel) with pfnMeasure in the
// update loop's place; the report keeps the real standard output, the program's own texts
// go to the null device.
inline void RunAsTheProgram(char** argv, void (*pfnMeasure)(), void (*pfnBefore)() = nullptr) {
  static QuietStdout* pQuiet = new QuietStdout;  // for the rest of the process
  ReportFile() = fdopen(dup(pQuiet->SavedFd()), "w");
  if (pfnBefore) pfnBefore();
  StartupCalls calls;
  calls.pfnCreateChannel = [] { return new CUsbMessage; };
  calls.ppChannel = &pCUsbMessage;
  calls.pfnOpenChannel = &OpenChannel;
  calls.pfnRunUpdateLoop = pfnMeasure;
  StartUp(1, argv, calls);
}

}  // namespace harness
