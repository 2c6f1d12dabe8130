// The parts of the winusb backend that need no device and no Windows: the mapping of a
// WinUSB call's outcome to a library status, the ids in a Windows device id, what a
// locator's device node says about its use, and the pipe policies an interface needs.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "platform/wdu/usb_watch.h"
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

// Wide text as ASCII ('?' for anything else): instance ids and paths are ASCII.
std::string Narrow(std::wstring_view ws);

// Device node status bits (cfgmgr32.h) and the problem codes (cfg.h) that the judgement
// of a device node tells apart.
constexpr uint32_t kDnStarted = 0x00000008;
constexpr uint32_t kDnHasProblem = 0x00000400;
constexpr uint32_t kProbNotConfigured = 1;   // Windows is still installing its driver
constexpr uint32_t kProbFailedStart = 10;
constexpr uint32_t kProbNeedRestart = 14;
constexpr uint32_t kProbWillBeRemoved = 21;  // being removed (an open handle holds it)
constexpr uint32_t kProbDisabled = 22;
constexpr uint32_t kProbFailedPostStart = 43;
constexpr uint32_t kProbHeldForEject = 47;

// What Windows says of one USB device node.
struct NodeFacts {
  std::string sInstanceId;
  uint32_t uStatus = 0;     // DN_* bits (CM_Get_DevNode_Status)
  uint32_t uProblem = 0;    // CM_PROB_* when kDnHasProblem is set
  std::string sService;     // the function driver's service (SPDRP_SERVICE), "" none
  std::string sDriverInf;   // the INF that installed its driver (DEVPKEY_Device_DriverInfPath)
  std::wstring wsOurPath;   // its present device interface of our class, "" none
  std::wstring wsUsbPath;   // its present GUID_DEVINTERFACE_USB_DEVICE interface, "" none
};

// The candidate for the device watch: key, ids, and whether and how it can be opened.
// A locator whose node has a problem is judged by the problem (codes 1 and 21 pass by
// themselves); otherwise it is opened through our interface when it has one, else, when
// it runs with the WinUSB service (Device Manager's "WinUsb Device"), through its USB
// device interface; a node not started yet, or started without its interface yet, is still
// being set up; one started under another service has another driver. The key names the
// interface path too, so that a locator that gains or changes its path is a new presence.
// False when the instance id has no vendor and product id.
bool DescribeNode(const NodeFacts& facts, UsbCandidate* pCandidate);

// WinUSB's pipe policies (winusbio.h) that the backend sets.
constexpr uint32_t kPolicyPipeTransferTimeout = 0x03;  // ULONG, ms
constexpr uint32_t kPolicyAutoFlush = 0x06;            // UCHAR
constexpr uint8_t kInPipe = 0x82;

struct PipePolicySetting {
  uint8_t uPipe;
  uint32_t uPolicy;
  uint32_t uValue;
  uint32_t uBytes;  // the size of the value WinUSB takes for the policy
};

// Which pipe policies a WinUSB interface still needs. WinUsb_Initialize, and the selection
// of an alternate setting, leave WinUSB's defaults: partial reads allowed and no flush, so
// that the surplus of an answer longer than asked for would be kept and start the next
// read. AUTO_FLUSH on the IN pipe drops it. The transfer time-out is set on a pipe before
// the first transfer that needs another one.
class PipePolicies {
 public:
  // After WinUsb_Initialize or an alternate setting was selected: forgets what was set and
  // returns what to set at once.
  std::vector<PipePolicySetting> Reset();
  // What a transfer on the pipe with the time-out must set first.
  std::vector<PipePolicySetting> Before(uint8_t uPipe, uint32_t uTimeoutMs) const;
  // A setting that WinUSB took.
  void Applied(const PipePolicySetting& setting);

 private:
  std::map<uint8_t, uint32_t> timeouts_;  // the PIPE_TRANSFER_TIMEOUT set on each pipe
};

}  // namespace winusb
