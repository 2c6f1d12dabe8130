// The winusb backend's device-independent logic: how a WinUSB call's outcome becomes a
// library status, the ids in Windows device ids, and the pipe policies an interface gets.
// What a device node says about a locator's use is judged in the device watch's table
// (test_usb_watch.cpp).
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

TEST(WinUsbLogic, IdsAreReadFromInstanceIdsAndPaths) {
  struct Case {
    const char* pszId;
    bool bParsed;
    uint16_t uVendor, uProduct;
  };
  const Case cases[] = {
      {"USB\\VID_3A7C&PID_0009\\5&2F1A3B&0&2", true, 0x3A7C, 9},
      {"\\\\?\\usb#vid_3a7c&pid_0009#5&2f1a3b&0&2#{021d4f27-5995-48ea-b447-d772682a716e}", true, 0x3A7C, 9},
      {"USB\\VID_3A7D&PID_0002\\X", true, 0x3A7D, 2},
      {"USB\\VID_3A7C&PID_0009&MI_00\\6&1", true, 0x3A7C, 9},
      {"USB\\ROOT_HUB30\\4&1", false, 0, 0},
      {"USB\\VID_3A7&PID_0009\\X", false, 0, 0},   // three digits
      {"USB\\VID_3A7C0&PID_0009\\X", false, 0, 0}, // five digits
      {"USB\\VID_3A7G&PID_0009\\X", false, 0, 0},
      {"USB\\VID_3A7C", false, 0, 0},
      {"", false, 0, 0},
  };
  for (const Case& c : cases) {
    uint16_t uVendor = 0, uProduct = 0;
    ASSERT_EQ(ParseVidPid(c.pszId, &uVendor, &uProduct), c.bParsed) << c.pszId;
    if (!c.bParsed) continue;
    EXPECT_EQ(uVendor, c.uVendor) << c.pszId;
    EXPECT_EQ(uProduct, c.uProduct) << c.pszId;
  }
}

// Surplus bytes of an IN transfer are dropped from the first transfer on, again after an
// alternate setting is selected, and each transfer's time-out is on its pipe before it
// runs.
TEST(WinUsbLogic, PipePoliciesDropSurplusAndFollowEachTimeout) {
  const PipePolicySetting kFlush{kInPipe, kPolicyAutoFlush, 1, 1};  // UCHAR TRUE
  auto Timeout = [](uint8_t uPipe, uint32_t uMs) { return PipePolicySetting{uPipe, kPolicyPipeTransferTimeout, uMs, 4}; };
  struct Step {
    const char* pszWhat;
    bool bReset;  // WinUsb_Initialize or an alternate setting; else a transfer
    uint8_t uPipe;
    uint32_t uTimeoutMs;
    std::vector<PipePolicySetting> expected;
  };
  const std::vector<Step> steps = {
      {"initialised", true, 0, 0, {kFlush}},
      {"first OUT", false, 0x02, 3000, {Timeout(0x02, 3000)}},
      {"first IN", false, kInPipe, 3000, {Timeout(kInPipe, 3000)}},
      {"same time-out again", false, kInPipe, 3000, {}},
      {"a shorter time-out", false, kInPipe, 50, {Timeout(kInPipe, 50)}},
      {"alternate setting selected", true, 0, 0, {kFlush}},
      {"OUT after it: set again", false, 0x02, 3000, {Timeout(0x02, 3000)}},
  };
  PipePolicies policies;
  for (const Step& step : steps) {
    const std::vector<PipePolicySetting> got =
        step.bReset ? policies.Reset() : policies.Before(step.uPipe, step.uTimeoutMs);
    ASSERT_EQ(got.size(), step.expected.size()) << step.pszWhat;
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].uPipe, step.expected[i].uPipe) << step.pszWhat;
      EXPECT_EQ(got[i].uPolicy, step.expected[i].uPolicy) << step.pszWhat;
      EXPECT_EQ(got[i].uValue, step.expected[i].uValue) << step.pszWhat;
      EXPECT_EQ(got[i].uBytes, step.expected[i].uBytes) << step.pszWhat;
      policies.Applied(got[i]);
    }
  }
}

}  // namespace
