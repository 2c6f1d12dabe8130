#include "tests/platform/wdu/sim_link.h"

#include <atomic>
#include <cstdio>

#include "platform/wdu/sim_backend.h"
#include "sim/server.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace wdutest {

namespace {

class InProcessLink : public Link {
 public:
  explicit InProcessLink(vxsim::Locator* pLocator) : m_pBackend(WduSimBackend(pLocator)) {}
  const WduBackend* Backend() override { return m_pBackend; }

 private:
  const WduBackend* m_pBackend;
};

class SocketLink : public Link {
 public:
  explicit SocketLink(vxsim::Locator* pLocator) : m_pLocator(pLocator), m_sEndpoint(FreshEndpoint()) {}
  bool Start() {
    m_pServer = std::make_unique<vxsim::Server>(*m_pLocator, m_sEndpoint);
    std::string sError;
    if (!m_pServer->Start(&sError)) {
      std::fprintf(stderr, "simulator server: %s\n", sError.c_str());
      m_pServer.reset();
      return false;
    }
    m_sEndpoint = m_pServer->Endpoint();  // "tcp:0" gets its port once, then keeps it
    return true;
  }
  const WduBackend* Backend() override { return WduSocketBackend(m_sEndpoint.c_str()); }
  std::string Endpoint() override { return m_sEndpoint; }
  void StopServer() override { m_pServer.reset(); }
  bool RestartServer() override { return Start(); }

 private:
  static std::string FreshEndpoint() {
    static std::atomic<unsigned> nNext{0};
#if defined(_WIN32)
    return "tcp:0";
#else
    return "/tmp/vx_wdu_test_" + std::to_string(getpid()) + "_" + std::to_string(nNext++) + ".sock";
#endif
  }
  vxsim::Locator* m_pLocator;
  std::string m_sEndpoint;
  std::unique_ptr<vxsim::Server> m_pServer;
};

}  // namespace

std::unique_ptr<Link> MakeLink(LinkKind kind, vxsim::Locator* pLocator) {
  switch (kind) {
    case LinkKind::kInProcess: return std::make_unique<InProcessLink>(pLocator);
    case LinkKind::kSocket: {
      auto pLink = std::make_unique<SocketLink>(pLocator);
      if (pLink->Start()) return pLink;
      return nullptr;
    }
  }
  return nullptr;
}

std::vector<LinkKind> AvailableLinks() { return {LinkKind::kInProcess, LinkKind::kSocket}; }

std::string LinkName(LinkKind kind) { return kind == LinkKind::kInProcess ? "InProcess" : "Socket"; }

}  // namespace wdutest
