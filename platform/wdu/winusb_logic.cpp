// The device-independent parts of the winusb backend (see winusb_logic.h).
#include "platform/wdu/winusb_logic.h"

#include <algorithm>
#include <cctype>

namespace winusb {

namespace {

// The four hexadecimal digits after the first "<tag>" (any case) in sId.
bool HexAfter(std::string_view sId, std::string_view sTag, uint16_t* puValue) {
  for (size_t i = 0; i + sTag.size() + 4 <= sId.size(); ++i) {
    bool bTag = true;
    for (size_t k = 0; k < sTag.size() && bTag; ++k) {
      bTag = std::toupper(static_cast<unsigned char>(sId[i + k])) == sTag[k];
    }
    if (!bTag) continue;
    uint32_t uValue = 0;
    for (size_t k = 0; k < 4; ++k) {
      const int c = std::toupper(static_cast<unsigned char>(sId[i + sTag.size() + k]));
      if (!std::isxdigit(c)) return false;
      uValue = uValue * 16 + static_cast<uint32_t>(c <= '9' ? c - '0' : c - 'A' + 10);
    }
    // "VID_12345" is not a four-digit id.
    const size_t uAfter = i + sTag.size() + 4;
    if (uAfter < sId.size() && std::isxdigit(static_cast<unsigned char>(sId[uAfter]))) return false;
    *puValue = static_cast<uint16_t>(uValue);
    return true;
  }
  return false;
}

}  // namespace

bool IsDepartureError(uint32_t uError) {
  switch (uError) {
    case kErrFileNotFound:
    case kErrInvalidHandle:
    case kErrBadCommand:
    case kErrNoSuchDevice:
    case kErrDeviceNotConnected:
      return true;
    default:
      return false;
  }
}

DWORD StatusFromOutcome(bool bSucceeded, uint32_t uError, bool bDeviceGone) {
  if (bSucceeded) return WD_STATUS_SUCCESS;
  if (bDeviceGone || IsDepartureError(uError)) return WD_DEVICE_NOT_FOUND;
  switch (uError) {
    case kErrSemTimeout:
    case kErrTimeout:
      return WD_TIME_OUT_EXPIRED;
    case kErrGenFailure:
      return WD_USBD_STATUS_STALL;
    case kErrInvalidParameter:
      return WD_INVALID_PARAMETER;
    case kErrNotEnoughMemory:
    case kErrNoSystemResources:
      return WD_INSUFFICIENT_RESOURCES;
    default:
      return WD_OPERATION_FAILED;  // aborted, I/O device error, no error number, ...
  }
}

bool ParseVidPid(std::string_view sId, uint16_t* puVendor, uint16_t* puProduct) {
  uint16_t uVendor = 0, uProduct = 0;
  if (!HexAfter(sId, "VID_", &uVendor) || !HexAfter(sId, "PID_", &uProduct)) return false;
  *puVendor = uVendor;
  *puProduct = uProduct;
  return true;
}

std::string Narrow(std::wstring_view ws) {
  std::string s;
  for (wchar_t wc : ws) s.push_back(wc > 0 && wc < 0x80 ? static_cast<char>(wc) : '?');
  return s;
}

namespace {

bool SameText(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return std::toupper(static_cast<unsigned char>(x)) == std::toupper(static_cast<unsigned char>(y));
         });
}

UsbState ProblemState(uint32_t uProblem) {
  switch (uProblem) {
    case kProbNotConfigured:
    case kProbWillBeRemoved: return UsbState::kSettingUp;
    case kProbDisabled: return UsbState::kDisabled;
    case kProbNeedRestart: return UsbState::kNeedsRestart;
    case kProbFailedStart:
    case kProbFailedPostStart:
    case kProbHeldForEject: return UsbState::kNotStarted;
    default: return UsbState::kNoDriver;  // 28 none installed, 52 unsigned, 31, 37, 39, ... a driver that fails
  }
}

}  // namespace

bool DescribeNode(const NodeFacts& f, UsbCandidate* pc) {
  UsbCandidate c;
  if (!ParseVidPid(f.sInstanceId, &c.wVendorId, &c.wProductId)) return false;
  if ((f.uStatus & kDnHasProblem) != 0) {
    c.eListed = ProblemState(f.uProblem);
    c.uProblem = f.uProblem;
  } else if (!f.wsOurPath.empty()) {
    c.wsPath = f.wsOurPath;
  } else if ((f.uStatus & kDnStarted) == 0) {
    c.eListed = UsbState::kSettingUp;
  } else if (SameText(f.sService, "WinUSB")) {
    c.wsPath = f.wsUsbPath;
    if (c.wsPath.empty()) c.eListed = UsbState::kSettingUp;  // its interface is not enabled yet
  } else if (!f.sService.empty()) {
    c.eListed = UsbState::kOtherDriver;
    c.sService = f.sService;
    // pnputil deletes only packages of the driver store ("oem<n>.inf"), not Windows' own.
    const bool bStore = f.sDriverInf.size() > 7 && SameText(f.sDriverInf.substr(0, 3), "oem") &&
                        SameText(f.sDriverInf.substr(f.sDriverInf.size() - 4), ".inf");
    if (bStore) c.sDriverInf = f.sDriverInf;
  } else {
    c.eListed = UsbState::kSettingUp;  // started without a function driver: not a settled state
  }
  c.sKey = f.sInstanceId + "#" + Narrow(c.wsPath);
  *pc = std::move(c);
  return true;
}

std::vector<PipePolicySetting> PipePolicies::Reset() {
  timeouts_.clear();
  return {PipePolicySetting{kInPipe, kPolicyAutoFlush, 1, 1}};
}

std::vector<PipePolicySetting> PipePolicies::Before(uint8_t uPipe, uint32_t uTimeoutMs) const {
  auto it = timeouts_.find(uPipe);
  if (it != timeouts_.end() && it->second == uTimeoutMs) return {};
  return {PipePolicySetting{uPipe, kPolicyPipeTransferTimeout, uTimeoutMs, 4}};
}

void PipePolicies::Applied(const PipePolicySetting& setting) {
  if (setting.uPolicy == kPolicyPipeTransferTimeout) timeouts_[setting.uPipe] = setting.uValue;
}

}  // namespace winusb
