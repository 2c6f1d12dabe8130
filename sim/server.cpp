#include "sim/server.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "net/net.h"

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace vxsim {
namespace {

constexpr uint32_t kMaxPayload = 64 * 1024;
constexpr uint32_t kSendTimeoutMs = 2000;

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
  Put32(b, uint32_t(v));
  Put32(b, uint32_t(v >> 32));
}
uint32_t Get32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
uint64_t Get64(const uint8_t* p) { return uint64_t(Get32(p)) | uint64_t(Get32(p + 4)) << 32; }

std::vector<uint8_t> Message(uint32_t type, const std::vector<uint8_t>& payload) {
  std::vector<uint8_t> b;
  Put32(b, type);
  Put32(b, uint32_t(payload.size()));
  b.insert(b.end(), payload.begin(), payload.end());
  return b;
}

struct Transfer {
  bool bOut;
  uint32_t seq;
  uint64_t deviceId;
  uint8_t pipe;
  uint32_t timeoutMs;
  uint32_t count;             // IN: bytes wanted
  std::vector<uint8_t> data;  // OUT: bytes to send
  Locator::TimePoint arrival;  // when the request's header was read: the bus time counts from here
};

// The worker meets the model's deadlines to the microsecond rather than within the
// scheduler's default timer slack (50 us on Linux).
void FineTimedWaits() {
#if defined(__linux__)
  prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL);
#endif
}

}  // namespace

struct Server::Impl {
  Locator& loc;
  std::string endpoint;
  std::function<void(const std::string&)> log;
  net::Acceptor acceptor;

  // The connection, guarded by mu; sends are serialised by sendMu (taken after mu).
  std::mutex mu;
  net::Handle client = net::kInvalid;
  bool bHello = false;
  uint64_t attachedId = 0;
  std::mutex sendMu;

  Impl(Locator& l, std::string e) : loc(l), endpoint(std::move(e)) {}

  void Log(const std::string& s) {
    if (log) log(s);
  }

  bool Send(net::Handle h, uint32_t type, const std::vector<uint8_t>& payload) {
    const std::vector<uint8_t> m = Message(type, payload);
    std::lock_guard<std::mutex> l(sendMu);
    if (!net::SendAll(h, m.data(), m.size())) {
      net::ShutdownBoth(h);  // the reader sees the end and cleans up
      return false;
    }
    return true;
  }

  void SendAttach(net::Handle h, uint64_t id) {
    std::vector<uint8_t> p;
    Put64(p, id);
    const auto d = DeviceDescriptorBytes(loc.VendorId(), loc.ProductId());
    p.insert(p.end(), d.begin(), d.end());
    Send(h, kMsgAttach, p);
  }

  void OnPlug(uint64_t id) {
    std::lock_guard<std::mutex> l(mu);
    if (client == net::kInvalid || !bHello || attachedId == id) return;
    if (attachedId != 0) {  // a departure we have not reported yet
      std::vector<uint8_t> p;
      Put64(p, attachedId);
      Send(client, kMsgDetach, p);
    }
    attachedId = id;
    SendAttach(client, id);
  }

  void OnUnplug(uint64_t id) {
    std::lock_guard<std::mutex> l(mu);
    if (client == net::kInvalid || !bHello || attachedId != id) return;
    attachedId = 0;
    std::vector<uint8_t> p;
    Put64(p, id);
    Send(client, kMsgDetach, p);
  }

  void SendResult(net::Handle h, uint32_t seq, BusStatus status, uint32_t moved, const uint8_t* pData, uint32_t len) {
    std::vector<uint8_t> p;
    Put32(p, seq);
    // A stall and babble are the protocol's one error status.
    Put32(p, uint32_t(status == BusStatus::kStall || status == BusStatus::kBabble ? BusStatus::kError : status));
    Put32(p, moved);
    if (len) p.insert(p.end(), pData, pData + len);
    Send(h, kMsgResult, p);
  }

  void Serve(net::Handle h);
};

void Server::Impl::Serve(net::Handle h) {
  net::SetSendTimeout(h, kSendTimeoutMs);
  net::EnableArrivalStamps(h);
  {
    std::lock_guard<std::mutex> l(mu);
    if (acceptor.StopFlag()) {  // Stop() ran before this client could be recorded
      client = net::kInvalid;
      net::Close(h);
      return;
    }
    client = h;
    bHello = false;
    attachedId = 0;
  }
  Log("client connected");

  // The worker: transfers in the order received.
  std::mutex qMu;
  std::condition_variable qCv;
  std::deque<Transfer> queue;
  bool bQuit = false;
  bool bWorkerDone = false;
  std::thread worker([&] {
    FineTimedWaits();
    std::vector<uint8_t> buf;
    for (;;) {
      Transfer t;
      {
        std::unique_lock<std::mutex> l(qMu);
        qCv.wait(l, [&] { return bQuit || !queue.empty(); });
        if (bQuit) break;
        t = std::move(queue.front());
        queue.pop_front();
      }
      uint32_t moved = 0;
      if (t.bOut) {
        const BusStatus s =
            loc.Out(t.deviceId, t.pipe, t.data.data(), uint32_t(t.data.size()), &moved, t.timeoutMs, t.arrival);
        SendResult(h, t.seq, s, moved, nullptr, 0);
      } else {
        buf.assign(t.count, 0);
        const BusStatus s = loc.In(t.deviceId, t.pipe, buf.data(), t.count, &moved, t.timeoutMs, t.arrival);
        SendResult(h, t.seq, s, moved, buf.data(), moved);
      }
    }
    std::lock_guard<std::mutex> l(qMu);
    bWorkerDone = true;
    qCv.notify_all();
  });

  std::vector<uint8_t> payload;
  for (;;) {
    uint8_t header[8];
    Locator::TimePoint arrival;  // when its first bytes came: modelled times count from there
    if (!net::RecvAllUnlessStamped(h, header, 8, &acceptor.StopFlag(), &arrival)) break;
    const uint32_t type = Get32(header), len = Get32(header + 4);
    if (len > kMaxPayload) {
      Log("client sent a message of " + std::to_string(len) + " bytes; closing");
      break;
    }
    payload.resize(len);
    if (len && !net::RecvAllUnless(h, payload.data(), len, &acceptor.StopFlag())) break;
    const uint8_t* p = payload.data();
    bool bBad = false;
    switch (type) {
      case kMsgHello: {
        if (len < 4 || Get32(p) != kProtocolVersion) {
          Log("client speaks another protocol version; closing");
          bBad = true;
          break;
        }
        std::lock_guard<std::mutex> l(mu);
        bHello = true;
        const uint64_t id = loc.DeviceId();
        if (id != 0) {
          attachedId = id;
          SendAttach(h, id);
        }
        break;
      }
      case kMsgSetIf: {
        if (len < 20) {
          bBad = true;
          break;
        }
        const BusStatus s = loc.SetInterface(Get64(p + 4), Get32(p + 12), Get32(p + 16));
        SendResult(h, Get32(p), s, 0, nullptr, 0);
        break;
      }
      case kMsgOut:
      case kMsgIn: {
        if (len < 20 || (type == kMsgIn && len < 24)) {
          bBad = true;
          break;
        }
        Transfer t;
        t.arrival = arrival;
        t.bOut = type == kMsgOut;
        t.seq = Get32(p);
        t.deviceId = Get64(p + 4);
        t.pipe = uint8_t(Get32(p + 12));
        if (t.bOut) {
          t.timeoutMs = Get32(p + 16);
          t.count = 0;
          t.data.assign(p + 20, p + len);
        } else {
          t.count = std::min(Get32(p + 16), kMaxPayload);
          t.timeoutMs = Get32(p + 20);
        }
        std::lock_guard<std::mutex> l(qMu);
        queue.push_back(std::move(t));
        qCv.notify_all();
        break;
      }
      default:
        break;  // not ours: skipped
    }
    if (bBad) {
      if (type != kMsgHello) Log("malformed message of type " + std::to_string(type) + "; closing");
      break;
    }
  }

  // The client left: no more reports to it, then end the worker (and its waiting transfer).
  {
    std::lock_guard<std::mutex> l(mu);
    client = net::kInvalid;
    bHello = false;
    attachedId = 0;
  }
  {
    std::unique_lock<std::mutex> l(qMu);
    bQuit = true;
    queue.clear();
    qCv.notify_all();
    while (!bWorkerDone) {
      loc.AbortWaits();  // repeated: the worker may enter a transfer just after one abort
      qCv.wait_for(l, std::chrono::milliseconds(20));
    }
  }
  worker.join();
  net::ShutdownBoth(h);
  net::Close(h);
  Log("client left");
}

Server::Server(Locator& locator, std::string endpoint)
    : m_pImpl(std::make_shared<Impl>(locator, std::move(endpoint))) {}

Server::~Server() { Stop(); }

void Server::SetLog(LogFunction log) { m_pImpl->log = std::move(log); }

bool Server::Start(std::string* pError, const LogFunction& onReady) {
  Impl& s = *m_pImpl;
  return s.acceptor.Start(
      s.endpoint, [p = &s](net::Handle h) { p->Serve(h); }, pError,
      [&](const std::string& bound) {
        s.loc.SetListener(ListenerFor(m_pImpl));
        if (onReady) onReady(bound);
      });
}

void Server::Stop() {
  Impl& s = *m_pImpl;
  s.acceptor.Stop([&s] {
    s.loc.SetListener({});
    std::lock_guard<std::mutex> c(s.mu);
    net::ShutdownBoth(s.client);
  });
}

std::string Server::Endpoint() const { return m_pImpl->acceptor.Bound(); }

}  // namespace vxsim
