#include "net/net.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <optional>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#include <ws2tcpip.h>
#else
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>
#endif

namespace net {
namespace {

#if defined(_WIN32)
using Native = SOCKET;
Handle Wrap(Native s) { return s == INVALID_SOCKET ? kInvalid : Handle(s); }
std::string LastError() { return "socket error " + std::to_string(WSAGetLastError()); }
#else
using Native = int;
Handle Wrap(Native s) { return s < 0 ? kInvalid : Handle(s); }
std::string LastError() { return std::strerror(errno); }
#endif
Native Raw(Handle h) { return Native(h); }

// The port of a "tcp:PORT" endpoint, -1 when PORT is not a number up to 65535; none for a
// socket path.
std::optional<long> TcpPort(const std::string& endpoint) {
  if (endpoint.rfind("tcp:", 0) != 0) return std::nullopt;
  const std::string digits = endpoint.substr(4);
  if (digits.empty() || digits.size() > 5 || digits.find_first_not_of("0123456789") != std::string::npos) return -1;
  const long v = std::stol(digits);
  return v > 65535 ? -1 : v;
}

sockaddr_in Loopback(uint16_t port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_port = htons(port);
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  return a;
}

// An endpoint as a socket address: 127.0.0.1 and a port, or a Unix domain socket path.
struct Address {
  bool bTcp = true;
  sockaddr_in in;
#if !defined(_WIN32)
  sockaddr_un un;
#endif
  const sockaddr* Get() const {
#if !defined(_WIN32)
    if (!bTcp) return reinterpret_cast<const sockaddr*>(&un);
#endif
    return reinterpret_cast<const sockaddr*>(&in);
  }
  socklen_t Size() const {
#if !defined(_WIN32)
    if (!bTcp) return sizeof un;
#endif
    return sizeof in;
  }
};

// False (and *pError) when the endpoint names no address; port 0 (any) only for a listener.
bool Resolve(const std::string& endpoint, bool bListener, Address* pAddress, std::string* pError) {
  if (const std::optional<long> port = TcpPort(endpoint)) {
    if (*port < 0 || (*port == 0 && !bListener)) {
      *pError = "bad TCP endpoint \"" + endpoint + "\"";
      return false;
    }
    pAddress->in = Loopback(uint16_t(*port));
    return true;
  }
#if defined(_WIN32)
  *pError = "only tcp:PORT endpoints are supported on Windows";
  return false;
#else
  pAddress->bTcp = false;
  sockaddr_un& a = pAddress->un;
  std::memset(&a, 0, sizeof a);
  a.sun_family = AF_UNIX;
  if (endpoint.empty() || endpoint.size() >= sizeof a.sun_path) {
    *pError = "bad socket path \"" + endpoint + "\"";
    return false;
  }
  std::memcpy(a.sun_path, endpoint.c_str(), endpoint.size());
  return true;
#endif
}

// A stream socket for the address on which `step` (bind and listen, or connect) succeeded;
// kInvalid and *pError ("cannot <what> <endpoint>: <reason>") otherwise.
template <class Step>
Handle Open(const Address& address, const std::string& endpoint, const char* what, Step step, std::string* pError) {
  const Handle h = Wrap(socket(address.bTcp ? AF_INET : AF_UNIX, SOCK_STREAM, 0));
  if (h == kInvalid) {
    *pError = LastError();
    return kInvalid;
  }
  if (!step(Raw(h))) {
    *pError = std::string("cannot ") + what + " " + endpoint + ": " + LastError();
    Close(h);
    return kInvalid;
  }
  return h;
}

void NoDelay(Handle h) {
  int one = 1;
  setsockopt(Raw(h), IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&one), sizeof one);
}

}  // namespace

bool Startup() {
#if defined(_WIN32)
  static const bool bUp = [] {
    WSADATA data;
    return WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return bUp;
#else
  return true;
#endif
}

bool ValidEndpoint(const std::string& endpoint, bool bListener) {
  Address a;
  std::string ignored;
  return Resolve(endpoint, bListener, &a, &ignored);
}

Handle Listen(const std::string& endpoint, std::string* pBound, std::string* pError) {
  Startup();
  Address a;
  if (!Resolve(endpoint, true, &a, pError)) return kInvalid;
  if (!a.bTcp) RemoveEndpoint(endpoint);  // a stale one
  const Handle h = Open(a, endpoint, "listen on",
                        [&a](Native s) {
#if !defined(_WIN32)
                          int one = 1;
                          if (a.bTcp) setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
#endif
                          return bind(s, a.Get(), a.Size()) == 0 && listen(s, 4) == 0;
                        },
                        pError);
  if (h == kInvalid) return kInvalid;
  *pBound = endpoint;
  if (a.bTcp) {
    sockaddr_in bound = a.in;
    socklen_t len = sizeof bound;
    getsockname(Raw(h), reinterpret_cast<sockaddr*>(&bound), &len);
    *pBound = "tcp:" + std::to_string(ntohs(bound.sin_port));
  }
  return h;
}

Handle Accept(Handle listener) {
  const Handle h = Wrap(accept(Raw(listener), nullptr, nullptr));
  if (h != kInvalid) NoDelay(h);  // fails harmlessly on a Unix domain socket
  return h;
}

Handle Connect(const std::string& endpoint, std::string* pError) {
  Startup();
  Address a;
  if (!Resolve(endpoint, false, &a, pError)) return kInvalid;
  const Handle h = Open(
      a, endpoint, "connect to", [&a](Native s) { return connect(s, a.Get(), a.Size()) == 0; }, pError);
  if (h != kInvalid && a.bTcp) NoDelay(h);
  return h;
}

namespace {
// Repeats a send or receive until all of len has moved; false when the peer is gone or the
// socket failed. Interrupted calls are repeated.
template <class Byte, class Io>
bool MoveAll(Io io, Byte* p, size_t len) {
  while (len > 0) {
    const auto n = io(p, len > 65536 ? 65536 : len);
    if (n <= 0) {
#if !defined(_WIN32)
      if (n < 0 && errno == EINTR) continue;
#endif
      return false;
    }
    p += n;
    len -= size_t(n);
  }
  return true;
}
}  // namespace

bool SendAll(Handle h, const void* pData, size_t len) {
  return MoveAll(
      [h](const char* p, size_t n) {
#if defined(_WIN32)
        return send(Raw(h), p, int(n), 0);
#elif defined(MSG_NOSIGNAL)
        return send(Raw(h), p, n, MSG_NOSIGNAL);
#else
        return send(Raw(h), p, n, 0);
#endif
      },
      static_cast<const char*>(pData), len);
}

long RecvSome(Handle h, void* pData, size_t len) {
#if defined(_WIN32)
  return recv(Raw(h), static_cast<char*>(pData), int(len > (1u << 30) ? 1u << 30 : len), 0);
#else
  return long(recv(Raw(h), pData, len, 0));
#endif
}

bool RecvAll(Handle h, void* pData, size_t len) {
  return MoveAll([h](char* p, size_t n) { return RecvSome(h, p, n); }, static_cast<char*>(pData), len);
}

bool WaitReadable(Handle h, int ms) {
#if defined(_WIN32)
  fd_set set;
  FD_ZERO(&set);
  FD_SET(Raw(h), &set);
  timeval tv{ms / 1000, (ms % 1000) * 1000};
  return select(0, &set, nullptr, nullptr, ms < 0 ? nullptr : &tv) != 0;
#else
  pollfd pfd{Raw(h), POLLIN, 0};
  const int n = poll(&pfd, 1, ms);
  return n != 0 && !(n < 0 && errno == EINTR);
#endif
}

namespace {
void SetTimeout(Handle h, int option, uint32_t ms) {
#if defined(_WIN32)
  DWORD v = ms;
  setsockopt(Raw(h), SOL_SOCKET, option, reinterpret_cast<const char*>(&v), sizeof v);
#else
  timeval tv;
  tv.tv_sec = ms / 1000;
  tv.tv_usec = (ms % 1000) * 1000;
  setsockopt(Raw(h), SOL_SOCKET, option, &tv, sizeof tv);
#endif
}

}  // namespace

bool RecvAllUnless(Handle h, void* pData, size_t len, const std::atomic<bool>* pStop) {
#if defined(_WIN32)
  auto receive = [&](char* p, size_t n) -> long {
    while (!*pStop) {
      if (WaitReadable(h, 100)) return RecvSome(h, p, n);
    }
    return -1;
  };
  return MoveAll(receive, static_cast<char*>(pData), len);
#else
  // shutdown() from the stopping thread wakes the receive.
  return !*pStop && RecvAll(h, pData, len);
#endif
}

void EnableArrivalStamps(Handle h) {
#if defined(SO_TIMESTAMPNS)
  int one = 1;
  setsockopt(Raw(h), SOL_SOCKET, SO_TIMESTAMPNS, &one, sizeof one);  // fails harmlessly elsewhere
#else
  (void)h;
#endif
}

bool RecvAllUnlessStamped(Handle h, void* pData, size_t len, const std::atomic<bool>* pStop,
                          std::chrono::steady_clock::time_point* pArrival) {
#if defined(SO_TIMESTAMPNS)
  if (*pStop || len == 0) return false;
  char* p = static_cast<char*>(pData);
  alignas(cmsghdr) char control[CMSG_SPACE(sizeof(timespec))];
  iovec iov{p, len};
  msghdr msg{};
  msg.msg_iov = &iov;
  msg.msg_iovlen = 1;
  ssize_t n = 0;
  do {
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    n = recvmsg(Raw(h), &msg, 0);
  } while (n < 0 && errno == EINTR);
  if (n <= 0) return false;
  const auto now = std::chrono::steady_clock::now();
  *pArrival = now;
  for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
    if (c->cmsg_level != SOL_SOCKET || c->cmsg_type != SCM_TIMESTAMPNS) continue;
    // The stamp is on the wall clock: it is as far before now as it is before the wall
    // clock's now.
    timespec stamp, wall;
    std::memcpy(&stamp, CMSG_DATA(c), sizeof stamp);
    clock_gettime(CLOCK_REALTIME, &wall);
    const int64_t ago = (int64_t(wall.tv_sec) - stamp.tv_sec) * 1000000000 + (wall.tv_nsec - stamp.tv_nsec);
    if (ago > 0) *pArrival = now - std::chrono::nanoseconds(ago);
  }
  return size_t(n) == len || RecvAllUnless(h, p + n, len - size_t(n), pStop);
#else
  const bool bOk = RecvAllUnless(h, pData, len, pStop);
  *pArrival = std::chrono::steady_clock::now();
  return bOk;
#endif
}

void SetSendTimeout(Handle h, uint32_t ms) { SetTimeout(h, SO_SNDTIMEO, ms); }
void SetRecvTimeout(Handle h, uint32_t ms) { SetTimeout(h, SO_RCVTIMEO, ms); }

void ShutdownBoth(Handle h) {
  if (h == kInvalid) return;
#if defined(_WIN32)
  shutdown(Raw(h), SD_BOTH);
#else
  shutdown(Raw(h), SHUT_RDWR);
#endif
}

void Close(Handle h) {
  if (h == kInvalid) return;
#if defined(_WIN32)
  closesocket(Raw(h));
#else
  close(Raw(h));
#endif
}

void RemoveEndpoint(const std::string& endpoint) {
#if !defined(_WIN32)
  if (TcpPort(endpoint)) return;
  struct stat st;
  if (lstat(endpoint.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) unlink(endpoint.c_str());
#else
  (void)endpoint;
#endif
}

namespace {

void ServeEach(Handle listener, const std::atomic<bool>* pStop, const std::function<void(Handle)>& serve) {
  while (!*pStop) {
    const Handle h = Accept(listener);
    if (*pStop) {
      Close(h);
      break;
    }
    if (h == kInvalid) {
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
      continue;
    }
    serve(h);
  }
}

// Wakes a ServeEach blocked in accept, once its stop flag is set: shuts the listener down
// and, where that does not wake the accept (Windows), connects to it.
void WakeAcceptor(Handle listener, const std::string& bound) {
  ShutdownBoth(listener);
  std::string ignored;
  Close(Connect(bound, &ignored));
}

}  // namespace

Acceptor::~Acceptor() { Stop({}); }

bool Acceptor::Start(const std::string& endpoint, std::function<void(Handle)> serve, std::string* pError,
                     const std::function<void(const std::string&)>& onListening) {
  std::lock_guard<std::mutex> l(m_mu);
  if (m_hListener != kInvalid) return true;
  m_bStop = false;
  std::string error;
  m_hListener = Listen(endpoint, &m_sBound, &error);
  if (m_hListener == kInvalid) {
    if (pError) *pError = error;
    return false;
  }
  if (onListening) onListening(m_sBound);
  m_thread = std::thread(
      [this, listener = m_hListener, serve = std::move(serve)] { ServeEach(listener, &m_bStop, serve); });
  return true;
}

void Acceptor::Stop(const std::function<void()>& endServing) {
  std::lock_guard<std::mutex> l(m_mu);
  if (m_hListener == kInvalid) return;
  m_bStop = true;
  if (endServing) endServing();
  WakeAcceptor(m_hListener, m_sBound);
  m_thread.join();
  Close(m_hListener);
  m_hListener = kInvalid;
  RemoveEndpoint(m_sBound);
}

std::string Acceptor::Bound() const {
  std::lock_guard<std::mutex> l(m_mu);
  return m_sBound;
}

}  // namespace net
