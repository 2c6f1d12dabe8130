// The client side of the simulator's socket protocol: the backend that reaches a
// vx_locator_sim process over a Unix domain socket (a path) or TCP on 127.0.0.1
// ("tcp:PORT").
//
// One connection thread connects (retrying every 500 ms while the simulator is not there)
// and says HELLO. Whoever holds the read turn reads the socket: ATTACH and DETACH go to the
// sink, RESULTs are routed by sequence number to the callers waiting for them. While no
// call is exchanging, the connection thread holds the turn. A caller waiting for its RESULT
// takes the turn once it is free and reads its answer itself, so an exchange costs one
// wake-up, not a wake-up of the reader and a hand-off to the caller; the connection thread
// takes the turn back once calls have paused for kCallerLinger. Callers send under a send
// lock. When the connection is lost, waiting calls fail, the attached device is reported
// gone and the thread connects again. Device ids given to the layer are this client's own,
// new for each presence, so that ids reused by a restarted simulator never alias an old device.
#if defined(__linux__)
#include <pthread.h>
#endif

#include <algorithm>
#include <climits>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "platform/wdu/backend.h"

namespace {

enum MsgType : uint32_t { kHello = 1, kAttach = 2, kDetach = 3, kSetIf = 4, kOut = 5, kIn = 6, kResult = 7 };
constexpr uint32_t kProtocolVersion = 1;
constexpr uint32_t kMaxPayload = 1u << 20;  // larger is not this protocol: drop the link
constexpr uint32_t kDescriptorBytes = 18;
constexpr auto kRetryPeriod = std::chrono::milliseconds(500);
constexpr uint32_t kSendTimeoutMs = 2000;  // a simulator that stops reading must not hold a sender for ever
constexpr uint64_t kReplyGraceMs = 2000;        // added to a transfer's own time-out
constexpr uint64_t kSetInterfaceWaitMs = 2000;  // answered at once by the simulator
// How long after its last call the read turn stays with the callers: longer than the pauses
// of an update (the 100 ms erase pacing), so that the connection thread stays out of it;
// a DETACH that comes while nobody calls is read after at most this.
constexpr auto kCallerLinger = std::chrono::milliseconds(150);
#if defined(_WIN32)
constexpr int kReadSliceMs = 500;  // a shut-down socket does not always end a wait on Windows
#else
constexpr int kReadSliceMs = -1;   // shutdown ends the wait
#endif

void PutU32(std::vector<uint8_t>& v, uint32_t x) {
  for (int i = 0; i < 4; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
void PutU64(std::vector<uint8_t>& v, uint64_t x) {
  for (int i = 0; i < 8; ++i) v.push_back(static_cast<uint8_t>(x >> (8 * i)));
}
uint32_t GetU32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}
uint64_t GetU64(const uint8_t* p) { return static_cast<uint64_t>(GetU32(p)) | static_cast<uint64_t>(GetU32(p + 4)) << 32; }
uint16_t GetU16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

WDU_DEVICE_DESCRIPTOR ParseDescriptor(const uint8_t* p) {
  WDU_DEVICE_DESCRIPTOR d{};
  d.bLength = p[0];
  d.bDescriptorType = p[1];
  d.bcdUSB = GetU16(p + 2);
  d.bDeviceClass = p[4];
  d.bDeviceSubClass = p[5];
  d.bDeviceProtocol = p[6];
  d.bMaxPacketSize0 = p[7];
  d.idVendor = GetU16(p + 8);
  d.idProduct = GetU16(p + 10);
  d.bcdDevice = GetU16(p + 12);
  d.iManufacturer = p[14];
  d.iProduct = p[15];
  d.iSerialNumber = p[16];
  d.bNumConfigurations = p[17];
  return d;
}

DWORD StatusFromWire(uint32_t u) {
  switch (u) {
    case 0: return WD_STATUS_SUCCESS;
    case 1: return WD_TIME_OUT_EXPIRED;
    case 2: return WD_DEVICE_NOT_FOUND;
    case 3: return WD_USBD_STATUS_STALL;
    default: return WD_OPERATION_FAILED;
  }
}

// One request waiting for its RESULT. The reader copies an IN transfer's bytes straight
// into the caller's buffer while the caller waits (an exchange allocates nothing).
struct Pending {
  bool bDone = false;
  DWORD dwStatus = WD_DEVICE_NOT_FOUND;
  uint32_t uMoved = 0;
  uint8_t* pDest = nullptr;
  uint32_t uCapacity = 0;
  uint32_t uCopied = 0;
};

struct SocketClient {
  std::string sEndpoint;
  WduBackend backend{};

  std::mutex mtxSend;  // held while sending; the socket is replaced only under it and mtx
  std::mutex mtx;      // guards everything below but the read buffer
  std::condition_variable cv;        // callers: a RESULT came, or the read turn is free
  std::condition_variable cvThread;  // the connection thread: stop, a lost link, the turn back
  WduSink sink{};
  bool bRunning = false;
  std::thread thread;
  net::Handle sock = net::kInvalid;
  bool bLinked = false;          // HELLO sent on the current connection
  bool bBroken = false;          // a reader saw the current connection fail
  bool bClosedByStop = false;    // Close already closed the socket (Windows)
  bool bReading = false;         // the read turn is taken
  std::chrono::steady_clock::time_point tLastCall{};  // the latest call's start or end
  uint64_t uServerDevice = 0;    // the simulator's id of the attached device
  uint64_t uLocalDevice = 0;     // ours; 0 when none
  uint64_t uNextLocal = 1;
  uint32_t uNextSeq = 1;
  std::vector<std::pair<uint32_t, Pending*>> pending;  // by sequence number; capacity reserved
  std::vector<uint8_t> sendBuf;                        // under mtxSend; keeps its capacity
  std::vector<uint8_t> readBuf;                        // with the read turn: bytes not yet handled
  size_t nReadHave = 0;

  SocketClient() {
    pending.reserve(16);
    sendBuf.reserve(2048);
    readBuf.resize(16 * 1024);
  }
};

std::vector<std::pair<uint32_t, Pending*>>::iterator FindPending(SocketClient& c, uint32_t uSeq) {
  return std::find_if(c.pending.begin(), c.pending.end(), [&](const auto& e) { return e.first == uSeq; });
}

void ErasePending(SocketClient& c, uint32_t uSeq) {
  auto it = FindPending(c, uSeq);
  if (it != c.pending.end()) c.pending.erase(it);
}

// Reports the attached device gone (called with mtx held; the sink only queues).
void DropDeviceLocked(SocketClient& c) {
  if (c.uLocalDevice == 0) return;
  const uint64_t uLocal = c.uLocalDevice;
  c.uLocalDevice = 0;
  c.uServerDevice = 0;
  c.sink.Left(c.sink.pLayer, uLocal);
}

void HandleMessage(SocketClient& c, uint32_t uType, const uint8_t* p, size_t nSize) {
  std::unique_lock<std::mutex> lk(c.mtx);
  if (!c.bRunning) return;
  if (uType == kAttach && nSize >= 8 + kDescriptorBytes) {
    DropDeviceLocked(c);
    c.uServerDevice = GetU64(p);
    c.uLocalDevice = c.uNextLocal++;
    const WDU_DEVICE_DESCRIPTOR d = ParseDescriptor(p + 8);
    c.sink.Arrived(c.sink.pLayer, c.uLocalDevice, &d);
  } else if (uType == kDetach && nSize >= 8) {
    if (c.uLocalDevice != 0 && GetU64(p) == c.uServerDevice) DropDeviceLocked(c);
  } else if (uType == kResult && nSize >= 12) {
    auto it = FindPending(c, GetU32(p));
    if (it == c.pending.end()) return;  // its caller gave up waiting
    Pending& r = *it->second;
    r.dwStatus = StatusFromWire(GetU32(p + 4));
    r.uMoved = GetU32(p + 8);
    r.uCopied = static_cast<uint32_t>(std::min<size_t>(nSize - 12, r.uCapacity));
    if (r.uCopied != 0) std::memcpy(r.pDest, p + 12, r.uCopied);
    r.bDone = true;
    c.pending.erase(it);
    lk.unlock();  // the woken caller does not have to wait for the lock
    c.cv.notify_all();
  }
}

// With the read turn: waits at most nWaitMs for bytes, takes what has arrived with one
// receive and handles every whole message. False when the connection failed or spoke
// something else than this protocol.
bool ReadSome(SocketClient& c, net::Handle s, int nWaitMs) {
  if (!net::WaitReadable(s, nWaitMs)) return true;
  std::vector<uint8_t>& buf = c.readBuf;
  const long n = net::RecvSome(s, buf.data() + c.nReadHave, buf.size() - c.nReadHave);
  if (n <= 0) return false;
  c.nReadHave += static_cast<size_t>(n);
  size_t nUsed = 0;
  while (c.nReadHave - nUsed >= 8) {
    const uint8_t* pMsg = buf.data() + nUsed;
    const uint32_t uLength = GetU32(pMsg + 4);
    if (uLength > kMaxPayload) return false;
    if (c.nReadHave - nUsed < 8 + size_t(uLength)) {
      if (buf.size() < 8 + size_t(uLength)) {
        std::memmove(buf.data(), pMsg, c.nReadHave - nUsed);
        c.nReadHave -= nUsed;
        nUsed = 0;
        buf.resize(8 + size_t(uLength));
      }
      break;
    }
    HandleMessage(c, GetU32(pMsg), pMsg + 8, uLength);
    nUsed += 8 + size_t(uLength);
  }
  if (nUsed != 0) {
    std::memmove(buf.data(), buf.data() + nUsed, c.nReadHave - nUsed);
    c.nReadHave -= nUsed;
  }
  return true;
}

// Gives the read turn back; a reader that saw the connection fail says so. The connection
// thread is woken only when it has to act: the link failed or the client stops.
void EndReadTurn(SocketClient& c, bool bOk) {
  bool bWakeThread = false;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    c.bReading = false;
    if (!bOk) c.bBroken = true;
    bWakeThread = c.bBroken || !c.bRunning;
  }
  c.cv.notify_all();
  if (bWakeThread) c.cvThread.notify_all();
}

// The connection thread's part of one connection: it reads while no call is exchanging and
// returns once the connection has failed or the client stops.
void ServeConnection(SocketClient& c, net::Handle s) {
  for (;;) {
    {
      std::unique_lock<std::mutex> lk(c.mtx);
      for (;;) {
        if (!c.bRunning || c.bBroken) return;
        const auto tIdle = std::chrono::steady_clock::now() - c.tLastCall;
        if (!c.bReading && c.pending.empty() && tIdle >= kCallerLinger) break;
        c.cvThread.wait_for(lk, kCallerLinger);
      }
      c.bReading = true;
    }
    for (;;) {
      const bool bOk = ReadSome(c, s, kReadSliceMs);
      bool bYield = !bOk;
      {
        std::lock_guard<std::mutex> lk(c.mtx);
        bYield = bYield || !c.bRunning || !c.pending.empty() ||
                 std::chrono::steady_clock::now() - c.tLastCall < kCallerLinger;
      }
      if (bYield) {
        EndReadTurn(c, bOk);
        break;
      }
    }
  }
}

void ConnectionThread(SocketClient* pc) {
  OsRunAtNormalPriority();
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "vx-usb-socket");
#endif
  SocketClient& c = *pc;
  for (;;) {
    {
      std::lock_guard<std::mutex> lk(c.mtx);
      if (!c.bRunning) return;
    }
    std::string sIgnored;
    net::Handle s = net::Connect(c.sEndpoint, &sIgnored);
    bool bUp = false;
    if (s != net::kInvalid) {
      net::SetSendTimeout(s, kSendTimeoutMs);
      std::vector<uint8_t> hello;
      for (uint32_t u : {uint32_t(kHello), 4u, kProtocolVersion}) PutU32(hello, u);  // type, length, version
      std::lock_guard<std::mutex> lkSend(c.mtxSend);
      std::lock_guard<std::mutex> lk(c.mtx);
      if (c.bRunning && net::SendAll(s, hello.data(), hello.size())) {
        c.sock = s;
        c.bLinked = true;
        c.bBroken = false;
        c.nReadHave = 0;
        c.tLastCall = {};  // calls on an earlier connection do not keep this one unread
        bUp = true;
      }
    }
    if (bUp) {
      ServeConnection(c, s);
      std::lock_guard<std::mutex> lkSend(c.mtxSend);
      std::unique_lock<std::mutex> lk(c.mtx);
      // A caller may still be reading: shutting the socket down ends its wait.
      if (!c.bClosedByStop) net::ShutdownBoth(s);
      c.cvThread.wait(lk, [&] { return !c.bReading; });
      if (c.bClosedByStop) s = net::kInvalid;
      c.bClosedByStop = false;
      c.sock = net::kInvalid;
      c.bLinked = false;
      for (auto& [uSeq, pPending] : c.pending) {
        pPending->bDone = true;
        pPending->dwStatus = WD_DEVICE_NOT_FOUND;
        pPending->uMoved = 0;
      }
      c.pending.clear();
      c.cv.notify_all();
      if (c.bRunning) DropDeviceLocked(c);
    }
    net::Close(s);
    std::unique_lock<std::mutex> lk(c.mtx);
    c.cvThread.wait_for(lk, kRetryPeriod, [&] { return !c.bRunning; });
  }
}

// Sends one request (after its sequence number and device id: the 32-bit fields, then the
// data bytes) and waits for its RESULT, at most uWaitMs. The message is built in the
// client's send buffer, so an exchange allocates nothing.
DWORD Exchange(SocketClient& c, uint32_t uType, uint64_t uDevice, std::initializer_list<uint32_t> fields,
               const uint8_t* pData, size_t nData, uint64_t uWaitMs, Pending* pResult) {
  uint32_t uSeq = 0;
  uint64_t uServerDevice = 0;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (!c.bLinked || uDevice == 0 || uDevice != c.uLocalDevice) return WD_DEVICE_NOT_FOUND;
    uSeq = c.uNextSeq++;
    c.pending.emplace_back(uSeq, pResult);
    c.tLastCall = std::chrono::steady_clock::now();
    uServerDevice = c.uServerDevice;
  }
  bool bSent = false;
  {
    std::lock_guard<std::mutex> lkSend(c.mtxSend);
    net::Handle s = net::kInvalid;
    {
      std::lock_guard<std::mutex> lk(c.mtx);
      s = c.sock;
    }
    if (s != net::kInvalid) {
      std::vector<uint8_t>& m = c.sendBuf;
      m.clear();
      PutU32(m, uType);
      PutU32(m, static_cast<uint32_t>(12 + 4 * fields.size() + nData));
      PutU32(m, uSeq);
      PutU64(m, uServerDevice);
      for (uint32_t u : fields) PutU32(m, u);
      if (nData != 0) m.insert(m.end(), pData, pData + nData);
      bSent = net::SendAll(s, m.data(), m.size());
      if (!bSent) net::ShutdownBoth(s);  // the reader sees the loss and cleans up
    }
  }
  std::unique_lock<std::mutex> lk(c.mtx);
  if (!bSent) {
    ErasePending(c, uSeq);
    return WD_DEVICE_NOT_FOUND;
  }
  // Wait for the RESULT: read it ourselves when the read turn is free, else wait for the
  // reader that has it to hand it over (or to give the turn up).
  const auto tDeadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(uWaitMs);
  while (!pResult->bDone) {
    const auto tNow = std::chrono::steady_clock::now();
    if (tNow >= tDeadline) break;
    if (!c.bReading && c.bLinked && !c.bBroken && c.bRunning) {
      c.bReading = true;
      const net::Handle s = c.sock;
      lk.unlock();
      int64_t nWaitMs = std::chrono::ceil<std::chrono::milliseconds>(tDeadline - tNow).count();
      if (kReadSliceMs >= 0) nWaitMs = std::min<int64_t>(nWaitMs, kReadSliceMs);
      const bool bOk = ReadSome(c, s, static_cast<int>(std::min<int64_t>(nWaitMs, INT_MAX)));
      EndReadTurn(c, bOk);
      lk.lock();
    } else {
      c.cv.wait_until(lk, tDeadline);
    }
  }
  c.tLastCall = std::chrono::steady_clock::now();
  if (!pResult->bDone) {
    ErasePending(c, uSeq);
    return WD_TIME_OUT_EXPIRED;  // the simulator never answered
  }
  return pResult->dwStatus;
}

DWORD SockOpen(void* pCtx, const WduSink* pSink) {
  SocketClient& c = *static_cast<SocketClient*>(pCtx);
  if (pSink == nullptr || !net::ValidEndpoint(c.sEndpoint, false)) return WD_INVALID_PARAMETER;
  if (!net::Startup()) return WD_OPERATION_FAILED;
  std::lock_guard<std::mutex> lk(c.mtx);
  if (c.bRunning) return WD_OPERATION_FAILED;  // one layer at a time
  c.sink = *pSink;
  c.bRunning = true;
  c.thread = std::thread(ConnectionThread, &c);
  return WD_STATUS_SUCCESS;
}

void SockClose(void* pCtx) {
  SocketClient& c = *static_cast<SocketClient*>(pCtx);
  std::thread t;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (!c.bRunning) return;
    c.bRunning = false;
    if (c.sock != net::kInvalid) {
      net::ShutdownBoth(c.sock);  // wakes whoever reads
#if defined(_WIN32)
      // A shut-down socket does not always end a blocked recv on Windows; closing does.
      net::Close(c.sock);
      c.bClosedByStop = true;
#endif
    }
    c.cv.notify_all();
    c.cvThread.notify_all();
    t = std::move(c.thread);
  }
  t.join();
  std::lock_guard<std::mutex> lk(c.mtx);
  c.uLocalDevice = 0;
  c.uServerDevice = 0;
}

DWORD SockSetInterface(void* pCtx, uint64_t uDeviceId, DWORD dwInterface, DWORD dwAltSetting) {
  SocketClient& c = *static_cast<SocketClient*>(pCtx);
  Pending r;
  return Exchange(c, kSetIf, uDeviceId, {dwInterface, dwAltSetting}, nullptr, 0, kSetInterfaceWaitMs, &r);
}

DWORD SockTransfer(void* pCtx, uint64_t uDeviceId, DWORD dwPipe, bool bRead, DWORD /*dwOptions*/, uint8_t* pBuffer,
                   DWORD dwBytes, DWORD* pdwMoved, DWORD dwTimeoutMs) {
  SocketClient& c = *static_cast<SocketClient*>(pCtx);
  *pdwMoved = 0;
  Pending r;
  const uint64_t uWaitMs = static_cast<uint64_t>(dwTimeoutMs) + kReplyGraceMs;
  DWORD dwStatus = WD_STATUS_SUCCESS;
  if (bRead) {
    r.pDest = pBuffer;
    r.uCapacity = dwBytes;
    dwStatus = Exchange(c, kIn, uDeviceId, {dwPipe, dwBytes, dwTimeoutMs}, nullptr, 0, uWaitMs, &r);
  } else {
    dwStatus = Exchange(c, kOut, uDeviceId, {dwPipe, dwTimeoutMs}, pBuffer, dwBytes, uWaitMs, &r);
  }
  if (!r.bDone) return dwStatus;
  *pdwMoved = bRead ? std::min(r.uMoved, r.uCopied) : std::min<DWORD>(r.uMoved, dwBytes);
  return dwStatus;
}

struct Clients {
  std::mutex mtx;
  std::vector<std::unique_ptr<SocketClient>> list;
};

}  // namespace

const WduBackend* WduSocketBackend(const char* pszEndpoint) {
  static Clients* pClients = new Clients;  // never destroyed: a backend lives as long as the layer
  const std::string sEndpoint = pszEndpoint != nullptr ? pszEndpoint : "";
  std::lock_guard<std::mutex> lk(pClients->mtx);
  for (auto& pc : pClients->list) {
    if (pc->sEndpoint == sEndpoint) return &pc->backend;
  }
  auto pc = std::make_unique<SocketClient>();
  pc->sEndpoint = sEndpoint;
  pc->backend = WduBackend{"socket", pc.get(), &SockOpen, &SockClose, &SockSetInterface, &SockTransfer};
  pClients->list.push_back(std::move(pc));
  return &pClients->list.back()->backend;
}
