// The USB driver library calls that the channel and transport make: driver naming,
// registration with a match entry and hot-plug handlers, interface selection, bulk
// transfers, and the library's portable events and mutexes.
//
// The layer runs attach and detach handlers on a dispatch thread of its own, never on the
// caller's thread and never inside a backend's own callback. A handler may call
// WDU_SetInterface and WDU_Transfer.
#pragma once

#include <cstdint>

#include "platform/os/os.h"
#include "platform/wdu/status.h"

constexpr DWORD WD_WAIT_INFINITE = 0xFFFFFFFFu;

// ---- Records ----
using WDU_DRIVER_HANDLE = void*;
using WDU_DEVICE_HANDLE = void*;
using OS_EVENT_HANDLE = void*;
using OS_MUTEX_HANDLE = void*;

// The standard USB device descriptor (18 bytes on the wire).
struct WDU_DEVICE_DESCRIPTOR {
  uint8_t bLength;
  uint8_t bDescriptorType;
  uint16_t bcdUSB;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bDeviceProtocol;
  uint8_t bMaxPacketSize0;
  uint16_t idVendor;
  uint16_t idProduct;
  uint16_t bcdDevice;
  uint8_t iManufacturer;
  uint8_t iProduct;
  uint8_t iSerialNumber;
  uint8_t bNumConfigurations;
};

// Device information handed to the attach handler; begins with the device descriptor.
struct WDU_DEVICE {
  WDU_DEVICE_DESCRIPTOR Descriptor;
  uint32_t dwBusNumber;
  uint32_t dwPortNumber;
};

// Match-table record: a zero field other than the ids matches anything.
struct WDU_MATCH_TABLE {
  uint16_t wVendorId;
  uint16_t wProductId;
  uint8_t bDeviceClass;
  uint8_t bDeviceSubClass;
  uint8_t bInterfaceClass;
  uint8_t bInterfaceSubClass;
  uint8_t bInterfaceProtocol;
};

using WDU_ATTACH_CALLBACK = bool (*)(WDU_DEVICE_HANDLE hDevice, WDU_DEVICE* pDeviceInfo, void* pUserData);
using WDU_DETACH_CALLBACK = void (*)(WDU_DEVICE_HANDLE hDevice, void* pUserData);
using WDU_POWER_CHANGE_CALLBACK = bool (*)(WDU_DEVICE_HANDLE hDevice, DWORD dwPowerState, void* pUserData);

struct WDU_EVENT_TABLE {
  WDU_ATTACH_CALLBACK pfDeviceAttach;
  WDU_DETACH_CALLBACK pfDeviceDetach;
  WDU_POWER_CHANGE_CALLBACK pfPowerChange;
  void* pUserData;
};

// ---- Calls ----

// Sets the driver name used by later registrations; returns the name, or nullptr when it
// is refused (null or empty).
const char* WD_DriverName(const char* sDriverName);

// Registers for devices matching the entries. From then on the layer calls the table's
// handlers, on its own thread, for matching devices already present and for every later
// arrival and departure, passing the table's user data.
DWORD WDU_Init(WDU_DRIVER_HANDLE* phDriver, WDU_MATCH_TABLE* pMatchTables, DWORD dwNumMatchTables,
               WDU_EVENT_TABLE* pEventTable, DWORD dwOptions);

DWORD WDU_SetInterface(WDU_DEVICE_HANDLE hDevice, DWORD dwInterfaceNum, DWORD dwAlternateSetting);

// Bulk transfer on the pipe (0x02 out, 0x82 in). *pdwBytesTransferred is always set: on a
// time-out it holds the bytes moved before the time-out.
DWORD WDU_Transfer(WDU_DEVICE_HANDLE hDevice, DWORD dwPipeNum, DWORD fRead, DWORD dwOptions,
                   void* pBuffer, DWORD dwBufferSize, DWORD* pdwBytesTransferred,
                   const uint8_t* pSetupPacket, DWORD dwTimeout);

DWORD OsEventCreate(OS_EVENT_HANDLE* phEvent);
void OsEventSignal(OS_EVENT_HANDLE hEvent);
void OsEventReset(OS_EVENT_HANDLE hEvent);
// Waits until the event is signalled (manual reset) or dwTimeout ms pass
// (WD_WAIT_INFINITE: no bound). Returns 0 or WD_TIME_OUT_EXPIRED.
DWORD OsEventWait(OS_EVENT_HANDLE hEvent, DWORD dwTimeout);

DWORD OsMutexCreate(OS_MUTEX_HANDLE* phMutex);
void OsMutexLock(OS_MUTEX_HANDLE hMutex);
void OsMutexUnlock(OS_MUTEX_HANDLE hMutex);
