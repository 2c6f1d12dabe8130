// The simulator's server reading arbitrary client messages: the fuzzer is a client that
// sends the input and then stops sending. Whatever it sent, the server answers within a
// bound, ends that connection once the client has gone, and still serves the next client,
// which is told of the plugged-in locator after its HELLO.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "net/net.h"
#include "sim/locator.h"
#include "sim/server.h"

namespace {

struct Served {
  vxsim::LocatorConfig Config() {
    vxsim::LocatorConfig cfg;
    cfg.bPlugged = true;
    return cfg;
  }
  std::string sPath = "/tmp/vx_fuzz_server." + std::to_string(getpid()) + ".sock";
  vxsim::Locator locator{Config()};
  vxsim::Server server{locator, sPath};
};

Served& TheServer() {
  static Served* p = [] {
    auto* ps = new Served;  // runs until the process ends
    std::string sError;
    if (!ps->server.Start(&sError)) __builtin_trap();
    std::atexit([] { net::RemoveEndpoint(TheServer().sPath); });
    return ps;
  }();
  return *p;
}

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  Served& s = TheServer();
  std::string sError;
  const net::Handle h = net::Connect(s.sPath, &sError);
  if (h == net::kInvalid) __builtin_trap();
  net::SendAll(h, pData, nSize);
  ::shutdown(static_cast<int>(h), SHUT_WR);
  // Whatever the server answers, it ends the connection once it has seen the client go:
  // a transfer it holds (for its time-out, however long) ends with the client.
  net::SetRecvTimeout(h, 10000);
  uint8_t ab[4096];
  for (;;) {
    const ssize_t n = ::recv(static_cast<int>(h), ab, sizeof ab, 0);
    if (n > 0) continue;
    // Time-out: the server kept the connection although the client had gone. A connection
    // closed with input unread is reset rather than ended: that is an end too.
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) __builtin_trap();
    if (n < 0 && errno == EINTR) continue;
    break;
  }
  net::Close(h);

  // The next client is served: its HELLO is answered with the locator's ATTACH.
  const net::Handle hNext = net::Connect(s.sPath, &sError);
  if (hNext == net::kInvalid) __builtin_trap();
  const uint8_t hello[12] = {1, 0, 0, 0, 4, 0, 0, 0, 1, 0, 0, 0};
  net::SendAll(hNext, hello, sizeof hello);
  net::SetRecvTimeout(hNext, 10000);
  uint8_t header[8];
  if (!net::RecvAll(hNext, header, sizeof header) || Get32(header) != 2) __builtin_trap();
  net::Close(hNext);
  return 0;
}
