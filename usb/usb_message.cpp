// CUsbMessage: construction, the channel's registrations, the hot-plug handlers and the
// connection poll.
#include "usb/usb_message.h"

#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <new>

#include "device/commands.h"
#include "platform/wdu/testing.h"
#include "usb/channel_lock.h"

CUsbMessage* pCUsbMessage = nullptr;
WDU_DRIVER_HANDLE hDriverType1 = nullptr;
WDU_DRIVER_HANDLE hDriverType9 = nullptr;
bool bWasConnected = false;
int32_t nConnectedType = -1;

namespace usb_detail {

bool AcquireFlag(CUsbMessage* pChannel) {
  if (pChannel->hSemaphore == nullptr) return false;
  return WaitForSingleObject(pChannel->hSemaphore, kSemaphoreWaitMs) == WAIT_OBJECT_0;
}

void ReleaseFlag(CUsbMessage* pChannel) {
  if (!ReleaseSemaphore(pChannel->hSemaphore, 1, nullptr)) pChannel->dwLastOsError = GetLastError();
}

bool ReadConnected(CUsbMessage* pChannel) {
  if (!AcquireFlag(pChannel)) return false;
  bool bValue = pChannel->bConnected;
  ReleaseFlag(pChannel);
  return bValue;
}

}  // namespace usb_detail

namespace {

// Type of a device before any has arrived and after a departure: neither 1 nor 9.
constexpr int32_t kNoDeviceType = -1;

constexpr DWORD kBufferBytes = 512;
constexpr DWORD kMaxFrameWords = 127;
constexpr DWORD kTransferTimeoutMs = 3000;

const wchar_t* const kSemaphoreName = L"CUSBSemaphore";

const char* const kFmtDriverName = "\nError: Could not set driver name to %s, exiting\n";
// A handle prints as Windows' %p does: all its hex digits, upper case, without a prefix of
// its own (glibc's %p adds "0x", which would read "0x0x...").
const char* const kFmtEventCreate = "\nDriverInit: OsEventCreate() failed on event 0x%0*" PRIXPTR ": error 0x%lx ";
const char* const kFmtMutexCreate = "\nDriverInit: OsMutexCreate() failed on mutex 0x%0*" PRIXPTR ": error 0x%lx ";
const char* const kFmtDriverInit = "\nDriverInit: failed to initialize USB driver: error 0x%lx ";

const char* const kTextDorrinConnected = "\nDorrin C6748 USB Device Connected\n";
const char* const kTextKessanConnected = "\nKessan USB Device Connected\n";
const char* const kTextDorrinDisconnected = "\nDorrin C6748 USB Device Disconnected\n";
const char* const kTextKessanDisconnected = "\nKessan USB Device Disconnected\n";
const char* const kTextConnectNext =
    "\nConnect next locator and switch on while holding the f and up buttons\n";
const char* const kTextCfiError = "\nError reading flash CFI\n";
const char* const kTextPressAnyKey = "\nPress any key to start download\n";

// One match entry per registration: the maker's vendor id with product 1 or 9.
WDU_MATCH_TABLE matchType1 = {kLocatorVendorId, 1, 0, 0, 0, 0, 0};
WDU_MATCH_TABLE matchType9 = {kLocatorVendorId, 9, 0, 0, 0, 0, 0};

using usb_detail::ReadConnected;

// A write whose wait fails does not happen.
void WriteConnected(CUsbMessage* pChannel, bool bValue) {
  if (!usb_detail::AcquireFlag(pChannel)) return;
  pChannel->bConnected = bValue;
  usb_detail::ReleaseFlag(pChannel);
}

// ---- hUsbDevice, dwLastStatus, nDeviceType, under csLock, one field per entry ----

void StoreDevice(CUsbMessage* pChannel, WDU_DEVICE_HANDLE hDevice) {
  EnterCriticalSection(&pChannel->csLock);
  pChannel->hUsbDevice = hDevice;
  LeaveCriticalSection(&pChannel->csLock);
}

void StoreStatus(CUsbMessage* pChannel, DWORD dwStatus) {
  EnterCriticalSection(&pChannel->csLock);
  pChannel->dwLastStatus = dwStatus;
  LeaveCriticalSection(&pChannel->csLock);
}

void StoreType(CUsbMessage* pChannel, int32_t nType) {
  EnterCriticalSection(&pChannel->csLock);
  pChannel->nDeviceType = nType;
  LeaveCriticalSection(&pChannel->csLock);
}

int32_t LoadType(CUsbMessage* pChannel) {
  EnterCriticalSection(&pChannel->csLock);
  int32_t nType = pChannel->nDeviceType;
  LeaveCriticalSection(&pChannel->csLock);
  return nType;
}

}  // namespace

CUsbMessage::CUsbMessage() {
  // The critical section first, then every field that has a construction value.
  InitializeCriticalSection(&csLock);
  std::memset(aDriverCtx, 0, sizeof(aDriverCtx));
  hUsbDevice = nullptr;
  dwLastStatus = 0;
  dwTimeoutMs = kTransferTimeoutMs;
  hSemaphore = nullptr;
  bInitialised = false;
  bConnected = false;
  nDeviceType = kNoDeviceType;
  nBufferBytes = kBufferBytes;
  nMaxWords = kMaxFrameWords;
  std::memset(au32Request, 0, sizeof(au32Request));
  std::memset(au32Response, 0, sizeof(au32Response));
  pu32Request = au32Request;
  pu32Response = au32Response;
  dwLastOsError = 0;
  bLastLinkFailure = false;
  hStaleDevice = nullptr;
}

int32_t OpenChannel() {
  CUsbMessage* pChannel = pCUsbMessage;
  if (pChannel == nullptr) return USB_ERR_NO_SEMAPHORE;

  pChannel->hSemaphore = CreateSemaphoreW(nullptr, 1, 1, kSemaphoreName);
  if (pChannel->hSemaphore == nullptr) return USB_ERR_NO_SEMAPHORE;

  std::memset(&pChannel->aDriverCtx[0], 0, sizeof(DriverContext));
  DWORD dwStatus = DriverInit(&matchType1, &pChannel->aDriverCtx[0], &hDriverType1);
  StoreStatus(pChannel, dwStatus);
  if (dwStatus != WD_STATUS_SUCCESS) return USB_ERR_DRIVER_INIT;

  std::memset(&pChannel->aDriverCtx[1], 0, sizeof(DriverContext));
  dwStatus = DriverInit(&matchType9, &pChannel->aDriverCtx[1], &hDriverType9);
  StoreStatus(pChannel, dwStatus);
  if (dwStatus != WD_STATUS_SUCCESS) return USB_ERR_DRIVER_INIT;

  pChannel->bInitialised = true;
  return 0;
}

void PrintCreateFailure(bool bMutex, const void* hObject, DWORD dwStatus) {
  printf(bMutex ? kFmtMutexCreate : kFmtEventCreate, static_cast<int>(2 * sizeof(void*)), reinterpret_cast<uintptr_t>(hObject),
         static_cast<unsigned long>(dwStatus));
}

DWORD DriverInit(WDU_MATCH_TABLE* pMatch, DriverContext* pCtx, WDU_DRIVER_HANDLE* phDriver) {
  if (WD_DriverName(kDriverName) == nullptr) {
    printf(kFmtDriverName, kDriverName);
    return WD_NO_DRIVER_NAME;
  }

  DWORD dwStatus = OsEventCreate(&pCtx->hAttachEvent);
  if (dwStatus != WD_STATUS_SUCCESS) {
    PrintCreateFailure(false, pCtx->hAttachEvent, dwStatus);
    return dwStatus;
  }
  dwStatus = OsMutexCreate(&pCtx->hListMutex);
  if (dwStatus != WD_STATUS_SUCCESS) {
    PrintCreateFailure(true, pCtx->hListMutex, dwStatus);
    return dwStatus;
  }
  dwStatus = OsEventCreate(&pCtx->hIdleEvent);
  if (dwStatus != WD_STATUS_SUCCESS) {
    PrintCreateFailure(false, pCtx->hIdleEvent, dwStatus);
    return dwStatus;
  }
  OsEventSignal(pCtx->hIdleEvent);

  WDU_EVENT_TABLE eventTable = {OnDeviceAttach, OnDeviceDetach, nullptr, pCtx};
  dwStatus = WDU_Init(phDriver, pMatch, 1, &eventTable, 1);
  if (dwStatus != WD_STATUS_SUCCESS) {
    printf(kFmtDriverInit, static_cast<unsigned long>(dwStatus));
    return dwStatus;
  }
  return WD_STATUS_SUCCESS;
}

bool OnDeviceAttach(WDU_DEVICE_HANDLE hDevice, WDU_DEVICE* pDeviceInfo, void* pUserData) {
  CUsbMessage* pChannel = pCUsbMessage;
  DriverContext* pCtx = static_cast<DriverContext*>(pUserData);
  if (pChannel == nullptr || pCtx == nullptr || pDeviceInfo == nullptr) return false;

  // While a device is connected, further arrivals are accepted and otherwise ignored.
  if (ReadConnected(pChannel)) return true;

  DWORD dwSetInterfaceStatus = WDU_SetInterface(hDevice, 0, 0);

  DeviceEntry* pEntry = new (std::nothrow) DeviceEntry;
  if (pEntry == nullptr) return false;
  pEntry->pNext = nullptr;
  pEntry->hUsbDevice = hDevice;
  pEntry->nVendorId = pDeviceInfo->Descriptor.idVendor;
  pEntry->nProductId = pDeviceInfo->Descriptor.idProduct;
  pEntry->nInterface = 0;
  pEntry->nAltSetting = 0;

  OsMutexLock(pCtx->hListMutex);
  DeviceEntry** ppLink = &pCtx->pFirstEntry;
  while (*ppLink != nullptr) ppLink = &(*ppLink)->pNext;
  *ppLink = pEntry;
  pCtx->nEntries++;
  OsMutexUnlock(pCtx->hListMutex);

  OsEventSignal(pCtx->hAttachEvent);

  StoreDevice(pChannel, hDevice);
  // The type is stored before the flag can rise, so a poll that sees the flag raised by
  // this arrival reads this device's type, never an older one.
  StoreType(pChannel, static_cast<int32_t>(pDeviceInfo->Descriptor.idProduct));
  UpdateConnectedFlag(pCtx->nEntries);
  StoreStatus(pChannel, dwSetInterfaceStatus);
  WriteConnected(pChannel, true);
  return true;
}

void OnDeviceDetach(WDU_DEVICE_HANDLE hDevice, void* pUserData) {
  CUsbMessage* pChannel = pCUsbMessage;
  DriverContext* pCtx = static_cast<DriverContext*>(pUserData);
  if (pChannel == nullptr || pCtx == nullptr) return;

  // A failed wait leaves the departure unprocessed; while nothing is connected a departure
  // changes nothing.
  if (!ReadConnected(pChannel)) return;

  bool bFound = false;
  bool bWaitIdle = false;
  OsMutexLock(pCtx->hListMutex);
  for (DeviceEntry** ppLink = &pCtx->pFirstEntry; *ppLink != nullptr; ppLink = &(*ppLink)->pNext) {
    DeviceEntry* pEntry = *ppLink;
    if (pEntry->hUsbDevice != hDevice) continue;
    if (pEntry == pCtx->pInUseEntry) {
      pCtx->pInUseEntry = nullptr;
      bWaitIdle = true;
    }
    *ppLink = pEntry->pNext;
    delete pEntry;
    pCtx->nEntries--;
    bFound = true;
    break;
  }
  OsMutexUnlock(pCtx->hListMutex);

  // A device without an entry (accepted while another was connected) leaves the connected
  // device's state alone.
  if (!bFound) return;

  if (bWaitIdle) OsEventWait(pCtx->hIdleEvent, WD_WAIT_INFINITE);
  UpdateConnectedFlag(pCtx->nEntries);
  StoreType(pChannel, kNoDeviceType);
  WriteConnected(pChannel, false);
}

void UpdateConnectedFlag(uint32_t nEntries) {
  CUsbMessage* pChannel = pCUsbMessage;
  if (pChannel == nullptr) return;
  bool bValue = ReadConnected(pChannel);
  if (nEntries == 0)
    bValue = false;
  else if (nEntries == 1)
    bValue = true;
  WriteConnected(pChannel, bValue);
}

bool PollConnection() {
  CUsbMessage* pChannel = pCUsbMessage;
  if (pChannel == nullptr) return false;

  bool bConnectedNow = ReadConnected(pChannel);
  int32_t nType = LoadType(pChannel);
  OsSleep(kPollPauseMs);

  if (bConnectedNow && !bWasConnected) {
    if (nType == 1)
      printf("%s", kTextDorrinConnected);
    else if (nType == 9)
      printf("%s", kTextKessanConnected);
    nConnectedType = nType;

    ClearBuffers();
    pChannel->pu32Request[0] = kReadCfiWords;
    pChannel->pu32Request[1] = kReadCfiReplyWords;
    pChannel->pu32Request[2] = CMD_READ_FLASH_CFI;
    if (Transact() != 0)
      printf("%s", kTextCfiError);
    else
      printf("%s", kTextPressAnyKey);
  }

  if (!bConnectedNow && bWasConnected) {
    if (nConnectedType == 1) {
      printf("%s", kTextDorrinDisconnected);
    } else if (nConnectedType == 9) {
      printf("%s", kTextKessanDisconnected);
      printf("%s", kTextConnectNext);
    }
  }

  bWasConnected = bConnectedNow;
  return bConnectedNow;
}

void ClearBuffers() {
  CUsbMessage* pChannel = pCUsbMessage;
  if (pChannel == nullptr) return;
  std::memset(pChannel->au32Request, 0, sizeof(pChannel->au32Request));
  std::memset(pChannel->au32Response, 0, sizeof(pChannel->au32Response));
}

void ResetChannelState() {
  // Stop the handlers first: after this nothing touches the channel from another thread.
  WduResetLayer();
  if (CUsbMessage* pChannel = pCUsbMessage) {
    for (DriverContext& ctx : pChannel->aDriverCtx) {
      DeviceEntry* pEntry = ctx.pFirstEntry;
      while (pEntry != nullptr) {
        DeviceEntry* pNext = pEntry->pNext;
        delete pEntry;
        pEntry = pNext;
      }
      ctx.pFirstEntry = nullptr;
      ctx.pInUseEntry = nullptr;
      ctx.nEntries = 0;
    }
  }
  pCUsbMessage = nullptr;
  hDriverType1 = nullptr;
  hDriverType9 = nullptr;
  bWasConnected = false;
  nConnectedType = -1;
}
