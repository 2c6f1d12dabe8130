// The library's portable events (manual reset) and mutexes. The program creates a few and
// never releases them; the layer keeps every one in a list of its own so that they stay
// reachable for the process's life.
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/wdu/wdu.h"

namespace {

struct OsEvent {
  std::mutex mtx;
  std::condition_variable cv;
  bool bSignalled = false;
};

struct OsMutex {
  std::mutex mtx;
};

struct SyncObjects {
  std::mutex mtx;
  std::vector<std::unique_ptr<OsEvent>> events;
  std::vector<std::unique_ptr<OsMutex>> mutexes;
};

SyncObjects& Objects() {
  static SyncObjects* pObjects = new SyncObjects;  // never destroyed: handles live for ever
  return *pObjects;
}

}  // namespace

DWORD OsEventCreate(OS_EVENT_HANDLE* phEvent) {
  if (phEvent == nullptr) return WD_INVALID_PARAMETER;
  auto pEvent = std::make_unique<OsEvent>();
  *phEvent = pEvent.get();
  SyncObjects& o = Objects();
  std::lock_guard<std::mutex> lk(o.mtx);
  o.events.push_back(std::move(pEvent));
  return WD_STATUS_SUCCESS;
}

void OsEventSignal(OS_EVENT_HANDLE hEvent) {
  if (hEvent == nullptr) return;
  auto* pEvent = static_cast<OsEvent*>(hEvent);
  std::lock_guard<std::mutex> lk(pEvent->mtx);
  pEvent->bSignalled = true;
  pEvent->cv.notify_all();
}

void OsEventReset(OS_EVENT_HANDLE hEvent) {
  if (hEvent == nullptr) return;
  auto* pEvent = static_cast<OsEvent*>(hEvent);
  std::lock_guard<std::mutex> lk(pEvent->mtx);
  pEvent->bSignalled = false;
}

DWORD OsEventWait(OS_EVENT_HANDLE hEvent, DWORD dwTimeout) {
  if (hEvent == nullptr) return WD_INVALID_HANDLE;
  auto* pEvent = static_cast<OsEvent*>(hEvent);
  std::unique_lock<std::mutex> lk(pEvent->mtx);
  auto signalled = [&] { return pEvent->bSignalled; };
  if (dwTimeout == WD_WAIT_INFINITE) {
    pEvent->cv.wait(lk, signalled);
    return WD_STATUS_SUCCESS;
  }
  return pEvent->cv.wait_for(lk, std::chrono::milliseconds(dwTimeout), signalled) ? WD_STATUS_SUCCESS
                                                                                   : WD_TIME_OUT_EXPIRED;
}

DWORD OsMutexCreate(OS_MUTEX_HANDLE* phMutex) {
  if (phMutex == nullptr) return WD_INVALID_PARAMETER;
  auto pMutex = std::make_unique<OsMutex>();
  *phMutex = pMutex.get();
  SyncObjects& o = Objects();
  std::lock_guard<std::mutex> lk(o.mtx);
  o.mutexes.push_back(std::move(pMutex));
  return WD_STATUS_SUCCESS;
}

void OsMutexLock(OS_MUTEX_HANDLE hMutex) {
  if (hMutex != nullptr) static_cast<OsMutex*>(hMutex)->mtx.lock();
}

void OsMutexUnlock(OS_MUTEX_HANDLE hMutex) {
  if (hMutex != nullptr) static_cast<OsMutex*>(hMutex)->mtx.unlock();
}
