// The real-bus arrival logic against a scripted bus: which devices are reported, on which
// thread they are opened, what the operator is told about one that cannot be used, and how
// libusb's results become the layer's statuses.
#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/libusb_status.h"
#include "platform/wdu/usb_watch.h"
#include "tests/support/stdout_capture.h"

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;  // bound on waiting for the watch thread

UsbCandidate Dev(const std::string& key, uint16_t pid = 9) {
  UsbCandidate c;
  c.sKey = key;
  c.wVendorId = 0x3A7C;
  c.wProductId = pid;
  c.nBus = 1;
  c.nAddress = static_cast<unsigned>(std::stoul(key.substr(key.find('-') + 1)));
  return c;
}

// A bus whose devices, open results and bring-up the test scripts; it records every call.
struct FakeBus {
  std::mutex mtx;
  std::condition_variable cv;
  bool bPolling = true;
  int nStartFailures = 0;  // Start fails this many times first
  std::vector<UsbCandidate> present;
  std::map<std::string, std::deque<UsbOpenResult>> results;  // per key; the last one repeats
  bool bHoldOpen = false;  // Open waits while this is set
  // Records.
  int nStarts = 0, nScans = 0, nStops = 0;
  std::map<std::string, int> nOpens;
  std::vector<std::string> log;  // sink reports and closes, in order
  std::set<std::thread::id> openThreads, sinkThreads;

  template <class Pred>
  bool Wait(Pred pred) {
    std::unique_lock<std::mutex> lk(mtx);
    return cv.wait_for(lk, kWait, pred);
  }
  void Note(const std::string& s) {
    log.push_back(s);
    cv.notify_all();
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lk(mtx);
    return log;
  }
  // Waits for n more scans, so that later polls have had their chance to act.
  bool Scans(int n) {
    int target = 0;
    {
      std::lock_guard<std::mutex> lk(mtx);
      target = nScans + n;
    }
    return Wait([&] { return nScans >= target; });
  }

  static FakeBus& Of(void* p) { return *static_cast<FakeBus*>(p); }
  static bool Start(void* p, bool* pbPolling) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    ++b.nStarts;
    b.cv.notify_all();
    *pbPolling = b.bPolling;
    return b.nStarts > b.nStartFailures;
  }
  static void Scan(void* p, std::vector<UsbCandidate>* pNow) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    *pNow = b.present;
    ++b.nScans;
    b.cv.notify_all();
  }
  static UsbOpenResult Open(void* p, const UsbCandidate& c, uint64_t, WDU_DEVICE_DESCRIPTOR* pDesc, const char** pszWhy) {
    FakeBus& b = Of(p);
    std::unique_lock<std::mutex> lk(b.mtx);
    b.cv.wait(lk, [&] { return !b.bHoldOpen; });
    ++b.nOpens[c.sKey];
    b.openThreads.insert(std::this_thread::get_id());
    b.cv.notify_all();
    pDesc->idVendor = c.wVendorId;
    pDesc->idProduct = c.wProductId;
    *pszWhy = "LIBUSB_ERROR_IO";
    auto& q = b.results[c.sKey];
    if (q.empty()) return UsbOpenResult::kOpened;
    const UsbOpenResult r = q.front();
    if (q.size() > 1) q.pop_front();
    return r;
  }
  static void Close(void* p, uint64_t uId) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    b.Note("close " + std::to_string(uId));
  }
  static void Drop(void*, void*) {}
  static void Stop(void* p) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    ++b.nStops;
  }
  static void SinkArrived(void* p, uint64_t uId, const WDU_DEVICE_DESCRIPTOR* pDesc) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    b.sinkThreads.insert(std::this_thread::get_id());
    b.Note("arrived " + std::to_string(uId) + " pid " + std::to_string(pDesc->idProduct));
  }
  static void SinkLeft(void* p, uint64_t uId) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    b.Note("left " + std::to_string(uId));
  }

  UsbWatchOps Ops() { return UsbWatchOps{this, &Start, &Scan, &Open, &Close, &Drop, &Stop}; }
  WduSink Sink() { return WduSink{this, 0x3A7C, &SinkArrived, &SinkLeft}; }
};

// Short periods, so that tests count polls and retries instead of waiting seconds.
UsbWatchTiming Fast() { return UsbWatchTiming{2ms, 2ms, 30ms, 2ms}; }

TEST(UsbScanDiff, TellsArrivalsDeparturesAndReplugs) {
  struct Case {
    const char* pszName;
    std::vector<std::string> known;
    std::vector<std::string> now;
    std::vector<std::string> left, arrived;
  } cases[] = {
      {"first arrival", {}, {"1-5"}, {}, {"1-5"}},
      {"still there", {"1-5"}, {"1-5"}, {}, {}},
      {"departure", {"1-5"}, {}, {"1-5"}, {}},
      // Plugged in again on the same port between two scans: a new address, a new presence.
      {"re-plug on the same port", {"1-5"}, {"1-6"}, {"1-5"}, {"1-6"}},
      {"one of two leaves, a third arrives", {"1-5", "2-3"}, {"2-3", "2-4"}, {"1-5"}, {"2-4"}},
  };
  for (const Case& c : cases) {
    std::vector<UsbCandidate> now;
    for (const std::string& k : c.now) now.push_back(Dev(k));
    const UsbScanDiff d = DiffScan(c.known, now);
    std::vector<std::string> arrived;
    for (const UsbCandidate& a : d.arrived) arrived.push_back(a.sKey);
    EXPECT_EQ(d.left, c.left) << c.pszName;
    EXPECT_EQ(arrived, c.arrived) << c.pszName;
  }
}

TEST(UsbWatch, PollingReportsEachPresenceOnceAndClosesAfterTheDeparture) {
  FakeBus bus;
  bus.nStartFailures = 2;  // no USB bus at first: brought up later, quietly
  vxtest::StdoutCapture out;
  ASSERT_TRUE(out.Start());
  UsbWatch watch(bus.Ops(), Fast());
  watch.Start(bus.Sink());
  ASSERT_TRUE(bus.Scans(1));
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    bus.present = {Dev("1-5", 9), Dev("1-7", 1)};
  }
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 2; }));
  ASSERT_TRUE(bus.Scans(3));
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    bus.present = {Dev("1-8", 9), Dev("1-7", 1)};  // the loader re-plugged on its port
  }
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 5; }));
  ASSERT_TRUE(bus.Scans(3));
  watch.Stop();
  EXPECT_EQ(bus.Log(), (std::vector<std::string>{"arrived 1 pid 9", "arrived 2 pid 1", "left 1", "close 1",
                                                 "arrived 3 pid 9", "close 2", "close 3"}));
  EXPECT_EQ(bus.nStarts, 3);
  EXPECT_EQ(bus.nStops, 1);
  EXPECT_EQ((std::map<std::string, int>{{"1-5", 1}, {"1-7", 1}, {"1-8", 1}}), bus.nOpens);
  EXPECT_EQ(bus.openThreads.count(std::this_thread::get_id()), 0u);
  EXPECT_EQ(out.All(), "");
}

TEST(UsbWatch, HotplugArrivalsAreOpenedOffTheNotifyingThread) {
  FakeBus bus;
  bus.bPolling = false;
  bus.bHoldOpen = true;
  UsbWatch watch(bus.Ops(), Fast());
  watch.Start(bus.Sink());
  ASSERT_TRUE(bus.Wait([&] { return bus.nStarts == 1; }));
  // The library's callback only queues: it returns while the opening is still held up.
  std::thread::id libraryThread;
  std::thread callback([&] {
    libraryThread = std::this_thread::get_id();
    watch.Arrived(Dev("3-2"));
  });
  callback.join();
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    EXPECT_TRUE(bus.log.empty());
    bus.bHoldOpen = false;
    bus.cv.notify_all();
  }
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 1; }));
  watch.Left("3-2");
  watch.Left("3-9");  // never arrived: nothing to report
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 3; }));
  watch.Stop();
  EXPECT_EQ(bus.Log(), (std::vector<std::string>{"arrived 1 pid 9", "left 1", "close 1"}));
  EXPECT_EQ(bus.nScans, 0);  // hot-plug needs no polling
  EXPECT_EQ(bus.openThreads.count(libraryThread), 0u);
  EXPECT_EQ(bus.sinkThreads.count(libraryThread), 0u);
}

TEST(UsbWatch, ADeviceThatCannotBeUsedIsToldOncePerArrival) {
  const UsbOpenResult kNoPerm = UsbOpenResult::kNoPermission;
  struct Case {
    const char* pszName;
    std::deque<UsbOpenResult> results;
    const char* pszText;  // what the operator reads, or null
    bool bReported;
  } cases[] = {
      {"permission never granted", {kNoPerm}, kUsbNoPermissionText, false},
      {"permission granted by udev a moment later", {kNoPerm, kNoPerm, UsbOpenResult::kOpened}, nullptr, true},
      {"configuration set by the kernel a moment later",
       {UsbOpenResult::kNotReady, UsbOpenResult::kOpened}, nullptr, true},
      {"interface never there", {UsbOpenResult::kNotReady}, kUsbOpenFailedText, false},
      {"interface held by another program", {UsbOpenResult::kBusy}, kUsbBusyText, false},
      {"other failure", {UsbOpenResult::kFailed}, kUsbOpenFailedText, false},
      {"gone while opening", {UsbOpenResult::kGone}, nullptr, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pszName);
    FakeBus bus;
    bus.results["1-5"] = c.results;
    bus.results["1-6"] = c.results;
    vxtest::StdoutCapture out;
    ASSERT_TRUE(out.Start());
    UsbWatch watch(bus.Ops(), Fast());
    watch.Start(bus.Sink());
    std::string sExpected;
    char line[512];
    for (const char* key : {"1-5", "1-6"}) {  // the second is the same locator plugged in again
      {
        std::lock_guard<std::mutex> lk(bus.mtx);
        bus.present = {Dev(key)};
      }
      // Long enough for the permission window to pass, then more polls that must not retry.
      ASSERT_TRUE(bus.Wait([&] { return bus.nOpens[key] >= 1; }));
      ASSERT_TRUE(bus.Scans(40));
      int nOpens = 0;
      {
        std::lock_guard<std::mutex> lk(bus.mtx);
        nOpens = bus.nOpens[key];
      }
      ASSERT_TRUE(bus.Scans(5));
      std::lock_guard<std::mutex> lk(bus.mtx);
      EXPECT_EQ(bus.nOpens[key], nOpens) << "a refused device is not tried again while it stays";
      if (c.results.front() == kNoPerm || c.results.front() == UsbOpenResult::kNotReady) {
        EXPECT_GE(nOpens, 2) << "retried for a while";
      }
      if (c.pszText != nullptr) {
        std::snprintf(line, sizeof line, c.pszText, 1u, bus.present[0].nAddress, "LIBUSB_ERROR_IO");
        sExpected += line;
      }
    }
    watch.Stop();
    EXPECT_EQ(out.All(), sExpected);
    const std::vector<std::string> log = bus.Log();
    EXPECT_EQ(log.size(), c.bReported ? 5u : 0u) << ::testing::PrintToString(log);
  }
}

TEST(LibusbStatus, MapsEveryResultToTheLayersStatuses) {
  struct Case {
    int transferStatus;  // -1: not a transfer status
    int error;           // 1: not an error code
    DWORD expected;
  } cases[] = {
      {LIBUSB_TRANSFER_COMPLETED, 1, WD_STATUS_SUCCESS},
      {LIBUSB_TRANSFER_TIMED_OUT, 1, WD_TIME_OUT_EXPIRED},
      {LIBUSB_TRANSFER_CANCELLED, 1, WD_TIME_OUT_EXPIRED},
      {LIBUSB_TRANSFER_NO_DEVICE, 1, WD_DEVICE_NOT_FOUND},
      {LIBUSB_TRANSFER_STALL, 1, WD_USBD_STATUS_STALL},
      {LIBUSB_TRANSFER_OVERFLOW, 1, WD_USBD_STATUS_BABBLE_DETECTED},
      {LIBUSB_TRANSFER_ERROR, 1, WD_USBD_STATUS_XACT_ERROR},
      {-1, LIBUSB_SUCCESS, WD_STATUS_SUCCESS},
      {-1, LIBUSB_ERROR_TIMEOUT, WD_TIME_OUT_EXPIRED},
      {-1, LIBUSB_ERROR_NO_DEVICE, WD_DEVICE_NOT_FOUND},
      {-1, LIBUSB_ERROR_PIPE, WD_USBD_STATUS_STALL},
      {-1, LIBUSB_ERROR_OVERFLOW, WD_USBD_STATUS_BABBLE_DETECTED},
      {-1, LIBUSB_ERROR_IO, WD_USBD_STATUS_XACT_ERROR},
      {-1, LIBUSB_ERROR_INVALID_PARAM, WD_INVALID_PARAMETER},
      {-1, LIBUSB_ERROR_NO_MEM, WD_INSUFFICIENT_RESOURCES},
      {-1, LIBUSB_ERROR_NOT_SUPPORTED, WD_NOT_IMPLEMENTED},
      {-1, LIBUSB_ERROR_NOT_FOUND, WD_OPERATION_FAILED},
      {-1, LIBUSB_ERROR_BUSY, WD_OPERATION_FAILED},
      {-1, LIBUSB_ERROR_OTHER, WD_WINDRIVER_STATUS_ERROR},
  };
  const std::set<DWORD> kNamed = {WD_STATUS_SUCCESS, WD_TIME_OUT_EXPIRED, WD_DEVICE_NOT_FOUND, WD_USBD_STATUS_STALL};
  for (const Case& c : cases) {
    const DWORD got = c.transferStatus >= 0 ? WduStatusFromTransfer(static_cast<libusb_transfer_status>(c.transferStatus))
                                            : WduStatusFromLibusbError(c.error);
    EXPECT_EQ(got, c.expected) << c.transferStatus << " " << c.error;
    // Failures other than the four the transport tells apart are non-zero and distinct from them.
    const bool bNamedCause = c.transferStatus == LIBUSB_TRANSFER_COMPLETED || c.error == LIBUSB_SUCCESS ||
                             got == WD_TIME_OUT_EXPIRED || got == WD_DEVICE_NOT_FOUND || got == WD_USBD_STATUS_STALL;
    if (!bNamedCause) {
      EXPECT_EQ(kNamed.count(got), 0u) << c.transferStatus << " " << c.error;
    }
  }
}

}  // namespace
