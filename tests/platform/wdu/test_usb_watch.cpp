// The real-bus device watch against a scripted bus: which devices are reported, on which
// thread they are opened, what the operator is told about one that cannot be used (the
// Windows device states as winusb::DescribeNode reads them, and the libusb open results),
// and how libusb's results become the layer's statuses.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/usb_watch.h"
#include "platform/wdu/winusb_logic.h"
#include "tests/support/stdout_capture.h"

#if !defined(_WIN32)
#include "platform/wdu/libusb_status.h"
#endif

namespace {

using namespace std::chrono_literals;
constexpr auto kWait = 10s;  // bound on waiting for the watch thread
constexpr uint16_t kVendor = 0x3A7C;

UsbCandidate Dev(const std::string& key, uint16_t pid = 9) {
  UsbCandidate c;
  c.sKey = key;
  c.wVendorId = kVendor;
  c.wProductId = pid;
  c.nBus = 1;
  c.nAddress = static_cast<unsigned>(std::stoul(key.substr(key.find('-') + 1)));
  return c;
}

// What Open gives, n times running (the last step repeats).
struct OpenStep {
  UsbState e;
  int nTimes;
};

// A bus whose devices, open results and bring-up the test scripts; it records every call.
struct FakeBus {
  std::mutex mtx;
  std::condition_variable cv;
  UsbListing listing = UsbListing::kPoll;
  int nStartFailures = 0;  // Start fails this many times first
  std::vector<UsbCandidate> present;
  std::function<std::vector<UsbCandidate>(int nScan)> script;  // replaces present when set
  std::map<std::string, std::vector<OpenStep>> results;        // per key; opened when none
  std::string sWhy = "LIBUSB_ERROR_IO";
  bool bHoldOpen = false;  // Open waits while this is set
  bool bListingFails = false;
  // Records.
  int nStarts = 0, nScans = 0, nStops = 0;
  std::map<std::string, int> nOpens;
  std::vector<std::wstring> openedPaths;
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
  // Waits for n more listings, so that the watch has had its chances to act.
  bool Scans(int n) {
    int target = 0;
    {
      std::lock_guard<std::mutex> lk(mtx);
      target = nScans + n;
    }
    return Wait([&] { return nScans >= target; });
  }

  static FakeBus& Of(void* p) { return *static_cast<FakeBus*>(p); }
  static bool Start(void* p, UsbListing* peListing) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    ++b.nStarts;
    b.cv.notify_all();
    *peListing = b.listing;
    return b.nStarts > b.nStartFailures;
  }
  static bool Scan(void* p, std::vector<UsbCandidate>* pNow) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    *pNow = b.script ? b.script(b.nScans) : b.present;
    ++b.nScans;
    b.cv.notify_all();
    return !b.bListingFails;
  }
  static UsbState Open(void* p, const UsbCandidate& c, uint64_t, WDU_DEVICE_DESCRIPTOR* pDesc, std::string* psWhy) {
    FakeBus& b = Of(p);
    std::unique_lock<std::mutex> lk(b.mtx);
    b.cv.wait(lk, [&] { return !b.bHoldOpen; });
    int n = b.nOpens[c.sKey]++;
    b.openThreads.insert(std::this_thread::get_id());
    b.cv.notify_all();
    pDesc->idVendor = c.wVendorId;
    pDesc->idProduct = c.wProductId;
    *psWhy = b.sWhy;
    UsbState e = UsbState::kOpened;
    for (const OpenStep& s : b.results[c.sKey]) {
      e = s.e;
      if ((n -= s.nTimes) < 0) break;
    }
    if (e == UsbState::kOpened) b.openedPaths.push_back(c.wsPath);
    return e;
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
  // The registrations: the loader and the Dorrin C6748 device (products 9 and 1), unless a test
  // registers fewer.
  std::set<uint16_t> wanted = {1, 9};
  static bool SinkWants(void* p, uint16_t wVendor, uint16_t wProduct) {
    FakeBus& b = Of(p);
    std::lock_guard<std::mutex> lk(b.mtx);
    return wVendor == kVendor && b.wanted.count(wProduct) != 0;
  }

  UsbWatchOps Ops() { return UsbWatchOps{this, &Start, &Scan, &Open, &Close, &Drop, &Stop}; }
  WduSink Sink() { return WduSink{this, kVendor, &SinkArrived, &SinkLeft, &SinkWants}; }
};

// Short periods, so that tests count listings and looks instead of waiting seconds. Two
// listings are at least 1 ms apart, so kSettled of them outlast every window.
UsbWatchTiming Fast() { return UsbWatchTiming{1ms, 1ms, 4ms, 10ms, 1ms}; }
constexpr int kSettled = 20;

template <class... Args>
std::string Line(const char* pszFormat, Args... args) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, pszFormat, args...);
  return buf;
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
    bus.present = {Dev("1-5", 9), Dev("1-7", 1), Dev("1-9", 2)};  // product 2: not the registrations'
  }
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 2; }));
  ASSERT_TRUE(bus.Scans(3));
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    bus.present.clear();
    bus.bListingFails = true;  // listings the system did not give: nothing is concluded
  }
  ASSERT_TRUE(bus.Scans(3));
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    bus.bListingFails = false;
    bus.present = {Dev("1-8", 9), Dev("1-7", 1), Dev("1-9", 2)};  // the loader re-plugged on its port
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

TEST(UsbWatch, HotplugArrivalsAreOpenedOffTheNotifyingThreadOncePerPresence) {
  FakeBus bus;
  bus.listing = UsbListing::kHotplug;
  bus.bHoldOpen = true;
  bus.wanted = {9};  // the Dorrin C6748 device's registration comes later
  UsbWatch watch(bus.Ops(), Fast());
  watch.Start(bus.Sink());
  ASSERT_TRUE(bus.Wait([&] { return bus.nStarts == 1; }));
  // The library's callback only queues: it returns while the opening is still held up.
  std::thread::id libraryThread;
  std::thread callback([&] {
    libraryThread = std::this_thread::get_id();
    watch.Arrived(Dev("3-2"));
    watch.Arrived(Dev("3-4", 2));  // another product of the vendor: never opened
    watch.Arrived(Dev("3-6", 1));
    watch.Arrived(Dev("3-2"));     // libusb's enumeration and its event for one device
  });
  callback.join();
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    EXPECT_TRUE(bus.log.empty());
    bus.bHoldOpen = false;
    bus.cv.notify_all();
  }
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 1; }));
  {
    std::lock_guard<std::mutex> lk(bus.mtx);
    bus.wanted = {1, 9};
  }
  watch.Rematch();
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 2; }));
  watch.Left("3-2");
  watch.Left("3-9");  // never arrived: nothing to report
  ASSERT_TRUE(bus.Wait([&] { return bus.log.size() >= 4; }));
  watch.Stop();
  EXPECT_EQ(bus.Log(), (std::vector<std::string>{"arrived 1 pid 9", "arrived 2 pid 1", "left 1", "close 1",
                                                 "close 2"}));
  EXPECT_EQ(bus.nScans, 0);  // hot-plug needs no listing
  EXPECT_EQ((std::map<std::string, int>{{"3-2", 1}, {"3-6", 1}}), bus.nOpens);
  EXPECT_EQ(bus.openThreads.count(libraryThread), 0u);
  EXPECT_EQ(bus.sinkThreads.count(libraryThread), 0u);
}

// A locator's device node as Windows shows it, for some listings running (the last step
// repeats); the instance id and paths get the presence's number.
struct NodeStep {
  uint32_t uStatus, uProblem;
  const char* pszService;
  const char* pszDriverInf;
  bool bOurPath, bUsbPath;
  int nListings;
};
constexpr uint32_t kStarted = winusb::kDnStarted, kProblem = winusb::kDnHasProblem;
constexpr NodeStep kOurs{kStarted, 0, "WinUSB", "oem7.inf", true, true, 1};
constexpr NodeStep kWinUsbDevice{kStarted, 0, "WINUSB", "winusb.inf", false, true, 1};

UsbCandidate WindowsNode(const NodeStep& s, int nPresence, uint16_t pid) {
  winusb::NodeFacts f;
  f.sInstanceId = Line("USB\\VID_3A7C&PID_%04X\\LOC%d", pid, nPresence);
  f.uStatus = s.uStatus;
  f.uProblem = s.uProblem;
  f.sService = s.pszService;
  f.sDriverInf = s.pszDriverInf;
  if (s.bOurPath) f.wsOurPath = L"\\\\?\\ours#" + std::to_wstring(nPresence);
  if (s.bUsbPath) f.wsUsbPath = L"\\\\?\\usbdevice#" + std::to_wstring(nPresence);
  UsbCandidate c;
  winusb::DescribeNode(f, &c);  // the id always has its VID and PID
  return c;
}

// What the operator reads, and whether and how the device is opened, for each state a
// locator can be in, on Windows (its device node, then its open) and with libusb (its
// open). Each row plugs the device in twice: the lines come once per arrival, only once a
// state has lasted, and never for a state that passes by itself.
TEST(UsbWatch, TellsTheOperatorOncePerArrivalWhatKeepsADeviceFromUse) {
  const char* const kWinUsb = "WinUSB";
  const NodeStep kNotStartedYet{0, 0, "", "", false, false, 1};
  struct Row {
    const char* pszName;
    std::vector<NodeStep> nodes;  // empty: a libusb device
    std::vector<OpenStep> opens;  // empty: opened
    std::function<std::string(int nPresence)> told;
    const wchar_t* pwszPath;  // the interface opened through, null: not opened
    uint16_t pid = 9;
  };
  auto nothing = [](int) { return std::string(); };
  auto where = [](int p) { return Line(" (USB bus %u, device %u)", 1u, 5u + p); };
  const std::vector<Row> rows = {
      // Windows: the two interface paths.
      {"our interface class (our INF)", {kOurs}, {}, nothing, L"\\\\?\\ours#"},
      {"Device Manager's WinUsb Device: the USB device interface", {kWinUsbDevice}, {}, nothing,
       L"\\\\?\\usbdevice#"},
      {"the Dorrin C6748 device", {kOurs}, {}, nothing, L"\\\\?\\ours#", 1},
      // Windows: states that pass by themselves are never told.
      {"started, its interface a listing later", {{kStarted, 0, kWinUsb, "", false, false, 1}, kWinUsbDevice}, {},
       nothing, L"\\\\?\\usbdevice#"},
      {"not started at the first listing, started at the next", {kNotStartedYet, kOurs}, {}, nothing,
       L"\\\\?\\ours#"},
      {"no driver for one listing, then WinUSB", {{kProblem, 28, "", "", false, false, 1}, kOurs}, {}, nothing,
       L"\\\\?\\ours#"},
      {"code 1 (a staged driver installing) for good", {{kProblem, 1, "", "", false, false, 1}}, {}, nothing, nullptr},
      {"code 21 (being removed) for good", {{kProblem, 21, kWinUsb, "", false, false, 1}}, {}, nothing, nullptr},
      {"not started for good", {kNotStartedYet}, {}, nothing, nullptr},
      {"started with WinUSB, no interface for good", {{kStarted, 0, kWinUsb, "", false, false, 1}}, {}, nothing,
       nullptr},
      // Windows: settled states, each with its remedy.
      {"code 28 (no driver)", {{kProblem, 28, "", "", false, false, 1}}, {},
       [](int) { return Line(kUsbNoDriverText, "", 28u); }, nullptr},
      {"code 52 (unsigned)", {{kProblem, 52, "", "", false, false, 1}}, {},
       [](int) { return Line(kUsbNoDriverText, "", 52u); }, nullptr},
      {"code 22 (disabled)", {{kProblem, 22, kWinUsb, "", false, false, 1}}, {},
       [](int) { return Line(kUsbDisabledText, "", 22u); }, nullptr},
      {"code 14 (restart)", {{kProblem, 14, kWinUsb, "", false, false, 1}}, {},
       [](int) { return Line(kUsbRestartText, "", 14u); }, nullptr},
      {"code 10 (failed start)", {{kProblem, 10, kWinUsb, "", false, false, 1}}, {},
       [](int) { return Line(kUsbNotStartedText, "", 10u); }, nullptr},
      {"another driver from the driver store", {{kStarted, 0, "vxlegacy", "oem12.inf", false, true, 1}}, {},
       [](int) { return Line(kUsbOtherDriverText, "", "vxlegacy", Line(kUsbPnputilText, "oem12.inf").c_str()); },
       nullptr},
      {"another driver of Windows' own", {{kStarted, 0, "usbvendor", "usb.inf", false, true, 1}}, {},
       [](int) { return Line(kUsbOtherDriverText, "", "usbvendor", ""); }, nullptr},
      {"another driver, then the WinUsb Device route",
       {{kStarted, 0, "vxlegacy", "", false, true, kSettled}, kWinUsbDevice}, {},
       [](int) { return Line(kUsbOtherDriverText, "", "vxlegacy", ""); }, L"\\\\?\\usbdevice#"},
      {"held by another program", {kOurs}, {{UsbState::kBusy, 1}}, [](int) { return Line(kUsbBusyText, ""); },
       nullptr},
      {"held by another program, then let go", {kOurs}, {{UsbState::kBusy, 8}, {UsbState::kOpened, 1}},
       [](int) { return Line(kUsbBusyText, ""); }, L"\\\\?\\ours#"},
      {"WinUsb_Initialize fails", {kOurs}, {{UsbState::kFailed, 1}},
       [](int) { return Line(kUsbOpenFailedText, "", "WinUsb_Initialize: Windows error 31"); }, nullptr},
      {"another product of the vendor", {kOurs}, {}, nothing, nullptr, 2},
      // libusb.
      {"permission never granted", {}, {{UsbState::kNoPermission, 1}},
       [&](int p) { return Line(kUsbNoPermissionText, where(p).c_str()); }, nullptr},
      {"permission granted by udev a moment later", {}, {{UsbState::kNoPermission, 2}, {UsbState::kOpened, 1}},
       nothing, L""},
      {"configuration set by the kernel a moment later", {}, {{UsbState::kNotReady, 1}, {UsbState::kOpened, 1}},
       nothing, L""},
      {"interface never there", {}, {{UsbState::kNotReady, 1}},
       [&](int p) { return Line(kUsbOpenFailedText, where(p).c_str(), "LIBUSB_ERROR_NOT_FOUND"); }, nullptr},
      {"usbfs node after the sysfs entry", {}, {{UsbState::kGone, 5}, {UsbState::kOpened, 1}}, nothing, L""},
      {"interface held by another program", {}, {{UsbState::kBusy, 1}},
       [&](int p) { return Line(kUsbBusyText, where(p).c_str()); }, nullptr},
      {"other failure", {}, {{UsbState::kFailed, 1}},
       [&](int p) { return Line(kUsbOpenFailedText, where(p).c_str(), "LIBUSB_ERROR_NOT_FOUND"); }, nullptr},
      {"another product of the vendor, libusb", {}, {}, nothing, nullptr, 2},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.pszName);
    FakeBus bus;
    bus.sWhy = row.nodes.empty() ? "LIBUSB_ERROR_NOT_FOUND" : "WinUsb_Initialize: Windows error 31";
    int nPresence = -1, nFirstScan = 0;  // what is plugged in, since which listing
    bus.script = [&](int nScan) -> std::vector<UsbCandidate> {
      if (nPresence < 0) return {};
      if (row.nodes.empty()) return {Dev("1-" + std::to_string(5 + nPresence), row.pid)};
      int n = nScan - nFirstScan;
      const NodeStep* pStep = &row.nodes.back();
      for (const NodeStep& s : row.nodes) {
        if ((n -= s.nListings) < 0) {
          pStep = &s;
          break;
        }
      }
      return {WindowsNode(*pStep, nPresence, row.pid)};
    };
    vxtest::StdoutCapture out;
    ASSERT_TRUE(out.Start());
    UsbWatch watch(bus.Ops(), Fast());
    watch.Start(bus.Sink());
    std::string sExpected;
    std::vector<std::string> expectedLog;
    std::vector<std::wstring> expectedPaths;
    for (int p = 0; p < 2; ++p) {
      {
        std::lock_guard<std::mutex> lk(bus.mtx);
        nPresence = p;
        nFirstScan = bus.nScans;
        const std::string sKey = row.nodes.empty() ? Dev("1-" + std::to_string(5 + p)).sKey
                                                   : WindowsNode(kOurs, p, row.pid).sKey;
        bus.results[sKey] = row.opens;
      }
      // Long enough for every window to pass, twice over.
      ASSERT_TRUE(bus.Scans(2 * kSettled));
      {
        std::lock_guard<std::mutex> lk(bus.mtx);
        nPresence = -1;
      }
      ASSERT_TRUE(bus.Scans(3));
      sExpected += row.told(p);
      if (row.pwszPath != nullptr) {
        expectedLog.insert(expectedLog.end(), {"arrived", "left", "close"});
        const std::wstring wsPath = row.pwszPath;
        expectedPaths.push_back(wsPath.empty() ? wsPath : wsPath + std::to_wstring(p));
      }
    }
    watch.Stop();
    EXPECT_EQ(out.All(), sExpected);
    std::vector<std::string> log;
    for (const std::string& s : bus.Log()) log.push_back(s.substr(0, s.find(' ')));
    EXPECT_EQ(log, expectedLog);
    EXPECT_TRUE(bus.openedPaths == expectedPaths);
    // Nothing is opened that the listing says cannot be, nor a product nobody registered;
    // what may be opened is looked at again while it is listed.
    int nOpens = 0;
    for (const auto& [key, n] : bus.nOpens) nOpens += n;
    const bool bListedReady =
        row.pid != 2 && (row.nodes.empty() || std::any_of(row.nodes.begin(), row.nodes.end(), [&](const NodeStep& s) {
                           return WindowsNode(s, 0, row.pid).eListed == UsbState::kReady;
                         }));
    if (!bListedReady) {
      EXPECT_EQ(nOpens, 0);
    } else if (row.pwszPath == nullptr) {
      EXPECT_GE(nOpens, 4);
    }
  }
}

#if !defined(_WIN32)
// The transport tells four outcomes apart: success, a time-out (a cancel happens only when
// overdue), a departed device and a halted pipe. Every other libusb failure must be a
// non-zero status that is none of them.
TEST(LibusbStatus, OnlyTheFourNamedOutcomesMapToTheirStatuses) {
  const std::map<int, DWORD> named = {
      {LIBUSB_TRANSFER_COMPLETED, WD_STATUS_SUCCESS},     {LIBUSB_TRANSFER_TIMED_OUT, WD_TIME_OUT_EXPIRED},
      {LIBUSB_TRANSFER_CANCELLED, WD_TIME_OUT_EXPIRED},   {LIBUSB_TRANSFER_NO_DEVICE, WD_DEVICE_NOT_FOUND},
      {LIBUSB_TRANSFER_STALL, WD_USBD_STATUS_STALL}};
  const std::map<int, DWORD> namedErrors = {{LIBUSB_SUCCESS, WD_STATUS_SUCCESS},
                                            {LIBUSB_ERROR_TIMEOUT, WD_TIME_OUT_EXPIRED},
                                            {LIBUSB_ERROR_NO_DEVICE, WD_DEVICE_NOT_FOUND},
                                            {LIBUSB_ERROR_PIPE, WD_USBD_STATUS_STALL}};
  const std::set<DWORD> kNamed = {WD_STATUS_SUCCESS, WD_TIME_OUT_EXPIRED, WD_DEVICE_NOT_FOUND, WD_USBD_STATUS_STALL};
  const auto check = [&](const std::map<int, DWORD>& expected, int code, DWORD got) {
    if (auto it = expected.find(code); it != expected.end()) {
      EXPECT_EQ(got, it->second) << code;
    } else {
      EXPECT_EQ(kNamed.count(got), 0u) << code;
    }
  };
  for (int s = LIBUSB_TRANSFER_COMPLETED; s <= LIBUSB_TRANSFER_OVERFLOW; ++s)
    check(named, s, WduStatusFromTransfer(static_cast<libusb_transfer_status>(s)));
  for (int e = LIBUSB_SUCCESS; e >= LIBUSB_ERROR_NOT_SUPPORTED; --e) check(namedErrors, e, WduStatusFromLibusbError(e));
  check(namedErrors, LIBUSB_ERROR_OTHER, WduStatusFromLibusbError(LIBUSB_ERROR_OTHER));
}
#endif

}  // namespace
