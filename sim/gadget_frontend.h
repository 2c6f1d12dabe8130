// Presents the simulated locator as a real USB device through a device controller of this
// machine (a board's OTG port, or dummy_hcd): a gadget configured through configfs whose one
// function is a FunctionFS instance served here (Linux only).
//
// The gadget: the locator's vendor and product id, manufacturer, product and a serial
// number that is new for each plug, one configuration with one vendor-specific interface
// whose bulk endpoints are 0x02 OUT and 0x82 IN, 512-byte packets at high speed and 64 at
// full speed. Plugging the locator in binds the gadget to the controller (the host sees a
// device arrive), unplugging unbinds it. Bulk transfers go to the locator: each OUT transfer
// is one request, each response is written to the IN endpoint once the locator has it.
// Faults, trace and dumps are the locator's own.
//
// Endpoint numbers are the controller's: FunctionFS lets the kernel hand the function the
// first free endpoints of the controller that fit each descriptor, in the controller's own
// order (dummy_hcd: 0x81 is the first bulk IN; dwc2: 0x01 and 0x81). So that the locator's
// endpoints are 0x02 and 0x82, as the updater addresses them, bulk placeholder endpoints
// are declared ahead of them in the same interface; they take the endpoints the controller
// hands out first and carry no transfers. After the host has configured the device the
// front-end reads the endpoints it really got and says so when they are not 0x02 and 0x82.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/frontend.h"
#include "sim/locator.h"

namespace vxsim {

// Bulk endpoints declared ahead of the locator's, per direction.
struct GadgetPlaceholders {
  uint32_t in = 0;
  uint32_t out = 0;
  bool operator==(const GadgetPlaceholders&) const = default;
};

// The placeholders a controller driver needs for the locator's endpoints to be number 2
// (the driver's name as /sys/class/udc/<udc>/device/driver links it): dummy_udc lists bulk
// IN endpoints 1, 6 and 11 before 2 and bulk OUT 2 first; dwc2 and dwc3 list endpoint 1 of
// each direction first. Others: none.
GadgetPlaceholders PlaceholdersForDriver(const std::string& driver);
// "IN,OUT" as --placeholder-eps takes it; nothing when the text is not two numbers whose sum
// leaves room for the locator's endpoints (at most 13 placeholders).
std::optional<GadgetPlaceholders> ParsePlaceholders(const std::string& text);

// What is written to ep0 first: FunctionFS descriptors (format v2) for full and high speed,
// interface 0 with the placeholders (OUT, then IN) and then the locator's OUT and IN
// endpoint. The endpoint files are ep1 .. epN in that order.
std::vector<uint8_t> FunctionFsDescriptors(const GadgetPlaceholders& placeholders);
// Then the strings: none (the interface has no string of its own).
std::vector<uint8_t> FunctionFsStrings();
// Numbers of the endpoint files of the locator's OUT and IN endpoint ("ep<n>").
uint32_t LocatorOutFile(const GadgetPlaceholders& placeholders);
uint32_t LocatorInFile(const GadgetPlaceholders& placeholders);

// One change that setting up the gadget makes; undone in reverse order.
struct GadgetStep {
  enum Kind { kMkdir, kWrite, kSymlink, kMount } kind;
  std::string path;
  std::string value;  // kWrite: the text; kSymlink: the target; kMount: the FunctionFS instance
  bool operator==(const GadgetStep&) const = default;
};
struct GadgetLayout {
  std::string configfs = "/sys/kernel/config";
  std::string name = "vx_locator";   // the gadget's directory and the FunctionFS instance
  std::string mountPoint = "/dev/ffs-vx_locator";
  uint16_t vendorId = kDefaultVendorId;
  uint16_t productId = 9;
  bool bMaxSpeed = true;             // the kernel has the gadget attribute max_speed
};
std::string GadgetDir(const GadgetLayout& layout);
// The gadget with its strings, configuration 1 (bus powered, 100 mA) and the FunctionFS
// function, then the FunctionFS mount: in the order configfs needs them.
std::vector<GadgetStep> GadgetSetupSteps(const GadgetLayout& layout);
// What undoes the first `done` steps, last first: unmount, remove links and directories
// (written attributes go with their directory).
std::vector<GadgetStep> GadgetUndoSteps(const std::vector<GadgetStep>& steps, size_t done);

// What this machine has for a gadget, and the controller chosen from it.
struct GadgetHostFacts {
  bool bRoot = false;
  bool bConfigfsKnown = false;    // /proc/filesystems lists configfs
  bool bConfigfsMounted = false;  // at /sys/kernel/config
  bool bGadgetDir = false;        // .../usb_gadget: libcomposite is loaded
  std::vector<std::string> controllers;  // /sys/class/udc
  std::string wanted;             // --udc, empty: the only one there is
};
struct GadgetChoice {
  std::string controller;  // empty on failure
  std::string error;       // what is missing and what to do about it
};
GadgetChoice ChooseController(const GadgetHostFacts& facts);

// Start sets the gadget up, binding the locator to the controller as it plugs in; onReady
// has the controller's name. Stop unbinds and removes the configfs entries and the mount.
class GadgetFrontend final : public Frontend {
 public:
  struct Options {
    std::string controller;  // empty: the only one there is
    std::optional<GadgetPlaceholders> placeholders;  // empty: by the controller's driver
    GadgetLayout layout;
  };
  GadgetFrontend(Locator& locator, Options options);
  ~GadgetFrontend() override;  // Stop()
  GadgetFrontend(const GadgetFrontend&) = delete;
  GadgetFrontend& operator=(const GadgetFrontend&) = delete;

  void SetLog(LogFunction log) override;
  bool Start(std::string* pError, const LogFunction& onReady = {}) override;
  void Stop() override;

  struct Impl;

 private:
  std::shared_ptr<Impl> m_pImpl;
};

}  // namespace vxsim
