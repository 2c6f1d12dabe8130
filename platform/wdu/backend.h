// Backends of the USB driver library layer: one struct of function pointers per backend.
// The layer queues a backend's reports and runs the registrations' handlers on its
// dispatch thread; it never holds the lock its sink takes while it calls a backend.
#pragma once

#include <cstdint>

#include "platform/wdu/wdu.h"

// How a backend tells the layer that a device came or went: from any of its threads, from
// Open on until Close returns. The calls only queue (they never call the backend), so a
// backend may make them with its own locks held. uDeviceId is the backend's own number for
// one presence of a device: a device that is unplugged and plugged in again gets a new one.
struct WduSink {
  void* pLayer;
  uint16_t wVendorId;  // the vendor whose devices the registrations want
  void (*Arrived)(void* pLayer, uint64_t uDeviceId, const WDU_DEVICE_DESCRIPTOR* pDescriptor);
  void (*Left)(void* pLayer, uint64_t uDeviceId);
  // Whether a registration's match entry names these ids; a backend that opens or claims
  // devices asks before it touches one. The answer can change from false to true as
  // registrations are added (see WduBackend::Rematch). Null: every device of the vendor.
  bool (*Wants)(void* pLayer, uint16_t wVendorId, uint16_t wProductId) = nullptr;
};

// Every member returns a WD_ status (platform/wdu/status.h). A call on a device id that is
// not (or no longer) present returns WD_DEVICE_NOT_FOUND at once.
struct WduBackend {
  const char* pszName;
  void* pCtx;
  // On the thread of the first WDU_Init. Starts reporting devices to the sink (present ones
  // first, possibly before it returns) and returns without waiting for any device:
  // WD_STATUS_SUCCESS, WD_INVALID_PARAMETER (no sink, or a socket endpoint that names
  // none), WD_OPERATION_FAILED (already open, or no sockets).
  DWORD (*Open)(void* pCtx, const WduSink* pSink);
  // On a thread that resets the layer, never the dispatch thread. Stops reporting and
  // returns once no sink call is running or will start. A call still in progress returns
  // by its own time-out at the latest; the layer waits for it after Close.
  void (*Close)(void* pCtx);
  // On any thread (the attach handler's, on the dispatch thread). Blocks for one exchange
  // with the device (the socket backend waits at most 2 s for the simulator's answer):
  // WD_STATUS_SUCCESS, WD_DEVICE_NOT_FOUND, WD_INVALID_PARAMETER, or another failure.
  DWORD (*SetInterface)(void* pCtx, uint64_t uDeviceId, DWORD dwInterface, DWORD dwAltSetting);
  // On any thread, alongside sink reports and other calls. One bulk transfer on dwPipe
  // (bRead agrees with its direction; dwOptions is not used); blocks until it ends, at most
  // about dwTimeoutMs plus 2 s (libusb's late completion, the socket's reply). *pdwMoved is
  // always set, to the bytes moved (at most dwBytes). WD_STATUS_SUCCESS; WD_TIME_OUT_EXPIRED
  // with the bytes moved before it; WD_DEVICE_NOT_FOUND when the device left, before or
  // during the transfer; WD_USBD_STATUS_STALL for a halted pipe and
  // WD_USBD_STATUS_BABBLE_DETECTED for more bytes than asked (the halt is cleared before it
  // returns); another failure status otherwise.
  DWORD (*Transfer)(void* pCtx, uint64_t uDeviceId, DWORD dwPipe, bool bRead, DWORD dwOptions,
                    uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved, DWORD dwTimeoutMs);
  // On the thread of a later WDU_Init, while the backend is open: devices that the sink
  // did not want before may be wanted now. Returns at once (the backend looks again on its
  // own thread). Null for backends that report every device.
  void (*Rematch)(void* pCtx) = nullptr;
};

// The backends. The layer chooses: VX_LOCATOR_SIM=<socket> selects the simulator process,
// otherwise the platform's real backend.
const WduBackend* WduSocketBackend(const char* pszEndpoint);  // vx_locator_sim over a socket
const WduBackend* WduLibusbBackend();                       // real devices through libusb-1.0
#if defined(_WIN32)
const WduBackend* WduWinUsbBackend();  // real locators through WinUSB
#endif
