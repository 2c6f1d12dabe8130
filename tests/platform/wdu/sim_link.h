// Ways for the layer's tests to reach a simulated locator: in-process, or over the
// simulator's socket protocol.
#pragma once

#include <memory>
#include <string>
#include <vector>

#include "platform/wdu/backend.h"
#include "sim/locator.h"

namespace wdutest {

enum class LinkKind { kInProcess, kSocket };

// One link to a locator; the destructor takes down whatever the link started.
class Link {
 public:
  virtual ~Link() = default;
  virtual const WduBackend* Backend() = 0;
  // Socket links only: the endpoint, and taking the simulator away and back.
  virtual std::string Endpoint() { return {}; }
  virtual void StopServer() {}
  virtual bool RestartServer() { return false; }
};

std::unique_ptr<Link> MakeLink(LinkKind kind, vxsim::Locator* pLocator);
std::vector<LinkKind> AvailableLinks();
std::string LinkName(LinkKind kind);

}  // namespace wdutest
