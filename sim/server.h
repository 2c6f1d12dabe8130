// Serves one simulated locator to one client at a time over the simulator's socket
// protocol (see DESIGN.md): a Unix domain socket path, or "tcp:PORT" on 127.0.0.1.
//
// The reader thread answers HELLO with ATTACH for a present locator and SETIF at once;
// OUT and IN go, in the order received, to one worker thread, so a transfer waiting for
// its time-out does not hold up an interface selection. A client that leaves (or dies
// mid-transfer) ends its waiting transfer and its queue; the next client may connect.
// Messages with a payload above 64 KB, or a HELLO of another version, end the connection.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "sim/frontend.h"
#include "sim/locator.h"

namespace vxsim {

enum MessageType : uint32_t {
  kMsgHello = 1,
  kMsgAttach = 2,
  kMsgDetach = 3,
  kMsgSetIf = 4,
  kMsgOut = 5,
  kMsgIn = 6,
  kMsgResult = 7,
};
constexpr uint32_t kProtocolVersion = 1;

// Start listens on the endpoint; onReady has the endpoint as bound.
class Server final : public Frontend {
 public:
  Server(Locator& locator, std::string endpoint);
  ~Server() override;  // Stop()
  Server(const Server&) = delete;
  Server& operator=(const Server&) = delete;

  void SetLog(LogFunction log) override;
  bool Start(std::string* pError, const LogFunction& onReady = {}) override;
  void Stop() override;
  // The endpoint as bound: "tcp:0" is given the port the system chose.
  std::string Endpoint() const;

  struct Impl;

 private:
  std::shared_ptr<Impl> m_pImpl;
};

}  // namespace vxsim
