// The backend for real locators on Windows: SetupAPI and cfgmgr32 find them, WinUSB
// moves the data. No driver of our own: the locator is bound to Windows' WinUSB driver by
// the INF of packaging/windows, which also gives it our device interface class.
//
// One enumeration thread lists the present locators (by device instance id, with the path
// of their interface of our class when WinUSB is bound), compares with the last listing
// (winusb::DeviceTracker), opens arrivals with CreateFile and WinUsb_Initialize, selects
// interface 0 / alternate setting 0 and reports them with their device descriptor. It
// lists again when a device-interface notification arrives (CM_Register_Notification,
// Windows 8 and later) and otherwise about four times a second; between listings it
// sleeps on an event. A locator that is present but not bound to WinUSB gets one line on
// standard output per arrival.
//
// Transfers run synchronously on the caller's thread, with the pipe's PIPE_TRANSFER_TIMEOUT
// policy set to the transfer's time-out. A device record is shared between the thread and
// running transfers, so its handles are closed only once the last user is done.
#undef _WIN32_WINNT
#undef WINVER
#define _WIN32_WINNT 0x0602  // the declarations of CM_Register_Notification; loaded at run time
#define WINVER 0x0602

#include <windows.h>
#include <cfgmgr32.h>
#include <setupapi.h>
#include <winusb.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/backend.h"
#include "platform/wdu/winusb_logic.h"

// The logic's copies of Windows' numbers, held to the headers.
static_assert(winusb::kErrAccessDenied == ERROR_ACCESS_DENIED && winusb::kErrSemTimeout == ERROR_SEM_TIMEOUT && winusb::kErrGenFailure == ERROR_GEN_FAILURE &&
              winusb::kErrDeviceNotConnected == ERROR_DEVICE_NOT_CONNECTED &&
              winusb::kErrBadCommand == ERROR_BAD_COMMAND &&
              winusb::kErrOperationAborted == ERROR_OPERATION_ABORTED && winusb::kErrTimeout == ERROR_TIMEOUT &&
              winusb::kErrNoSystemResources == ERROR_NO_SYSTEM_RESOURCES);
static_assert(winusb::kDnStarted == DN_STARTED && winusb::kDnHasProblem == DN_HAS_PROBLEM);

namespace {

// The device interface class that vx_locator.inf gives the locators.
constexpr GUID kLocatorInterface = {0x021d4f27, 0x5995, 0x48ea, {0xb4, 0x47, 0xd7, 0x72, 0x68, 0x2a, 0x71, 0x6e}};
// Windows' interface class of every USB device, with or without a function driver.
constexpr GUID kUsbDeviceInterface = {0xa5dcbf10, 0x6530, 0x11d2, {0x90, 0x1f, 0x00, 0xc0, 0x4f, 0xb9, 0x51, 0xed}};

constexpr DWORD kPollPeriodMs = 250;
constexpr UCHAR kDeviceDescriptorType = 1;

// The operator's lines, each printed once per arrival: a locator without the WinUSB
// driver, and one that another program holds open.
constexpr const char* kNotBoundText =
    "\nLocator found but its WinUSB driver is not installed: right-click vx_locator.inf in the "
    "updater's driver folder and choose Install (or, as administrator: pnputil /add-driver "
    "vx_locator.inf /install), then unplug the locator and connect it again\n";
constexpr const char* kInUseText =
    "\nLocator found but another program is using it (a second vx_fw_load?): close that program, "
    "then unplug the locator and connect it again\n";

using RegisterNotificationFn = CONFIGRET(WINAPI*)(PCM_NOTIFY_FILTER, PVOID, PCM_NOTIFY_CALLBACK, PHCMNOTIFICATION);
using UnregisterNotificationFn = CONFIGRET(WINAPI*)(HCMNOTIFICATION);

struct Device {
  std::string sInstanceId;
  uint64_t uId = 0;
  HANDLE hFile = INVALID_HANDLE_VALUE;
  WINUSB_INTERFACE_HANDLE hUsb = nullptr;
  std::atomic<bool> bGone{false};
  std::mutex mtxPolicy;
  std::map<UCHAR, ULONG> timeouts;  // the PIPE_TRANSFER_TIMEOUT last set on each pipe

  Device() = default;
  Device(const Device&) = delete;
  Device& operator=(const Device&) = delete;
  ~Device() {
    if (hUsb != nullptr) WinUsb_Free(hUsb);
    if (hFile != INVALID_HANDLE_VALUE) CloseHandle(hFile);
  }
};

struct WinUsbContext {
  std::mutex mtx;  // guards the fields up to the thread's own
  WduSink sink{};
  bool bRunning = false;
  std::thread thread;
  std::map<uint64_t, std::shared_ptr<Device>> devices;  // reported and not yet gone
  std::set<std::string> stale;                          // instance ids whose handle failed
  uint64_t uNextId = 1;
  HANDLE hWake = nullptr;  // auto-reset: a notification, a stale handle, or Close

  // The enumeration thread's own.
  winusb::DeviceTracker tracker;
  std::vector<HCMNOTIFICATION> notifications;
};

std::string Narrow(const wchar_t* pwsz) {
  std::string s;
  for (; *pwsz != L'\0'; ++pwsz) s.push_back(*pwsz < 0x80 ? static_cast<char>(*pwsz) : '?');
  return s;
}

std::string InstanceId(HDEVINFO hSet, SP_DEVINFO_DATA* pInfo) {
  wchar_t awcId[MAX_DEVICE_ID_LEN + 1];
  if (!SetupDiGetDeviceInstanceIdW(hSet, pInfo, awcId, MAX_DEVICE_ID_LEN + 1, nullptr)) return {};
  return Narrow(awcId);
}

// Instance id -> interface path of every present device interface of our class.
std::map<std::string, std::wstring> BoundInterfaces() {
  std::map<std::string, std::wstring> bound;
  HDEVINFO hSet = SetupDiGetClassDevsW(&kLocatorInterface, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);
  if (hSet == INVALID_HANDLE_VALUE) return bound;
  for (DWORD i = 0;; ++i) {
    SP_DEVICE_INTERFACE_DATA iface{};
    iface.cbSize = sizeof iface;
    if (!SetupDiEnumDeviceInterfaces(hSet, nullptr, &kLocatorInterface, i, &iface)) break;
    DWORD dwNeeded = 0;
    SetupDiGetDeviceInterfaceDetailW(hSet, &iface, nullptr, 0, &dwNeeded, nullptr);
    if (dwNeeded < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W)) continue;
    std::vector<uint8_t> detail(dwNeeded);
    auto* pDetail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W*>(detail.data());
    pDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    if (!SetupDiGetDeviceInterfaceDetailW(hSet, &iface, pDetail, dwNeeded, nullptr, &info)) continue;
    const std::string sId = InstanceId(hSet, &info);
    if (!sId.empty()) bound.emplace(sId, pDetail->DevicePath);
  }
  SetupDiDestroyDeviceInfoList(hSet);
  return bound;
}

// Every present locator, bound to WinUSB or not. *pbPending is set when a locator is
// still being set up by Windows and left out of this listing.
std::vector<winusb::ScanEntry> ListLocators(uint16_t wVendor, bool* pbPending) {
  *pbPending = false;
  std::map<std::string, std::wstring> bound = BoundInterfaces();
  std::vector<winusb::ScanEntry> scan;
  HDEVINFO hSet = SetupDiGetClassDevsW(nullptr, L"USB", nullptr, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (hSet != INVALID_HANDLE_VALUE) {
    for (DWORD i = 0;; ++i) {
      SP_DEVINFO_DATA info{};
      info.cbSize = sizeof info;
      if (!SetupDiEnumDeviceInfo(hSet, i, &info)) break;
      const std::string sId = InstanceId(hSet, &info);
      uint16_t uVendor = 0, uProduct = 0;
      if (!winusb::ParseVidPid(sId, &uVendor, &uProduct) || !winusb::IsLocator(uVendor, uProduct, wVendor)) continue;
      auto it = bound.find(sId);
      if (it != bound.end()) {
        scan.push_back(winusb::ScanEntry{sId, it->second});
        bound.erase(it);
        continue;
      }
      ULONG ulStatus = 0, ulProblem = 0;
      if (CM_Get_DevNode_Status(&ulStatus, &ulProblem, info.DevInst, 0) != CR_SUCCESS ||
          !winusb::IsSettledWithoutInterface(ulStatus)) {
        *pbPending = true;
        continue;
      }
      scan.push_back(winusb::ScanEntry{sId, std::wstring()});
    }
    SetupDiDestroyDeviceInfoList(hSet);
  }
  // Interfaces of our class on a device the USB listing did not give.
  for (const auto& [sId, wsPath] : bound) {
    uint16_t uVendor = 0, uProduct = 0;
    if (winusb::ParseVidPid(sId, &uVendor, &uProduct) && winusb::IsLocator(uVendor, uProduct, wVendor)) {
      scan.push_back(winusb::ScanEntry{sId, wsPath});
    }
  }
  return scan;
}

// Opens a bound locator and selects interface 0 / alternate setting 0. Null when it
// cannot be opened (*pdwError says why) or is not a locator after all.
std::shared_ptr<Device> OpenDevice(const winusb::ScanEntry& entry, uint16_t wVendor,
                                   WDU_DEVICE_DESCRIPTOR* pDescriptor, DWORD* pdwError) {
  *pdwError = ERROR_SUCCESS;
  auto pDevice = std::make_shared<Device>();
  pDevice->sInstanceId = entry.sInstanceId;
  pDevice->hFile = CreateFileW(entry.wsPath.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                               nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OVERLAPPED, nullptr);
  if (pDevice->hFile == INVALID_HANDLE_VALUE) {
    *pdwError = GetLastError();
    return nullptr;
  }
  if (!WinUsb_Initialize(pDevice->hFile, &pDevice->hUsb)) {
    *pdwError = GetLastError();
    pDevice->hUsb = nullptr;
    return nullptr;
  }
  static_assert(sizeof(WDU_DEVICE_DESCRIPTOR) == 18, "the descriptor's wire layout");
  uint8_t abDescriptor[18] = {};
  ULONG ulLength = 0;
  if (!WinUsb_GetDescriptor(pDevice->hUsb, kDeviceDescriptorType, 0, 0, abDescriptor, sizeof abDescriptor,
                            &ulLength) ||
      ulLength != sizeof abDescriptor) {
    return nullptr;
  }
  std::memcpy(pDescriptor, abDescriptor, sizeof abDescriptor);  // little-endian, as on the wire
  if (!winusb::IsLocator(pDescriptor->idVendor, pDescriptor->idProduct, wVendor)) return nullptr;
  WinUsb_SetCurrentAlternateSetting(pDevice->hUsb, 0);  // WDU_SetInterface reports a failure
  return pDevice;
}

DWORD CALLBACK OnNotification(HCMNOTIFICATION, PVOID pCtx, CM_NOTIFY_ACTION, PCM_NOTIFY_EVENT_DATA, DWORD) {
  SetEvent(static_cast<WinUsbContext*>(pCtx)->hWake);  // the enumeration thread does the work
  return ERROR_SUCCESS;
}

UnregisterNotificationFn UnregisterFn() {
  HMODULE hCfg = GetModuleHandleW(L"cfgmgr32.dll");
  return hCfg == nullptr ? nullptr
                         : reinterpret_cast<UnregisterNotificationFn>(
                               reinterpret_cast<void*>(GetProcAddress(hCfg, "CM_Unregister_Notification")));
}

// Asks for notifications on our interface class and on every USB device (so that an
// unbound locator is seen at once too). False, with nothing registered, where cfgmgr32
// lacks them (before Windows 8; Wine).
bool RegisterNotifications(WinUsbContext& c) {
  HMODULE hCfg = LoadLibraryW(L"cfgmgr32.dll");
  if (hCfg == nullptr) return false;
  auto pfRegister = reinterpret_cast<RegisterNotificationFn>(
      reinterpret_cast<void*>(GetProcAddress(hCfg, "CM_Register_Notification")));
  const UnregisterNotificationFn pfUnregister = UnregisterFn();
  if (pfRegister == nullptr || pfUnregister == nullptr) return false;
  for (const GUID& guid : {kLocatorInterface, kUsbDeviceInterface}) {
    CM_NOTIFY_FILTER filter{};
    filter.cbSize = sizeof filter;
    filter.FilterType = CM_NOTIFY_FILTER_TYPE_DEVICEINTERFACE;
    filter.u.DeviceInterface.ClassGuid = guid;
    HCMNOTIFICATION hNotify = nullptr;
    if (pfRegister(&filter, &c, &OnNotification, &hNotify) != CR_SUCCESS) {
      for (HCMNOTIFICATION h : c.notifications) pfUnregister(h);
      c.notifications.clear();
      return false;
    }
    c.notifications.push_back(hNotify);
  }
  return true;
}

void UnregisterNotifications(WinUsbContext& c) {
  const UnregisterNotificationFn pfUnregister = UnregisterFn();
  if (pfUnregister != nullptr) {
    for (HCMNOTIFICATION h : c.notifications) pfUnregister(h);  // waits for a running callback
  }
  c.notifications.clear();
}

// One line for the operator, at once.
void Tell(const char* pszText) {
  std::fputs(pszText, stdout);
  std::fflush(stdout);
}

// Takes a device out of the reported set and tells the layer it went.
void ReportGone(WinUsbContext& c, const std::string& sInstanceId) {
  std::lock_guard<std::mutex> lk(c.mtx);
  for (auto it = c.devices.begin(); it != c.devices.end(); ++it) {
    if (it->second->sInstanceId != sInstanceId) continue;
    it->second->bGone = true;
    const uint64_t uId = it->first;
    c.devices.erase(it);
    c.sink.Left(c.sink.pLayer, uId);
    return;
  }
}

// One enumeration and its consequences. Returns true when an arrival could not be opened
// or a locator is still being set up (both are looked at again at the next listing).
bool Rescan(WinUsbContext& c) {
  std::set<std::string> stale;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    stale.swap(c.stale);
  }
  for (const std::string& sId : stale) {
    ReportGone(c, sId);
    c.tracker.Forget(sId);
  }
  bool bPending = false;
  const winusb::ScanChanges changes = c.tracker.Update(ListLocators(c.sink.wVendorId, &bPending));
  for (const std::string& sId : changes.left) ReportGone(c, sId);
  for (size_t i = 0; i < changes.notBound.size(); ++i) Tell(kNotBoundText);
  bool bRetry = bPending;
  for (const winusb::ScanEntry& entry : changes.arrived) {
    WDU_DEVICE_DESCRIPTOR descriptor{};
    DWORD dwError = ERROR_SUCCESS;
    std::shared_ptr<Device> pDevice = OpenDevice(entry, c.sink.wVendorId, &descriptor, &dwError);
    if (pDevice == nullptr) {
      if (dwError == winusb::kErrAccessDenied && c.tracker.FirstOpenFailure(entry.sInstanceId)) Tell(kInUseText);
      c.tracker.Forget(entry.sInstanceId);
      bRetry = true;
      continue;
    }
    std::lock_guard<std::mutex> lk(c.mtx);
    if (!c.bRunning) break;
    pDevice->uId = c.uNextId++;
    c.devices.emplace(pDevice->uId, pDevice);
    c.sink.Arrived(c.sink.pLayer, pDevice->uId, &descriptor);
  }
  return bRetry;
}

void EnumerationThread(WinUsbContext* pc) {
  WinUsbContext& c = *pc;
  const bool bNotified = RegisterNotifications(c);
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(c.mtx);
      if (!c.bRunning) break;
    }
    const bool bRetry = Rescan(c);
    WaitForSingleObject(c.hWake, bNotified && !bRetry ? INFINITE : kPollPeriodMs);
  }
  UnregisterNotifications(c);
}

DWORD WinUsbOpen(void* pCtx, const WduSink* pSink) {
  WinUsbContext& c = *static_cast<WinUsbContext*>(pCtx);
  if (pSink == nullptr) return WD_INVALID_PARAMETER;
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.bRunning) return WD_OPERATION_FAILED;  // one layer at a time
  if (c.hWake == nullptr) c.hWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (c.hWake == nullptr) return WD_INSUFFICIENT_RESOURCES;
  c.sink = *pSink;
  c.bRunning = true;
  c.tracker.Clear();
  c.thread = std::thread(EnumerationThread, &c);
  return WD_STATUS_SUCCESS;
}

void WinUsbClose(void* pCtx) {
  WinUsbContext& c = *static_cast<WinUsbContext*>(pCtx);
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (!c.bRunning) return;
    c.bRunning = false;
    t = std::move(c.thread);
  }
  SetEvent(c.hWake);
  t.join();
  std::lock_guard<std::mutex> lk(c.mtx);
  for (auto& [uId, pDevice] : c.devices) {
    pDevice->bGone = true;
    // A transfer still running ends now; the handles close with its last reference.
    WinUsb_AbortPipe(pDevice->hUsb, 0x02);
    WinUsb_AbortPipe(pDevice->hUsb, 0x82);
  }
  c.devices.clear();
  c.stale.clear();
}

std::shared_ptr<Device> FindDevice(WinUsbContext& c, uint64_t uDeviceId) {
  std::lock_guard<std::mutex> lk(c.mtx);
  auto it = c.devices.find(uDeviceId);
  return it == c.devices.end() ? nullptr : it->second;
}

// After a call failed as a departed device does: the enumeration thread reports it gone
// and, if it is still listed, opens it again as a new arrival.
void NoteFailure(WinUsbContext& c, const Device& device, DWORD dwError) {
  if (!winusb::IsDepartureError(dwError) || device.bGone) return;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    c.stale.insert(device.sInstanceId);
  }
  SetEvent(c.hWake);
}

DWORD WinUsbSetInterface(void* pCtx, uint64_t uDeviceId, DWORD dwInterface, DWORD dwAltSetting) {
  WinUsbContext& c = *static_cast<WinUsbContext*>(pCtx);
  std::shared_ptr<Device> pDevice = FindDevice(c, uDeviceId);
  if (pDevice == nullptr || pDevice->bGone) return WD_DEVICE_NOT_FOUND;
  if (dwInterface != 0 || dwAltSetting > 0xFF) return WD_INVALID_PARAMETER;  // the locator has one interface
  const BOOL bOk = WinUsb_SetCurrentAlternateSetting(pDevice->hUsb, static_cast<UCHAR>(dwAltSetting));
  const DWORD dwError = bOk ? 0 : GetLastError();
  NoteFailure(c, *pDevice, dwError);
  return winusb::StatusFromOutcome(bOk != FALSE, dwError, pDevice->bGone);
}

DWORD WinUsbTransfer(void* pCtx, uint64_t uDeviceId, DWORD dwPipe, bool bRead, DWORD /*dwOptions*/, uint8_t* pBuffer,
                     DWORD dwBytes, DWORD* pdwMoved, DWORD dwTimeoutMs) {
  WinUsbContext& c = *static_cast<WinUsbContext*>(pCtx);
  *pdwMoved = 0;
  std::shared_ptr<Device> pDevice = FindDevice(c, uDeviceId);
  if (pDevice == nullptr || pDevice->bGone) return WD_DEVICE_NOT_FOUND;
  const UCHAR uPipe = static_cast<UCHAR>(dwPipe);
  {
    std::lock_guard<std::mutex> lk(pDevice->mtxPolicy);
    auto it = pDevice->timeouts.find(uPipe);
    if (it == pDevice->timeouts.end() || it->second != dwTimeoutMs) {
      ULONG ulTimeout = dwTimeoutMs;
      const BOOL bOk = WinUsb_SetPipePolicy(pDevice->hUsb, uPipe, PIPE_TRANSFER_TIMEOUT, sizeof ulTimeout, &ulTimeout);
      if (!bOk) {
        const DWORD dwError = GetLastError();
        NoteFailure(c, *pDevice, dwError);
        return winusb::StatusFromOutcome(false, dwError, pDevice->bGone);
      }
      pDevice->timeouts[uPipe] = dwTimeoutMs;
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
  static const WduBackend backend{"winusb", pContext, &WinUsbOpen, &WinUsbClose, &WinUsbSetInterface,
                                  &WinUsbTransfer};
  return &backend;
}
