// The operating-system services that behave alike on every platform: on Windows these are
// the real API (run under Wine), elsewhere the posix layer, held to the same results.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/os/os.h"
#include "tests/support/sleep_recorder.h"

namespace {

// Priority changes are made on a thread of their own, so that the test process itself keeps
// its scheduling; the class is returned to normal afterwards.
TEST(OsPriority, RealtimeRequestIsGrantedAsHighestAllowedAndReported) {
  BOOL bClassSet = FALSE, bThreadSet = FALSE;
  DWORD dwClass = 0;
  int nThreadPriority = 0;
  std::thread worker([&] {
    bClassSet = SetPriorityClass(GetCurrentProcess(), REALTIME_PRIORITY_CLASS);
    dwClass = GetPriorityClass(GetCurrentProcess());
    bThreadSet = SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_TIME_CRITICAL);
    nThreadPriority = GetThreadPriority(GetCurrentThread());
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
    SetPriorityClass(GetCurrentProcess(), NORMAL_PRIORITY_CLASS);
  });
  worker.join();
  EXPECT_TRUE(bClassSet);
  // Windows gives an unprivileged caller the high class instead of real-time.
  EXPECT_TRUE(dwClass == REALTIME_PRIORITY_CLASS || dwClass == HIGH_PRIORITY_CLASS) << dwClass;
  EXPECT_TRUE(bThreadSet);
  EXPECT_EQ(nThreadPriority, THREAD_PRIORITY_TIME_CRITICAL);
  EXPECT_EQ(GetPriorityClass(GetCurrentProcess()), NORMAL_PRIORITY_CLASS);
}

TEST(OsPriority, ThreadPriorityIsPerThread) {
  int nOther = 0;
  std::thread worker([&] {
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_HIGHEST);
    nOther = GetThreadPriority(GetCurrentThread());
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_NORMAL);
  });
  worker.join();
  EXPECT_EQ(nOther, THREAD_PRIORITY_HIGHEST);
  EXPECT_EQ(GetThreadPriority(GetCurrentThread()), THREAD_PRIORITY_NORMAL);
}

TEST(OsPriority, BadArgumentsFailWithWindowsErrors) {
  SetLastError(0);
  EXPECT_EQ(GetPriorityClass(nullptr), 0u);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_EQ(GetThreadPriority(nullptr), THREAD_PRIORITY_ERROR_RETURN);
  EXPECT_EQ(GetLastError(), ERROR_INVALID_HANDLE);
  SetLastError(0);
  EXPECT_FALSE(SetPriorityClass(GetCurrentProcess(), 0x12345u));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
  SetLastError(0);
  EXPECT_FALSE(SetThreadPriority(GetCurrentThread(), 9));
  EXPECT_EQ(GetLastError(), ERROR_INVALID_PARAMETER);
}

// The hand-over uses the layer's own semaphores: thread start and join may change the
// last error on Windows, a successful wait or release does not.
TEST(OsLastError, IsKeptPerThread) {
  HANDLE hToMain = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  HANDLE hToWorker = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  ASSERT_NE(hToMain, nullptr);
  ASSERT_NE(hToWorker, nullptr);
  DWORD dwWorker = 0;
  std::thread worker([&] {
    SetLastError(ERROR_INVALID_HANDLE);
    ReleaseSemaphore(hToMain, 1, nullptr);
    WaitForSingleObject(hToWorker, 60000);
    dwWorker = GetLastError();
  });
  ASSERT_EQ(WaitForSingleObject(hToMain, 60000), WAIT_OBJECT_0);
  SetLastError(ERROR_TOO_MANY_POSTS);  // after the worker's, before it reads its own
  ReleaseSemaphore(hToWorker, 1, nullptr);
  DWORD dwMain = GetLastError();
  worker.join();
  EXPECT_EQ(dwWorker, ERROR_INVALID_HANDLE);
  EXPECT_EQ(dwMain, ERROR_TOO_MANY_POSTS);
}

TEST(OsTimer, CapabilitiesAllowAPeriodOfAtLeastOneMillisecond) {
  TIMECAPS tc{};
  ASSERT_EQ(timeGetDevCaps(&tc, sizeof(tc)), TIMERR_NOERROR);
  EXPECT_GE(tc.wPeriodMin, 1u);
  EXPECT_GE(tc.wPeriodMax, tc.wPeriodMin);
  EXPECT_EQ(timeBeginPeriod(tc.wPeriodMin), TIMERR_NOERROR);
  EXPECT_NE(timeGetDevCaps(&tc, sizeof(tc) - 1), TIMERR_NOERROR);
}

TEST(OsSemaphore, WaitIsBoundedAndTakesOneCount) {
  HANDLE h = CreateSemaphoreW(nullptr, 0, 1, L"VxTestSemaphoreBounded");
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_TIMEOUT);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
  LONG lPrevious = -1;
  ASSERT_TRUE(ReleaseSemaphore(h, 1, &lPrevious));
  EXPECT_EQ(lPrevious, 0);
  EXPECT_EQ(WaitForSingleObject(h, 20), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
}

TEST(OsSemaphore, ReleasePastTheMaximumFailsAndKeepsTheCount) {
  HANDLE h = CreateSemaphoreW(nullptr, 1, 2, nullptr);
  ASSERT_NE(h, nullptr);
  ASSERT_TRUE(ReleaseSemaphore(h, 1, nullptr));
  SetLastError(0);
  EXPECT_FALSE(ReleaseSemaphore(h, 1, nullptr));
  EXPECT_EQ(GetLastError(), ERROR_TOO_MANY_POSTS);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_OBJECT_0);
  EXPECT_EQ(WaitForSingleObject(h, 0), WAIT_TIMEOUT);
}

TEST(OsSemaphore, ReleaseWakesAWaiterOnAnotherThread) {
  HANDLE h = CreateSemaphoreW(nullptr, 0, 1, nullptr);
  ASSERT_NE(h, nullptr);
  DWORD dwWait = WAIT_FAILED;
  std::thread waiter([&] { dwWait = WaitForSingleObject(h, 60000); });
  ASSERT_TRUE(ReleaseSemaphore(h, 1, nullptr));
  waiter.join();
  EXPECT_EQ(dwWait, WAIT_OBJECT_0);
}

TEST(OsSemaphore, SameNameIsTheSameObject) {
  HANDLE h1 = CreateSemaphoreW(nullptr, 0, 1, L"VxTestSemaphoreShared");
  ASSERT_NE(h1, nullptr);
  HANDLE h2 = CreateSemaphoreW(nullptr, 1, 1, L"VxTestSemaphoreShared");
  ASSERT_NE(h2, nullptr);
  EXPECT_EQ(GetLastError(), ERROR_ALREADY_EXISTS);
  EXPECT_EQ(WaitForSingleObject(h2, 0), WAIT_TIMEOUT);  // the first creation's count stands
  ASSERT_TRUE(ReleaseSemaphore(h1, 1, nullptr));
  EXPECT_EQ(WaitForSingleObject(h2, 0), WAIT_OBJECT_0);
}

TEST(OsSemaphore, BadArgumentsFail) {
  EXPECT_EQ(WaitForSingleObject(nullptr, 10), WAIT_FAILED);
  EXPECT_FALSE(ReleaseSemaphore(nullptr, 1, nullptr));
  EXPECT_EQ(CreateSemaphoreW(nullptr, 2, 1, nullptr), nullptr);
  EXPECT_EQ(CreateSemaphoreW(nullptr, 0, 0, nullptr), nullptr);
}

TEST(OsCriticalSection, ExcludesOtherThreads) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  constexpr int kRounds = 20000;
  long nCounter = 0;  // deliberately not atomic: the section alone guards it
  std::atomic<int> nInside{0};
  std::atomic<bool> bOverlap{false};
  auto work = [&] {
    for (int i = 0; i < kRounds; ++i) {
      EnterCriticalSection(&cs);
      if (nInside.fetch_add(1) != 0) bOverlap = true;
      ++nCounter;
      nInside.fetch_sub(1);
      LeaveCriticalSection(&cs);
    }
  };
  std::thread a(work), b(work);
  a.join();
  b.join();
  EXPECT_FALSE(bOverlap);
  EXPECT_EQ(nCounter, 2L * kRounds);
}

TEST(OsCriticalSection, IsRecursiveAndHeldUntilTheLastLeave) {
  CRITICAL_SECTION cs;
  InitializeCriticalSection(&cs);
  std::atomic<bool> bReleased{false};
  bool bEnteredAfterRelease = false;
  EnterCriticalSection(&cs);
  EnterCriticalSection(&cs);
  std::thread other([&] {
    EnterCriticalSection(&cs);
    bEnteredAfterRelease = bReleased.load();
    LeaveCriticalSection(&cs);
  });
  LeaveCriticalSection(&cs);
  bReleased = true;
  LeaveCriticalSection(&cs);
  other.join();
  EXPECT_TRUE(bEnteredAfterRelease);
}

TEST(OsSleep, GoesThroughTheHookUntilItIsCleared) {
  vxtest::SleepRecorder::Install();
  OsSleep(1000);
  OsSleep(30);
  OsSetSleepHook(nullptr);
  OsSleep(1);
  EXPECT_EQ(vxtest::SleepRecorder::Sleeps(), (std::vector<DWORD>{1000, 30}));
  vxtest::SleepRecorder::Uninstall();
}

}  // namespace

TEST(OsOpenFile, OpensFilesButNotFolders) {
  const std::filesystem::path dir = std::filesystem::temp_directory_path() / "vx_open_file_test";
  std::filesystem::create_directories(dir);
  const std::string file = (dir / "image.bin").string();
  { std::ofstream(file) << "x"; }
  FILE* pFile = OsOpenFile(file.c_str(), "rb");
  ASSERT_NE(pFile, nullptr);
  EXPECT_EQ(std::fgetc(pFile), 'x');
  std::fclose(pFile);
  // A name that ends at the folder (an empty image name) must not count as a file.
  EXPECT_EQ(OsOpenFile((dir.string() + "/").c_str(), "rb"), nullptr);
  EXPECT_EQ(OsOpenFile(dir.string().c_str(), "rb"), nullptr);
  std::filesystem::remove_all(dir);
}
