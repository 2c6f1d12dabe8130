// Records every OsSleep instead of sleeping; thread-safe. A test may also act at each pause
// (onSleep runs on the sleeping thread, after the pause is recorded).
#pragma once

#include <functional>
#include <vector>

#include "platform/os/os.h"

namespace vxtest {

class SleepRecorder {
 public:
  // Clears the record and installs the hook.
  static void Install(std::function<void(DWORD dwMilliseconds)> onSleep = {});
  static void Uninstall();
  static std::vector<DWORD> Sleeps();  // the durations since Install or the last Clear
  static void Clear();
};

}  // namespace vxtest
