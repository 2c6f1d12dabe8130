#include "tests/support/sleep_recorder.h"

#include <memory>
#include <mutex>
#include <utility>

namespace vxtest {

namespace {

std::mutex g_mutex;
std::vector<DWORD> g_sleeps;
std::shared_ptr<std::function<void(DWORD)>> g_pOnSleep;  // shared: the call keeps its state

void Hook(DWORD dwMilliseconds) {
  std::shared_ptr<std::function<void(DWORD)>> pOnSleep;
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_sleeps.push_back(dwMilliseconds);
    pOnSleep = g_pOnSleep;
  }
  if (pOnSleep && *pOnSleep) (*pOnSleep)(dwMilliseconds);
}

}  // namespace

void SleepRecorder::Install(std::function<void(DWORD)> onSleep) {
  {
    std::lock_guard<std::mutex> lk(g_mutex);
    g_sleeps.clear();
    g_pOnSleep = std::make_shared<std::function<void(DWORD)>>(std::move(onSleep));
  }
  OsSetSleepHook(&Hook);
}

void SleepRecorder::Uninstall() {
  OsSetSleepHook(nullptr);
  std::lock_guard<std::mutex> lk(g_mutex);
  g_pOnSleep.reset();
}

std::vector<DWORD> SleepRecorder::Sleeps() {
  std::lock_guard<std::mutex> lk(g_mutex);
  return g_sleeps;
}

void SleepRecorder::Clear() {
  std::lock_guard<std::mutex> lk(g_mutex);
  g_sleeps.clear();
}

}  // namespace vxtest
