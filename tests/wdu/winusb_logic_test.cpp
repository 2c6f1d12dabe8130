// The winusb backend's device-independent logic: how a WinUSB call's outcome becomes a
// library status, which Windows device ids are locators, and what a new enumeration
// reports against the last one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/wdu/winusb_logic.h"

namespace {

using namespace winusb;

TEST(WinUsbLogic, OutcomesMapToDistinctStatuses) {
  struct Case {
    bool bOk;
    uint32_t uError;
    bool bGone;
    DWORD dwStatus;
  };
  const Case cases[] = {
      {true, 0, false, WD_STATUS_SUCCESS},
      {true, kErrSemTimeout, true, WD_STATUS_SUCCESS},  // a stale error number after success
      {false, kErrSemTimeout, false, WD_TIME_OUT_EXPIRED},
      {false, kErrTimeout, false, WD_TIME_OUT_EXPIRED},
      {false, kErrSemTimeout, true, WD_DEVICE_NOT_FOUND},  // the device went during the wait
      {false, kErrGenFailure, false, WD_USBD_STATUS_STALL},
      {false, kErrDeviceNotConnected, false, WD_DEVICE_NOT_FOUND},
      {false, kErrNoSuchDevice, false, WD_DEVICE_NOT_FOUND},
      {false, kErrBadCommand, false, WD_DEVICE_NOT_FOUND},
      {false, kErrFileNotFound, false, WD_DEVICE_NOT_FOUND},
      {false, kErrInvalidHandle, false, WD_DEVICE_NOT_FOUND},
      {false, kErrInvalidParameter, false, WD_INVALID_PARAMETER},
      {false, kErrNotEnoughMemory, false, WD_INSUFFICIENT_RESOURCES},
      {false, kErrNoSystemResources, false, WD_INSUFFICIENT_RESOURCES},
      {false, kErrOperationAborted, false, WD_OPERATION_FAILED},
      {false, 1117, false, WD_OPERATION_FAILED},  // I/O device error
      {false, 0, false, WD_OPERATION_FAILED},     // failed without an error number
  };
  for (const Case& c : cases) {
    EXPECT_EQ(StatusFromOutcome(c.bOk, c.uError, c.bGone), c.dwStatus)
        << "ok " << c.bOk << " error " << c.uError << " gone " << c.bGone;
    EXPECT_EQ(IsDepartureError(c.uError), !c.bOk && c.dwStatus == WD_DEVICE_NOT_FOUND && !c.bGone && c.uError != 0)
        << c.uError;
  }
}

TEST(WinUsbLogic, LocatorIdsAreReadFromInstanceIdsAndPaths) {
  struct Case {
    const char* pszId;
    bool bParsed;
    uint16_t uVendor, uProduct;
    bool bLocator;
  };
  const Case cases[] = {
      {"USB\\VID_3A7C&PID_0009\\5&2F1A3B&0&2", true, 0x3A7C, 9, true},
      {"USB\\VID_3A7C&PID_0001\\LOADER01", true, 0x3A7C, 1, true},
      {"\\\\?\\usb#vid_3a7c&pid_0009#5&2f1a3b&0&2#{021d4f27-5995-48ea-b447-d772682a716e}", true, 0x3A7C, 9, true},
      {"USB\\VID_3A7C&PID_0002\\X", true, 0x3A7C, 2, false},
      {"USB\\VID_3A7D&PID_0009\\X", true, 0x3A7D, 9, false},
      {"USB\\VID_3A7C&PID_0009&MI_00\\6&1", true, 0x3A7C, 9, true},
      {"USB\\ROOT_HUB30\\4&1", false, 0, 0, false},
      {"USB\\VID_3A7&PID_0009\\X", false, 0, 0, false},   // three digits
      {"USB\\VID_3A7C0&PID_0009\\X", false, 0, 0, false}, // five digits
      {"USB\\VID_3A7G&PID_0009\\X", false, 0, 0, false},
      {"USB\\VID_3A7C", false, 0, 0, false},
      {"", false, 0, 0, false},
  };
  for (const Case& c : cases) {
    uint16_t uVendor = 0, uProduct = 0;
    ASSERT_EQ(ParseVidPid(c.pszId, &uVendor, &uProduct), c.bParsed) << c.pszId;
    if (!c.bParsed) continue;
    EXPECT_EQ(uVendor, c.uVendor) << c.pszId;
    EXPECT_EQ(uProduct, c.uProduct) << c.pszId;
    EXPECT_EQ(IsLocator(uVendor, uProduct, 0x3A7C), c.bLocator) << c.pszId;
  }
}

TEST(WinUsbLogic, OnlyASettledLocatorCountsAsNotBound) {
  EXPECT_TRUE(IsSettledWithoutInterface(kDnStarted));                  // another driver runs it
  EXPECT_TRUE(IsSettledWithoutInterface(kDnHasProblem));               // no driver, or it failed
  EXPECT_TRUE(IsSettledWithoutInterface(kDnStarted | kDnHasProblem | 0x2));
  EXPECT_FALSE(IsSettledWithoutInterface(0));                          // still being set up
  EXPECT_FALSE(IsSettledWithoutInterface(0x2 | 0x4000));               // enumerated, not started yet
}

// A run of enumerations and what each must report, in order.
TEST(WinUsbLogic, EnumerationsReportChangesOncePerArrival) {
  const std::string A = "USB\\VID_3A7C&PID_0009\\A", B = "USB\\VID_3A7C&PID_0001\\B";
  const std::wstring pathA = L"\\\\?\\usb#a", pathA2 = L"\\\\?\\usb#a2", pathB = L"\\\\?\\usb#b";
  struct Step {
    const char* pszWhat;
    std::vector<ScanEntry> scan;
    std::vector<std::string> forget;  // before this scan
    std::vector<std::string> left;
    std::vector<std::string> arrived;
    std::vector<std::string> notBound;
  };
  const std::vector<Step> steps = {
      {"nothing present", {}, {}, {}, {}, {}},
      {"A plugged in without its driver", {{A, L""}}, {}, {}, {}, {A}},
      {"A still unbound: no second message", {{A, L""}}, {}, {}, {}, {}},
      {"driver installed: A arrives", {{A, pathA}}, {}, {}, {A}, {}},
      {"A stays", {{A, pathA}}, {}, {}, {}, {}},
      {"B arrives unbound beside A", {{A, pathA}, {B, L""}}, {}, {}, {}, {B}},
      {"B gets its driver, A listed twice", {{A, pathA}, {B, pathB}, {A, pathA}}, {}, {}, {B}, {}},
      {"A's handle failed: reported again", {{A, pathA}, {B, pathB}}, {A}, {}, {A}, {}},
      {"A's interface path changed", {{A, pathA2}, {B, pathB}}, {}, {A}, {A}, {}},
      {"A loses its driver", {{A, L""}, {B, pathB}}, {}, {A}, {}, {A}},
      {"all unplugged", {}, {}, {B}, {}, {}},
      {"A plugged in unbound again: a new message", {{A, L""}}, {}, {}, {}, {A}},
      {"forgetting an unbound locator changes nothing", {{A, L""}}, {A}, {}, {}, {}},
  };
  DeviceTracker tracker;
  for (const Step& step : steps) {
    for (const std::string& sId : step.forget) tracker.Forget(sId);
    const ScanChanges changes = tracker.Update(step.scan);
    std::vector<std::string> arrived;
    for (const ScanEntry& e : changes.arrived) arrived.push_back(e.sInstanceId);
    EXPECT_EQ(changes.left, step.left) << step.pszWhat;
    EXPECT_EQ(arrived, step.arrived) << step.pszWhat;
    EXPECT_EQ(changes.notBound, step.notBound) << step.pszWhat;
    for (const ScanEntry& e : changes.arrived) EXPECT_FALSE(e.wsPath.empty()) << step.pszWhat;
  }
}

// A locator that another program holds is retried at every listing, and the operator is
// told once per arrival.
TEST(WinUsbLogic, AnOpenFailureIsToldOncePerArrival) {
  const std::string A = "USB\\VID_3A7C&PID_0009\\A";
  const std::vector<ScanEntry> bound = {{A, L"\\\\?\\usb#a"}}, unbound = {{A, L""}};
  DeviceTracker tracker;
  struct Step {
    const char* pszWhat;
    const std::vector<ScanEntry>* pScan;
    bool bOpenFails;
    bool bTold;
  };
  const Step steps[] = {
      {"arrives, in use", &bound, true, true},
      {"retried, still in use", &bound, true, false},
      {"retried, opens", &bound, false, false},
      {"unplugged", nullptr, false, false},
      {"plugged in again, in use", &bound, true, true},
      {"driver removed", &unbound, false, false},
      {"driver back, in use", &bound, true, true},
  };
  for (const Step& step : steps) {
    const ScanChanges changes = tracker.Update(step.pScan != nullptr ? *step.pScan : std::vector<ScanEntry>{});
    if (step.pScan != &bound) continue;
    ASSERT_EQ(changes.arrived.size(), 1u) << step.pszWhat << ": a failed open is tried again";
    if (!step.bOpenFails) continue;
    EXPECT_EQ(tracker.FirstOpenFailure(A), step.bTold) << step.pszWhat;
    tracker.Forget(A);
  }
}

}  // namespace
