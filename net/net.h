// Plain stream sockets for both ends of the simulator's wire (the updater's socket backend,
// the simulator's server and front-ends, their tests): an endpoint is a Unix domain socket
// path, or "tcp:PORT" on 127.0.0.1 (the only kind on Windows). Framing stays with each end.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

namespace net {

using Handle = intptr_t;
constexpr Handle kInvalid = -1;

// Brings the system's sockets up (Windows; once). False when they cannot be had.
bool Startup();
// Whether the text names an endpoint; port 0 (any) only for a listener.
bool ValidEndpoint(const std::string& endpoint, bool bListener);
// Listens on the endpoint; *pBound gets the endpoint as bound ("tcp:0" becomes the port
// the system chose).
Handle Listen(const std::string& endpoint, std::string* pBound, std::string* pError);
Handle Accept(Handle listener);
Handle Connect(const std::string& endpoint, std::string* pError);
bool SendAll(Handle h, const void* pData, size_t len);  // never raises SIGPIPE
bool RecvAll(Handle h, void* pData, size_t len);        // false on error or end of stream
// One receive: the bytes it got, 0 at the end of the stream, negative on an error.
long RecvSome(Handle h, void* pData, size_t len);
// True when the socket has bytes to read (or has failed) within ms (-1: no limit).
bool WaitReadable(Handle h, int ms);
// Like RecvAll, but gives up once *pStop is set. Where shutdown does not wake a blocked
// receive (Windows), it waits in slices of 100 ms to look at the flag.
bool RecvAllUnless(Handle h, void* pData, size_t len, const std::atomic<bool>* pStop);
// Asks the system to stamp what arrives on the connection with its arrival time (TCP; a
// Unix domain socket has no such stamps).
void EnableArrivalStamps(Handle h);
// RecvAllUnless that also tells when the first of the bytes arrived: the system's stamp
// where the connection has them, else the time the first receive returned. The stamp leaves
// out how late this thread woke up to read.
bool RecvAllUnlessStamped(Handle h, void* pData, size_t len, const std::atomic<bool>* pStop,
                          std::chrono::steady_clock::time_point* pArrival);
void SetSendTimeout(Handle h, uint32_t ms);
void SetRecvTimeout(Handle h, uint32_t ms);  // RecvAll then fails after ms without data
void ShutdownBoth(Handle h);  // wakes a thread blocked in RecvAll
void Close(Handle h);
// Removes a Unix socket path left by Listen (no-op for tcp:).
void RemoveEndpoint(const std::string& endpoint);

// Listens on an endpoint and serves one connection at a time on a thread of its own, from
// Start to Stop: accepts one, hands it to serve (which returns when the connection has
// ended) and accepts the next. A failed accept (e.g. out of descriptors) is retried after
// 50 ms.
class Acceptor {
 public:
  Acceptor() = default;
  ~Acceptor();  // Stop({}): an owner that serves a connection stops first
  Acceptor(const Acceptor&) = delete;
  Acceptor& operator=(const Acceptor&) = delete;

  // True at once when already started. False (and *pError, when given) when the endpoint
  // cannot be had. onListening, when given, runs with the bound endpoint before the first
  // connection can be accepted.
  bool Start(const std::string& endpoint, std::function<void(Handle)> serve, std::string* pError,
             const std::function<void(const std::string&)>& onListening = {});
  // Sets the stop flag and runs endServing, which makes the connection being served (if
  // any) end; wakes the accept, waits for the thread, closes the listener and removes its
  // endpoint. Does nothing when not started.
  void Stop(const std::function<void()>& endServing);
  // Set by Stop until the next Start: serve returns once it sees it.
  const std::atomic<bool>& StopFlag() const { return m_bStop; }
  // The endpoint as bound by the last successful Start ("tcp:0" becomes the port the
  // system chose); empty before.
  std::string Bound() const;

 private:
  mutable std::mutex m_mu;  // Start/Stop
  Handle m_hListener = kInvalid;
  std::string m_sBound;
  std::atomic<bool> m_bStop{false};
  std::thread m_thread;
};

}  // namespace net
