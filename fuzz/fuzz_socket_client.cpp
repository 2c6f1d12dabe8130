// The socket backend reading arbitrary server messages: the fuzzer is the simulator's end of
// the connection. The input's first byte splits it in two: the first part is sent at once;
// when it announced a locator, a transfer is started and the second part follows its request
// (RESULT messages with an even sequence number are given the request's own, so that they
// answer it). Whatever arrives, the backend neither overruns nor hangs, and a transfer never
// reports more bytes than its buffer holds.
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "net/net.h"
#include "platform/wdu/backend.h"
#include "usb/usb_message.h"

namespace {

constexpr uint32_t kMsgAttach = 2, kMsgResult = 7;
constexpr uint32_t kAttachBytes = 8 + 18;

std::atomic<uint64_t> g_uDevice{0};
std::atomic<int> g_nArrivals{0};

void Arrived(void*, uint64_t uDeviceId, const WDU_DEVICE_DESCRIPTOR*) {
  g_uDevice = uDeviceId;
  ++g_nArrivals;
}
void Left(void*, uint64_t uDeviceId) {
  uint64_t uExpected = uDeviceId;
  g_uDevice.compare_exchange_strong(uExpected, 0);
}

uint32_t Get32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
void Put32(uint8_t* p, uint32_t u) {
  for (int i = 0; i < 4; ++i) p[i] = uint8_t(u >> (8 * i));
}

// Calls fn(offset of the header, type, payload length) for each whole message in the bytes.
template <typename Fn>
void ForEachMessage(std::vector<uint8_t>& bytes, Fn fn) {
  for (size_t i = 0; i + 8 <= bytes.size();) {
    const uint32_t uType = Get32(&bytes[i]), uLength = Get32(&bytes[i + 4]);
    if (uLength > bytes.size() - i - 8) return;
    fn(i, uType, uLength);
    i += 8 + uLength;
  }
}

struct Endpoint {
  std::string sPath = "/tmp/vx_fuzz_client." + std::to_string(getpid()) + ".sock";
  net::Handle hListener = net::kInvalid;
  const WduBackend* pBackend = nullptr;
};

Endpoint& TheEndpoint() {
  static Endpoint* p = [] {
    auto* pe = new Endpoint;
    std::string sBound, sError;
    pe->hListener = net::Listen(pe->sPath, &sBound, &sError);
    if (pe->hListener == net::kInvalid) __builtin_trap();
    std::atexit([] { net::RemoveEndpoint(TheEndpoint().sPath); });
    pe->pBackend = WduSocketBackend(pe->sPath.c_str());
    return pe;
  }();
  return *p;
}

// The backend's connection for this run, past its HELLO.
net::Handle AcceptClient(const Endpoint& e) {
  for (int i = 0; i < 4; ++i) {
    const net::Handle h = net::Accept(e.hListener);
    if (h == net::kInvalid) continue;
    net::SetRecvTimeout(h, 5000);
    uint8_t hello[12];
    if (net::RecvAll(h, hello, sizeof hello) && Get32(hello) == 1) return h;
    net::Close(h);  // a connection left from an earlier run
  }
  __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  Endpoint& e = TheEndpoint();
  if (nSize == 0) return 0;
  const size_t nSplit = std::min<size_t>(pData[0], nSize - 1);
  std::vector<uint8_t> first(pData + 1, pData + 1 + nSplit), second(pData + 1 + nSplit, pData + nSize);

  g_uDevice = 0;
  g_nArrivals = 0;
  const WduSink sink{nullptr, kLocatorVendorId, &Arrived, &Left};
  if (e.pBackend->Open(e.pBackend->pCtx, &sink) != WD_STATUS_SUCCESS) __builtin_trap();
  const net::Handle h = AcceptClient(e);
  net::SendAll(h, first.data(), first.size());

  bool bAnnounced = false;
  ForEachMessage(first, [&](size_t, uint32_t uType, uint32_t uLength) { bAnnounced |= uType == kMsgAttach && uLength >= kAttachBytes; });
  for (int i = 0; bAnnounced && g_nArrivals == 0 && i < 1000; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(1));

  const uint64_t uDevice = g_uDevice;
  DWORD dwMoved = 0;
  uint8_t abBuffer[64];
  std::thread transfer;
  std::atomic<bool> bTransferDone{false};
  if (uDevice != 0) {
    transfer = std::thread([&] {
      e.pBackend->Transfer(e.pBackend->pCtx, uDevice, 0x82, true, 0, abBuffer, sizeof abBuffer, &dwMoved, 1);
      bTransferDone = true;
    });
    // The request comes, unless the transfer ended without one (the device had gone).
    pollfd pfd{static_cast<int>(h), POLLIN, 0};
    while (!bTransferDone && poll(&pfd, 1, 10) == 0) {
    }
    uint8_t header[8];
    std::vector<uint8_t> request;
    if ((pfd.revents & POLLIN) != 0 && net::RecvAll(h, header, sizeof header) && Get32(header + 4) < 4096) {
      request.resize(Get32(header + 4));
      if (!request.empty() && net::RecvAll(h, request.data(), request.size()) && request.size() >= 4) {
        ForEachMessage(second, [&](size_t i, uint32_t uType, uint32_t uLength) {
          if (uType == kMsgResult && uLength >= 4 && (second[i + 8] & 1) == 0) Put32(&second[i + 8], Get32(request.data()));
        });
      }
    }
  }
  net::SendAll(h, second.data(), second.size());
  ::shutdown(static_cast<int>(h), SHUT_RDWR);  // the backend sees the connection end
  if (transfer.joinable()) transfer.join();
  e.pBackend->Close(e.pBackend->pCtx);
  net::Close(h);
  if (dwMoved > sizeof abBuffer) __builtin_trap();
  return 0;
}
