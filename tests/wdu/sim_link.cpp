#include "tests/wdu/sim_link.h"

#include "platform/wdu/sim_backend.h"

namespace wdutest {

namespace {

class InProcessLink : public Link {
 public:
  explicit InProcessLink(vxsim::Locator* pLocator) : m_pBackend(WduSimBackend(pLocator)) {}
  const WduBackend* Backend() override { return m_pBackend; }

 private:
  const WduBackend* m_pBackend;
};

}  // namespace

std::unique_ptr<Link> MakeLink(LinkKind kind, vxsim::Locator* pLocator) {
  switch (kind) {
    case LinkKind::kInProcess: return std::make_unique<InProcessLink>(pLocator);
    case LinkKind::kSocket: return nullptr;
  }
  return nullptr;
}

std::vector<LinkKind> AvailableLinks() { return {LinkKind::kInProcess}; }

std::string LinkName(LinkKind kind) { return kind == LinkKind::kInProcess ? "InProcess" : "Socket"; }

}  // namespace wdutest
