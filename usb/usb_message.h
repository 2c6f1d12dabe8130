// CUsbMessage: the one channel to the locator, its hot-plug handlers and the framed
// request/response transport.
#pragma once

#include <cstdint>

#include "platform/os/os.h"
#include "platform/wdu/wdu.h"

// The USB vendor id under which the locator's loader (product 9) and the Dorrin C6748
// device (product 1) enumerate.
constexpr uint16_t kLocatorVendorId = 0x3A7C;
constexpr const char* kDriverName = "qvb0003";
constexpr DWORD kPipeOut = 0x02;
constexpr DWORD kPipeIn = 0x82;
constexpr DWORD kSemaphoreWaitMs = 250;
constexpr DWORD kPollPauseMs = 30;

// ---- Result codes of the USB link ----
constexpr int32_t USB_ERR_DRIVER_INIT = 51;
constexpr int32_t USB_ERR_NOT_CONNECTED = 53;
constexpr int32_t USB_ERR_TIMEOUT = 54;
constexpr int32_t USB_ERR_TRANSFER = 55;
constexpr int32_t USB_ERR_SHORT_WRITE = 66;
constexpr int32_t USB_ERR_NO_SEMAPHORE = 75;
constexpr int32_t USB_ERR_REQUEST_LENGTH = 100;
constexpr int32_t USB_ERR_RESPONSE_LENGTH = 101;
constexpr int32_t USB_ERR_CHECKSUM = 103;

struct DeviceEntry {
  DeviceEntry* pNext;
  WDU_DEVICE_HANDLE hUsbDevice;
  uint32_t nVendorId;
  uint32_t nProductId;
  uint32_t nInterface;
  uint32_t nAltSetting;
};

struct DriverContext {
  OS_EVENT_HANDLE hAttachEvent;
  OS_MUTEX_HANDLE hListMutex;
  uint32_t nEntries;
  DeviceEntry* pFirstEntry;
  DeviceEntry* pInUseEntry;
  OS_EVENT_HANDLE hIdleEvent;
};

class CUsbMessage {
 public:
  CUsbMessage();
  CUsbMessage(const CUsbMessage&) = delete;
  CUsbMessage& operator=(const CUsbMessage&) = delete;

  int32_t SendRequest();
  int32_t ReceiveResponse(uint32_t* pu32Destination, uint32_t nBytes, DWORD dwTimeout);

  DriverContext aDriverCtx[2];
  WDU_DEVICE_HANDLE hUsbDevice;
  DWORD dwLastStatus;
  DWORD dwTimeoutMs;
  HANDLE hSemaphore;
  CRITICAL_SECTION csLock;
  bool bInitialised;
  bool bConnected;
  int32_t nDeviceType;
  uint32_t nBufferBytes;
  uint32_t nMaxWords;
  uint32_t au32Request[128];
  uint32_t au32Response[128];
  uint32_t* pu32Request;
  uint32_t* pu32Response;
  DWORD dwLastOsError;
  // Whether the last Transact failed in the link (a send or receive failure or a frame
  // test), as opposed to returning the device's result word.
  bool bLastLinkFailure;
  // The device whose last exchange failed after its request went out: its IN endpoint may
  // still hold that exchange's answer, which the next Transact reads away first. Main thread.
  WDU_DEVICE_HANDLE hStaleDevice;
};

// Process-wide state.
extern CUsbMessage* pCUsbMessage;
extern WDU_DRIVER_HANDLE hDriverType1;
extern WDU_DRIVER_HANDLE hDriverType9;
extern bool bWasConnected;
extern int32_t nConnectedType;

int32_t OpenChannel();
DWORD DriverInit(WDU_MATCH_TABLE* pMatch, DriverContext* pCtx, WDU_DRIVER_HANDLE* phDriver);
// DriverInit's report of an event (or, with bMutex, a mutex) it could not create; the handle
// is shown as Windows prints a pointer.
void PrintCreateFailure(bool bMutex, const void* hObject, DWORD dwStatus);
bool OnDeviceAttach(WDU_DEVICE_HANDLE hDevice, WDU_DEVICE* pDeviceInfo, void* pUserData);
void OnDeviceDetach(WDU_DEVICE_HANDLE hDevice, void* pUserData);
void UpdateConnectedFlag(uint32_t nEntries);
bool PollConnection();
void ClearBuffers();

uint32_t WordSum(const uint32_t* pu32Words, uint32_t nWords);
int32_t Transact();
// Whether the last Transact failed in the link rather than returning a result word.
bool LastTransactFailedInLink();

// Returns the process-wide channel state to that of a fresh process (for tests); the
// program itself never calls it.
void ResetChannelState();
