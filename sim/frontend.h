// The one interface of the simulator's front-ends, which present the locator to a host: the
// socket server (the updater's socket backend), the usbredir front-end (a QEMU guest) and the
// gadget (a device controller). A front-end is the locator's listener while it runs.
#pragma once

#include <functional>
#include <string>

namespace vxsim {

using LogFunction = std::function<void(const std::string&)>;

class Frontend {
 public:
  virtual ~Frontend() = default;
  // Where the front-end's lines go; before Start.
  virtual void SetLog(LogFunction log) = 0;
  // Starts serving. False (and *pError: what is missing) when it cannot, with nothing left
  // behind. onReady runs with what it serves on (endpoint, socket path, controller) before
  // any host is served, so that what it prints comes before any host's events.
  virtual bool Start(std::string* pError, const LogFunction& onReady = {}) = 0;
  // Ends the connection and the front-end; returns once its threads have ended.
  virtual void Stop() = 0;
};

}  // namespace vxsim
