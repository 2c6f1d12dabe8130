// The device-independent parts of the winusb backend (see winusb_logic.h).
#include "platform/wdu/winusb_logic.h"

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

bool IsLocator(uint16_t uVendor, uint16_t uProduct, uint16_t wWantedVendor) {
  return uVendor == wWantedVendor && (uProduct == 1 || uProduct == 9);
}

bool IsSettledWithoutInterface(uint32_t uNodeStatus) { return (uNodeStatus & (kDnStarted | kDnHasProblem)) != 0; }

ScanChanges DeviceTracker::Update(const std::vector<ScanEntry>& scan) {
  ScanChanges changes;
  std::map<std::string, std::wstring> now;
  for (const ScanEntry& e : scan) now.emplace(e.sInstanceId, e.wsPath);  // the first listing wins
  for (const auto& [sId, wsPath] : m_last) {
    auto it = now.find(sId);
    if (!wsPath.empty() && (it == now.end() || it->second != wsPath)) changes.left.push_back(sId);
  }
  for (const auto& [sId, wsPath] : now) {
    auto it = m_last.find(sId);
    const bool bSame = it != m_last.end() && it->second == wsPath;
    if (bSame) continue;
    if (wsPath.empty()) {
      changes.notBound.push_back(sId);
    } else {
      changes.arrived.push_back(ScanEntry{sId, wsPath});
    }
  }
  m_last = std::move(now);
  std::erase_if(m_openFailed, [&](const std::string& sId) {
    auto it = m_last.find(sId);
    return it == m_last.end() || it->second.empty();
  });
  return changes;
}

bool DeviceTracker::FirstOpenFailure(const std::string& sInstanceId) {
  return m_openFailed.insert(sInstanceId).second;
}

void DeviceTracker::Forget(const std::string& sInstanceId) {
  auto it = m_last.find(sInstanceId);
  if (it != m_last.end() && !it->second.empty()) m_last.erase(it);
}

}  // namespace winusb
