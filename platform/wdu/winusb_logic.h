// The parts of the winusb backend that need no device and no Windows: the mapping of a
// WinUSB call's outcome to a library status, the locator ids in a Windows device id, and
// the difference between two enumerations (arrivals, departures, and locators present
// but not bound to WinUSB, each reported once per arrival).
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdu/wdu.h"

namespace winusb {

// Windows error numbers (winerror.h) that a WinUSB transfer reports.
constexpr uint32_t kErrFileNotFound = 2;
constexpr uint32_t kErrAccessDenied = 5;  // opening a device that another program holds
constexpr uint32_t kErrInvalidHandle = 6;
constexpr uint32_t kErrNotEnoughMemory = 8;
constexpr uint32_t kErrBadCommand = 22;
constexpr uint32_t kErrGenFailure = 31;
constexpr uint32_t kErrInvalidParameter = 87;
constexpr uint32_t kErrSemTimeout = 121;
constexpr uint32_t kErrNoSuchDevice = 433;
constexpr uint32_t kErrOperationAborted = 995;
constexpr uint32_t kErrDeviceNotConnected = 1167;
constexpr uint32_t kErrNoSystemResources = 1450;
constexpr uint32_t kErrTimeout = 1460;

// True for the errors with which WinUSB reports a device that has gone.
bool IsDepartureError(uint32_t uError);

// The library status of a transfer or selection: bSucceeded and the thread's last error
// after the call, and whether the device is already known to have gone. A stall (WinUSB
// says "general failure") is WD_USBD_STATUS_STALL; a failure that left no error number
// is still a failure.
DWORD StatusFromOutcome(bool bSucceeded, uint32_t uError, bool bDeviceGone);

// Reads VID_xxxx and PID_xxxx (any case) from a device instance id, hardware id or
// device interface path. False when either is missing or not four hexadecimal digits.
bool ParseVidPid(std::string_view sId, uint16_t* puVendor, uint16_t* puProduct);

// A locator or its DSP board: the registrations' vendor id (WduSink::wVendorId) with
// product id 9 or 1, the two that the driver package binds to WinUSB.
bool IsLocator(uint16_t uVendor, uint16_t uProduct, uint16_t wWantedVendor);

// Device node status bits (cfgmgr32.h).
constexpr uint32_t kDnStarted = 0x00000008;
constexpr uint32_t kDnHasProblem = 0x00000400;

// Whether a locator without an interface of our class has settled: it runs with another
// driver, or Windows gave up on it (no driver found, a failed start, ...). A locator that
// has neither started nor failed is still being set up by Windows, and may yet come up
// with WinUSB: it is listed again later rather than reported.
bool IsSettledWithoutInterface(uint32_t uNodeStatus);

// One locator seen by an enumeration: its device instance id, and the path of its
// device interface of our class when it is bound to WinUSB (empty when it is not).
struct ScanEntry {
  std::string sInstanceId;
  std::wstring wsPath;
};

struct ScanChanges {
  std::vector<std::string> left;       // instance ids of bound locators that went
  std::vector<ScanEntry> arrived;      // bound locators to open and report
  std::vector<std::string> notBound;   // locators newly present without WinUSB
};

// Remembers the last enumeration and tells what changed. A locator whose driver changes
// while it stays plugged in leaves as a bound device and comes back as an unbound one (or
// the other way round).
class DeviceTracker {
 public:
  ScanChanges Update(const std::vector<ScanEntry>& scan);
  // Forgets a bound locator, so that the next enumeration that lists it reports it again
  // (a device whose open failed, or whose handle stopped working).
  void Forget(const std::string& sInstanceId);
  // True the first time a bound locator cannot be opened since it arrived, so that the
  // operator is told once, not at every retry.
  bool FirstOpenFailure(const std::string& sInstanceId);
  void Clear() {
    m_last.clear();
    m_openFailed.clear();
  }

 private:
  std::map<std::string, std::wstring> m_last;  // instance id -> path ("" not bound)
  std::set<std::string> m_openFailed;          // bound, listed, and told once
};

}  // namespace winusb
