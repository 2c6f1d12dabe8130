// The backend for real locators on Windows: SetupAPI and cfgmgr32 find them, WinUSB
// moves the data. No driver of our own: the locator is bound to Windows' WinUSB driver by
// the INF of packaging/windows, which also gives it our device interface class, or by
// Device Manager's "WinUsb Device", which gives it none.
//
// The device watch (UsbWatch) does arrivals, departures, looks again at a locator not
// usable yet and tells the operator why; this backend lists the locators' device nodes and
// what Windows says of each (winusb::DescribeNode), opens them, and wakes the watch when
// Windows reports a device change (CM_Register_Notification, Windows 8 and later, looked
// up at run time; without it the watch lists about four times a second).
//
// Opening: CreateFile on the interface path (ours, else the USB device interface), then
// WinUsb_Initialize, the device descriptor and the IN pipe's AUTO_FLUSH. Transfers run
// synchronously on the caller's thread with the pipe's PIPE_TRANSFER_TIMEOUT set to the
// transfer's time-out. A device record is shared between the watch and running transfers,
// so its handles are closed only once the last user is done.
#undef _WIN32_WINNT
#undef WINVER
#define _WIN32_WINNT 0x0602  // the declarations of CM_Register_Notification; loaded at run time
#define WINVER 0x0602

#include <windows.h>
#include <cfgmgr32.h>
#include <devpropdef.h>
#include <setupapi.h>
#include <winusb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/wdu/backend.h"
#include "platform/wdu/usb_watch.h"
#include "platform/wdu/winusb_logic.h"

// The logic's copies of Windows' numbers, held to the headers.
static_assert(winusb::kErrAccessDenied == ERROR_ACCESS_DENIED && winusb::kErrSemTimeout == ERROR_SEM_TIMEOUT &&
              winusb::kErrGenFailure == ERROR_GEN_FAILURE && winusb::kErrDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED &&
              winusb::kErrBadCommand == ERROR_BAD_COMMAND && winusb::kErrFileNotFound == ERROR_FILE_NOT_FOUND &&
              winusb::kErrOperationAborted == ERROR_OPERATION_ABORTED && winusb::kErrTimeout == ERROR_TIMEOUT &&
              winusb::kErrNoSystemResources == ERROR_NO_SYSTEM_RESOURCES);
static_assert(winusb::kDnStarted == DN_STARTED && winusb::kDnHasProblem == DN_HAS_PROBLEM);
static_assert(winusb::kProbNotConfigured == CM_PROB_NOT_CONFIGURED && winusb::kProbFailedStart == CM_PROB_FAILED_START &&
              winusb::kProbNeedRestart == CM_PROB_NEED_RESTART && winusb::kProbWillBeRemoved == CM_PROB_WILL_BE_REMOVED &&
              winusb::kProbDisabled == CM_PROB_DISABLED && winusb::kProbFailedPostStart == CM_PROB_FAILED_POST_START &&
              winusb::kProbHeldForEject == CM_PROB_HELD_FOR_EJECT);
static_assert(winusb::kPolicyPipeTransferTimeout == PIPE_TRANSFER_TIMEOUT && winusb::kPolicyAutoFlush == AUTO_FLUSH);

namespace {

// The device interface class that vx_locator.inf gives the locators.
constexpr GUID kLocatorInterface = {0x021d4f27, 0x5995, 0x48ea, {0xb4, 0x47, 0xd7, 0x72, 0x68, 0x2a, 0x71, 0x6e}};
// GUID_DEVINTERFACE_USB_DEVICE: the hub driver's interface of every USB device.
constexpr GUID kUsbDeviceInterface = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};
// DEVPKEY_Device_DriverInfPath (devpkey.h): the INF that installed the device's driver.
constexpr DEVPROPKEY kDriverInfPath = {
    {0xa8b865dd, 0x2e3d, 0x4094, {0xad, 0x97, 0xe5, 0x93, 0xa7, 0x0c, 0x75, 0xd6}}, 5};

constexpr UCHAR kDeviceDescriptorType = 1;

using RegisterNotificationFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterNotificationFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

struct Device {
  uint64_t uId = 0;
  HANDLE hFile = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE hUsb = nullptr;
  std::atomic<bool> bGone{false};
  std::mutex mtxPolicy;
  winusb::PipePolicies policies;  // guarded by mtxPolicy

  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() {
    if (hUsb != nullptr) WinUsb_Free(hUsb);
    if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
  }
};

struct WinUsbContext {
  std::mutex mtx;  // guards watch and devices
  std::unique_ptr<UsbWatch> watch;
  std::map<uint64_t, std::shared_ptr<Device>> devices;  // opened and not yet closed
  uint16_t wVendorId = 0;
  std::vector<HCMNOTIFICATION> notifications;  // the watch thread's (Start and Stop)
};

std::wstring InstanceId(HDEVINFO hSet, SP_DEVINFO_DATA* pInfo) {
  wchar_t awcId[MAX_DEVICE_ID_LEN + 1] = {};
  if (!SetupDiGetDeviceInstanceIdW(hSet, pInfo, awcId, MAX_DEVICE_ID_LEN + 1, nullptr)) return {};
  return awcId;
}

// The first present interface of the class on the device, "" when it has none.
std::wstring InterfacePath(const GUID& guid, const std::wstring& wsInstanceId) {
  GUID classGuid = guid;
  std::wstring wsId = wsInstanceId;
  for (int nTry = 0; nTry < 3; ++nTry) {  // an interface may come between the size and the list
    ULONG ulChars = 0;
    if (CM_Get_Device_Interface_List_SizeW(&ulChars, &classGuid, wsId.data(), CM_GET_DEVICE_INTERFACE_LIST_PRESENT) !=
            CR_SUCCESS ||
        ulChars <= 1) {
      return {};
    }
    std::vector<wchar_t> list(ulChars, L'\0');
    const CONFIGRET cr = CM_Get_Device_Interface_ListW(&classGuid, wsId.data(), list.data(), ulChars,
                                                       CM_GET_DEVICE_INTERFACE_LIST_PRESENT);
    if (cr == CR_BUFFER_SMALL) continue;
    if (cr != CR_SUCCESS) return {};
    list.back() = L'\0';
    return list.data();
  }
  return {};
}

std::string ServiceOf(HDEVINFO hSet, SP_DEVINFO_DATA* pInfo) {
  wchar_t awc[256] = {};
  DWORD dwType = 0;
  if (!SetupDiGetDeviceRegistryPropertyW(hSet, pInfo, SPDRP_SERVICE, &dwType, reinterpret_cast<PBYTE>(awc),
                                         sizeof awc - sizeof(wchar_t), nullptr) ||
      dwType != REG_SZ) {
    return {};  // no function driver
  }
  return winusb::Narrow(awc);
}

std::string DriverInfOf(HDEVINFO hSet, SP_DEVINFO_DATA* pInfo) {
  wchar_t awc[MAX_PATH] = {};
  DEVPROPTYPE type = 0;
  if (!SetupDiGetDevicePropertyW(hSet, pInfo, &kDriverInfPath, &type, reinterpret_cast<PBYTE>(awc),
                                 sizeof awc - sizeof(wchar_t), nullptr, 0) ||
      type != DEVPROP_TYPE_STRING) {
    return {};
  }
  return winusb::Narrow(awc);
}

// Every present device node of the vendor, with what Windows says of it. The node's status
// is read before its interfaces, so that a locator starting meanwhile shows as starting.
bool ListLocators(uint16_t wVendor, std::vector<UsbCandidate>* pNow) {
  HDEVINFO hSet = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (hSet == INVALID_HANDLE_VALUE) return false;
  for (DWORD i = 0;; ++i) {
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiEnumDeviceInfo(hSet, i, &info)) break;
    const std::wstring wsId = InstanceId(hSet, &info);
    winusb::NodeFacts facts;
    facts.sInstanceId = winusb::Narrow(wsId);
    uint16_t uVendor = 0, uProduct = 0;
    if (!winusb::ParseVidPid(facts.sInstanceId, &uVendor, &uProduct) || uVendor != wVendor) continue;
    ULONG ulStatus = 0, ulProblem = 0;
    if (CM_Get_DevNode_Status(&ulStatus, &ulProblem, info.DevInst, 0) != CR_SUCCESS) continue;  // gone meanwhile
    facts.uStatus = ulStatus;
    facts.uProblem = ulProblem;
    facts.sService = ServiceOf(hSet, &info);
    facts.wsOurPath = InterfacePath(kLocatorInterface, wsId);
    facts.wsUsbPath = InterfacePath(kUsbDeviceInterface, wsId);
    UsbCandidate c;
    if (!winusb::DescribeNode(facts, &c)) continue;
    if (c.eListed == UsbState::kOtherDriver) {
      facts.sDriverInf = DriverInfOf(hSet, &info);
      winusb::DescribeNode(facts, &c);
    }
    pNow->push_back(std::move(c));
  }
  SetupDiDestroyDeviceInfoList(hSet);
  return true;
}

// Applies pipe policies; false (the thread's last error set) at the first that WinUSB refuses.
bool ApplyPolicies(Device& device, const std::vector<winusb::PipePolicySetting>& settings) {
  for (const winusb::PipePolicySetting& s : settings) {
    UCHAR ucValue = static_cast<UCHAR>(s.uValue);
    ULONG ulValue = s.uValue;
    void* pValue = s.uBytes == sizeof ucValue ? static_cast<void*>(&ucValue) : static_cast<void*>(&ulValue);
    if (!WinUsb_SetPipePolicy(device.hUsb, s.uPipe, s.uPolicy, s.uBytes, pValue)) return false;
    device.policies.Applied(s);
  }
  return true;
}

std::string WindowsError(const char* pszCall, DWORD dwError) {
  char sz[96];
  std::snprintf(sz, sizeof sz, "%s: Windows error %lu", pszCall, static_cast<unsigned long>(dwError));
  return sz;
}

// Opens a locator through its interface path and reads its device descriptor.
UsbState OpenDevice(const UsbCandidate& c, Device* pDevice, WDU_DEVICE_DESCRIPTOR* pDescriptor, std::string* psWhy) {
  pDevice->hFile = CreateFileW(c.wsPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (pDevice->hFile == INVALID_HANDLE_VALUE) {
    const DWORD dwError = GetLastError();
    if (dwError == winusb::kErrAccessDenied) return UsbState::kBusy;  // WinUSB takes one handle at a time
    if (winusb::IsDepartureError(dwError)) return UsbState::kGone;
    *psWhy = WindowsError("CreateFile", dwError);
    return UsbState::kFailed;
  }
  if (!WinUsb_Initialize(pDevice->hFile, &pDevice->hUsb)) {
    *psWhy = WindowsError("WinUsb_Initialize", GetLastError());
    pDevice->hUsb = nullptr;
    return UsbState::kFailed;
  }
  {
    std::lock_guard<std::mutex> lk(pDevice->mtxPolicy);
    if (!ApplyPolicies(*pDevice, pDevice->policies.Reset())) {
      *psWhy = WindowsError("WinUsb_SetPipePolicy", GetLastError());
      return UsbState::kFailed;
    }
  }
  static_assert(sizeof(WDU_DEVICE_DESCRIPTOR) == 18, "the descriptor's wire layout");
  uint8_t abDescriptor[18] = {};
  ULONG ulLength = 0;
  if (!WinUsb_GetDescriptor(pDevice->hUsb, kDeviceDescriptorType, 0, 0, abDescriptor, sizeof abDescriptor,
                            &ulLength)) {
    *psWhy = WindowsError("WinUsb_GetDescriptor", GetLastError());
    return UsbState::kFailed;
  }
  if (ulLength != sizeof abDescriptor) {
    char sz[64];
    std::snprintf(sz, sizeof sz, "WinUsb_GetDescriptor: %lu of 18 bytes", static_cast<unsigned long>(ulLength));
    *psWhy = sz;
    return UsbState::kFailed;
  }
  std::memcpy(pDescriptor, abDescriptor, sizeof abDescriptor);  // little-endian, as on the wire
  // Another device behind the path than the listing named: a re-plug overtook the listing.
  if (pDescriptor->idVendor != c.wVendorId || pDescriptor->idProduct != c.wProductId) return UsbState::kGone;
  return UsbState::kOpened;
}

DWORD CALLBACK OnNotification(HCMNOTIFICATION, PVOID pCtx, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.watch) c.watch->Wake();  // the watch thread does the work
  return ERROR_SUCCESS;
}

UnregisterNotificationFn UnregisterFn() {
  HMODULE hCfg = GetModuleHandleW(L"cfgmgr32.dll");
  return hCfg == nullptr ? nullptr
                         : reinterpret_cast<UnregisterNotificationFn>(
                               reinterpret_cast<void*>(GetProcAddress(hCfg, "CM_Unregister_Notification")));
}

void UnregisterNotifications(WinUsbContext& c) {
  const UnregisterNotificationFn pfUnregister = UnregisterFn();
  if (pfUnregister != nullptr) {
    for (HCMNOTIFICATION h : c.notifications) pfUnregister(h);  // waits for a running callback
  }
  c.notifications.clear();
}

// Asks for notifications on every device node (a node that starts, stops or changes its
// driver) and on the two interface classes a locator is opened through (which come up
// after their node has started). False, with nothing registered, where cfgmgr32 lacks
// them (before Windows 8; Wine).
bool RegisterNotifications(WinUsbContext& c) {
  HMODULE hCfg = LoadLibraryW(L"cfgmgr32.dll");
  if (hCfg == nullptr) return false;
  auto pfRegister = reinterpret_cast<RegisterNotificationFn>(
      reinterpret_cast<void*>(GetProcAddress(hCfg, "CM_Register_Notification")));
  if (pfRegister == nullptr || UnregisterFn() == nullptr) return false;
  std::vector<CM_NOTIFY_FILTER> filters(3);
  for (CM_NOTIFY_FILTER& f : filters) f.cbSize = sizeof f;
  filters[0].Flags = CM_NOTIFY_FILTER_FLAG_ALL_DEVICE_INSTANCES;  // InstanceId stays empty
  filters[0].FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINSTANCE;
  filters[1].FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filters[1].u.DeviceInterface.ClassGuid = kLocatorInterface;
  filters[2].FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
  filters[2].u.DeviceInterface.ClassGuid = kUsbDeviceInterface;
  for (CM_NOTIFY_FILTER& f : filters) {
    HCMNOTIFICATION hNotify = nullptr;
    if (pfRegister(&f, &c, &OnNotification, &hNotify) != CR_SUCCESS) {
      UnregisterNotifications(c);
      return false;
    }
    c.notifications.push_back(hNotify);
  }
  return true;
}

// ---- The watch's bus ----

bool WatchStart(void* pCtx, UsbListing* peListing) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  *peListing = RegisterNotifications(c) ? UsbListing::kOnWake : UsbListing::kPoll;
  return true;
}

bool WatchScan(void* pCtx, std::vector<UsbCandidate>* pNow) {
  return ListLocators(static_cast<WinUsbContext*>(pCtx)->wVendorId, pNow);
}

UsbState WatchOpen(void* pCtx, const UsbCandidate& cand, uint64_t uId, WDU_DEVICE_DESCRIPTOR* pDescriptor,
                   std::string* psWhy) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  auto pDevice = std::make_shared<Device>();
  pDevice->uId = uId;
  const UsbState e = OpenDevice(cand, pDevice.get(), pDescriptor, psWhy);
  if (e != UsbState::kOpened) return e;  // the record closes its handles
  std::lock_guard<std::mutex> lk(c.mtx);
  c.devices.emplace(uId, std::move(pDevice));
  return e;
}

void WatchClose(void* pCtx, uint64_t uId) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  std::shared_ptr<Device> pDevice;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    auto it = c.devices.find(uId);
    if (it == c.devices.end()) return;
    pDevice = std::move(it->second);
    c.devices.erase(it);
  }
  pDevice->bGone = true;
  // A transfer still running ends now; the handles close with its last reference.
  WinUsb_AbortPipe(pDevice->hUsb, 0x02);
  WinUsb_AbortPipe(pDevice->hUsb, winusb::kInPipe);
}

void WatchDrop(void*, void*) {}

void WatchStop(void* pCtx) { UnregisterNotifications(*static_cast<WinUsbContext*>(pCtx)); }

// ---- The backend ----

DWORD WinUsbOpen(void* pCtx, const WduSink* pSink) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  if (pSink == nullptr) return WD_INVALID_PARAMETER;
  UsbWatch* pWatch = nullptr;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (c.watch) return WD_OPERATION_FAILED;  // one layer at a time
    c.wVendorId = pSink->wVendorId;
    c.watch = std::make_unique<UsbWatch>(
        UsbWatchOps{&c, &WatchStart, &WatchScan, &WatchOpen, &WatchClose, &WatchDrop, &WatchStop},
        UsbWatchTiming{});
    pWatch = c.watch.get();
  }
  pWatch->Start(*pSink);
  return WD_STATUS_SUCCESS;
}

void WinUsbClose(void* pCtx) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  std::unique_ptr<UsbWatch> pWatch;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    pWatch = std::move(c.watch);  // late failures and notifications find no watch
  }
  if (pWatch) pWatch->Stop();  // closes every opened device
}

void WinUsbRematch(void* pCtx) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.watch) c.watch->Rematch();
}

std::shared_ptr<Device> FindDevice(WinUsbContext& c, uint64_t uDeviceId) {
  std::lock_guard<std::mutex> lk(c.mtx);
  auto it = c.devices.find(uDeviceId);
  return it == c.devices.end() ? nullptr : it->second;
}

// After a call failed as a departed device does: the watch ends that presence and, if the
// device is still listed, opens it again as a new arrival.
void NoteFailure(WinUsbContext& c, Device& device, DWORD dwError) {
  if (!winusb::IsDepartureError(dwError) || device.bGone.exchange(true)) return;
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.watch) c.watch->Lost(device.uId);
}

DWORD WinUsbSetInterface(void* pCtx, uint64_t uDeviceId, DWORD dwInterface, DWORD dwAltSetting) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  std::shared_ptr<Device> pDevice = FindDevice(c, uDeviceId);
  if (pDevice == nullptr || pDevice->bGone) return WD_DEVICE_NOT_FOUND;
  if (dwInterface != 0 || dwAltSetting > 0xFF) return WD_INVALID_PARAMETER;  // the locator has one interface
  BOOL bOk = FALSE;
  {
    // The setting's pipes start from WinUSB's policies again.
    std::lock_guard<std::mutex> lk(pDevice->mtxPolicy);
    bOk = WinUsb_SetCurrentAlternateSetting(pDevice->hUsb, static_cast<UCHAR>(dwAltSetting));
    const std::vector<winusb::PipePolicySetting> fresh = pDevice->policies.Reset();
    if (bOk) bOk = ApplyPolicies(*pDevice, fresh);
  }
  const DWORD dwError = bOk ? 0 : GetLastError();
  NoteFailure(c, *pDevice, dwError);
  return winusb::StatusFromOutcome(bOk != FALSE, dwError, pDevice->bGone);
}

DWORD WinUsbTransfer(void* pCtx, uint64_t uDeviceId, DWORD dwPipe, bool bRead, DWORD /*dwOptions*/, uint8_t* pBuffer,
                     DWORD dwBytes, DWORD* pdwMoved, DWORD dwTimeoutMs) {
  auto& c = *static_cast<WinUsbContext*>(pCtx);
  *pdwMoved = 0;
  std::shared_ptr<Device> pDevice = FindDevice(c, uDeviceId);
  if (pDevice == nullptr || pDevice->bGone) return WD_DEVICE_NOT_FOUND;
  const UCHAR uPipe = static_cast<UCHAR>(dwPipe);
  {
    std::lock_guard<std::mutex> lk(pDevice->mtxPolicy);
    if (!ApplyPolicies(*pDevice, pDevice->policies.Before(uPipe, dwTimeoutMs))) {
      const DWORD dwError = GetLastError();
      NoteFailure(c, *pDevice, dwError);
      return winusb::StatusFromOutcome(false, dwError, pDevice->bGone);
    }
  }
  ULONG ulMoved = 0;
  const BOOL bOk = bRead ? WinUsb_ReadPipe(pDevice->hUsb, uPipe, pBuffer, dwBytes, &ulMoved, nullptr)
                         : WinUsb_WritePipe(pDevice->hUsb, uPipe, pBuffer, dwBytes, &ulMoved, nullptr);
  const DWORD dwError = bOk ? 0 : GetLastError();
  *pdwMoved = ulMoved;
  const DWORD dwStatus = winusb::StatusFromOutcome(bOk != FALSE, dwError, pDevice->bGone);
  if (dwStatus == WD_USBD_STATUS_STALL) WinUsb_ResetPipe(pDevice->hUsb, uPipe);  // clears the halt
  NoteFailure(c, *pDevice, dwError);
  return dwStatus;
}

}  // namespace

const WduBackend* WduWinUsbBackend() {
  static WinUsbContext* pContext = new WinUsbContext;  // never destroyed: lives as long as the layer
  static const WduBackend backend{"winusb",           pContext,         &WinUsbOpen,   &WinUsbClose,
                                  &WinUsbSetInterface, &WinUsbTransfer, &WinUsbRematch};
  return &backend;
}
