// Presents the simulated locator as a USB device to a QEMU guest over the usbredir
// protocol: QEMU's usb-redir device connects, as a client, to the Unix socket that this
// front-end listens on (-chardev socket,path=SOCKET -device usb-redir,chardev=...).
//
// The device: high speed, the locator's vendor and product id, one vendor-specific
// interface with bulk endpoints 0x02 and 0x82 of 512 bytes, manufacturer, product and a
// serial number string that is new for each plug. Plugging and unplugging the locator
// connects and disconnects the device in the running guest. Standard control requests are
// answered here; bulk transfers go to the locator: a bulk IN stays pending until the
// locator has a response (as a real device NAKs), and a transfer the guest cancels is
// answered as cancelled. Faults, trace and dumps are the locator's own.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "sim/frontend.h"
#include "sim/locator.h"

namespace vxsim {

// What the device reports about itself while it is plugged in.
struct UsbIdentity {
  uint16_t vendorId = kDefaultVendorId;
  uint16_t productId = 9;
  std::string serial;
  uint8_t configuration = 0;  // 0 until the host sets configuration 1
  bool bHaltedIn = false;     // endpoint 0x82 halted (by a stall) until the host clears it
  bool bHaltedOut = false;    // endpoint 0x02
};

// The answer to one control request on endpoint 0: a status of usbredir's
// (usb_redir_success, usb_redir_stall, ...) and, for an IN request, at most wLength bytes.
struct ControlAnswer {
  uint8_t status = 0;
  std::vector<uint8_t> data;
};

// Standard requests: GET_DESCRIPTOR (device, configuration, strings, device qualifier,
// other-speed configuration), GET_STATUS (an endpoint's halt), CLEAR_FEATURE/SET_FEATURE of an
// endpoint halt (the caller applies it),
// GET_CONFIGURATION. Everything else stalls, as the loader knows no class or vendor request.
ControlAnswer AnswerControlRequest(const UsbIdentity& identity, uint8_t requestType, uint8_t request,
                                   uint16_t value, uint16_t index, uint16_t length);

// Start listens on the socket path and serves one QEMU at a time; onReady has the path.
class UsbredirFrontend final : public Frontend {
 public:
  UsbredirFrontend(Locator& locator, std::string socketPath);
  ~UsbredirFrontend() override;  // Stop()
  UsbredirFrontend(const UsbredirFrontend&) = delete;
  UsbredirFrontend& operator=(const UsbredirFrontend&) = delete;

  void SetLog(LogFunction log) override;
  bool Start(std::string* pError, const LogFunction& onReady = {}) override;
  void Stop() override;

  struct Impl;

 private:
  std::shared_ptr<Impl> m_pImpl;
};

}  // namespace vxsim
