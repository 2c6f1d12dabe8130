// Backends of the USB driver library layer: one struct of function pointers per backend.
// A backend reports devices through the sink, from any thread; the layer queues the
// reports and runs the registrations' handlers on its dispatch thread.
#pragma once

#include <cstdint>

#include "platform/wdu/wdu.h"

// How a backend tells the layer that a device came or went. uDeviceId is the backend's own
// number for one presence of a device: a device that is unplugged and plugged in again
// gets a new one.
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

struct WduBackend {
  const char* pszName;
  void* pCtx;
  // Starts reporting devices to the sink (present ones first). Returns a WD status.
  DWORD (*Open)(void* pCtx, const WduSink* pSink);
  // Stops reporting and returns once no sink call is running or will start.
  void (*Close)(void* pCtx);
  DWORD (*SetInterface)(void* pCtx, uint64_t uDeviceId, DWORD dwInterface, DWORD dwAltSetting);
  DWORD (*Transfer)(void* pCtx, uint64_t uDeviceId, DWORD dwPipe, bool bRead, DWORD dwOptions,
                    uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved, DWORD dwTimeoutMs);
  // Called after a registration was added while the backend is open: devices that the
  // sink did not want before may be wanted now. Null for backends that report every device.
  void (*Rematch)(void* pCtx) = nullptr;
};

// Chooses the backend for the next WDU_Init (tests install the in-process simulator).
// nullptr returns to the default: VX_LOCATOR_SIM=<socket> selects the simulator process,
// otherwise the platform's real backend.
void WduSelectBackend(const WduBackend* pBackend);

// Ends every registration, closes the backend and stops the dispatch thread, so that a
// test can start again from nothing. The program itself never calls it. Device handles
// given out before stay valid as handles; their transfers fail.
void WduResetLayer();

// Waits until every report received so far has been handed to the handlers and they have
// returned, or the time-out passes. Returns true when the queue drained.
bool WduWaitIdle(DWORD dwTimeoutMs);

// The backends.
const WduBackend* WduNullBackend();                         // reports no device
const WduBackend* WduSocketBackend(const char* pszEndpoint);  // vx_locator_sim over a socket
const WduBackend* WduLibusbBackend();                       // real devices through libusb-1.0
#if defined(_WIN32)
const WduBackend* WduWinUsbBackend();  // real locators through WinUSB
#endif
