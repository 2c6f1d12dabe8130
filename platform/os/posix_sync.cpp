// Semaphores and critical sections on POSIX, with the results that Windows gives them.
#include <chrono>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "platform/os/os.h"

// ---- Semaphores ----

namespace {

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

}  // namespace

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

static_assert(sizeof(std::recursive_mutex) <= sizeof(CRITICAL_SECTION::opaque),
              "a recursive mutex must fit a CRITICAL_SECTION");
static_assert(alignof(std::recursive_mutex) <= alignof(CRITICAL_SECTION),
              "a CRITICAL_SECTION must be aligned for a recursive mutex");

static std::recursive_mutex* SectionLock(LPCRITICAL_SECTION pcs) {
  return std::launder(reinterpret_cast<std::recursive_mutex*>(pcs->opaque));
}

void InitializeCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection != nullptr) new (lpCriticalSection->opaque) std::recursive_mutex;
}

void EnterCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection != nullptr) SectionLock(lpCriticalSection)->lock();
}

void LeaveCriticalSection(LPCRITICAL_SECTION lpCriticalSection) {
  if (lpCriticalSection != nullptr) SectionLock(lpCriticalSection)->unlock();
}
