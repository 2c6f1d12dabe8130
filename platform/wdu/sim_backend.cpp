// The in-process simulator backend: plug events of a vxsim::Locator go to the layer's
// sink, transfers and interface selections go straight to the locator.
#include "platform/wdu/sim_backend.h"

#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

namespace {

struct SimClient {
  vxsim::Locator* pLocator = nullptr;
  WduBackend backend{};
  std::mutex mtx;
  std::condition_variable cv;
  WduSink sink{};
  bool bOpen = false;
  unsigned nInSink = 0;  // listener calls passing a report to the sink right now
};

WDU_DEVICE_DESCRIPTOR Descriptor(uint16_t uVendor, uint16_t uProduct) {
  WDU_DEVICE_DESCRIPTOR d{};
  d.bLength = 18;
  d.bDescriptorType = 1;
  d.bcdUSB = 0x0200;
  d.bMaxPacketSize0 = 64;
  d.idVendor = uVendor;
  d.idProduct = uProduct;
  d.bcdDevice = 0x0100;
  d.bNumConfigurations = 1;
  return d;
}

DWORD FromBus(vxsim::BusStatus s) {
  switch (s) {
    case vxsim::BusStatus::kOk: return WD_STATUS_SUCCESS;
    case vxsim::BusStatus::kTimeout: return WD_TIME_OUT_EXPIRED;
    case vxsim::BusStatus::kGone: return WD_DEVICE_NOT_FOUND;
    case vxsim::BusStatus::kError:
    case vxsim::BusStatus::kStall: return WD_USBD_STATUS_STALL;
    case vxsim::BusStatus::kBabble: return WD_USBD_STATUS_BABBLE_DETECTED;
  }
  return WD_OPERATION_FAILED;
}

// Passes one report to the sink unless the backend is closed; Close waits for it.
template <typename F>
void Report(SimClient& c, F&& f) {
  WduSink sink{};
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (!c.bOpen) return;
    sink = c.sink;
    ++c.nInSink;
  }
  f(sink);
  std::lock_guard<std::mutex> lk(c.mtx);
  if (--c.nInSink == 0) c.cv.notify_all();
}

DWORD SimOpen(void* pCtx, const WduSink* pSink) {
  SimClient& c = *static_cast<SimClient*>(pCtx);
  if (pSink == nullptr) return WD_INVALID_PARAMETER;
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (c.bOpen) return WD_OPERATION_FAILED;
    c.sink = *pSink;
    c.bOpen = true;
  }
  vxsim::BusListener listener;
  listener.onPlug = [pc = &c](uint64_t uId, uint16_t uVendor, uint16_t uProduct) {
    const WDU_DEVICE_DESCRIPTOR d = Descriptor(uVendor, uProduct);
    Report(*pc, [&](const WduSink& s) { s.Arrived(s.pLayer, uId, &d); });
  };
  listener.onUnplug = [pc = &c](uint64_t uId) {
    Report(*pc, [&](const WduSink& s) { s.Left(s.pLayer, uId); });
  };
  c.pLocator->SetListener(std::move(listener));  // reports a plugged-in device at once
  return WD_STATUS_SUCCESS;
}

void SimClose(void* pCtx) {
  SimClient& c = *static_cast<SimClient*>(pCtx);
  {
    std::lock_guard<std::mutex> lk(c.mtx);
    if (!c.bOpen) return;
    c.bOpen = false;
  }
  c.pLocator->SetListener(vxsim::BusListener{});
  // A listener copy may still be running on another thread: wait until it left the sink.
  std::unique_lock<std::mutex> lk(c.mtx);
  c.cv.wait(lk, [&] { return c.nInSink == 0; });
}

DWORD SimSetInterface(void* pCtx, uint64_t uDeviceId, DWORD dwInterface, DWORD dwAltSetting) {
  SimClient& c = *static_cast<SimClient*>(pCtx);
  return FromBus(c.pLocator->SetInterface(uDeviceId, dwInterface, dwAltSetting));
}

DWORD SimTransfer(void* pCtx, uint64_t uDeviceId, DWORD dwPipe, bool bRead, DWORD /*dwOptions*/, uint8_t* pBuffer,
                  DWORD dwBytes, DWORD* pdwMoved, DWORD dwTimeoutMs) {
  SimClient& c = *static_cast<SimClient*>(pCtx);
  uint32_t uMoved = 0;
  const auto uPipe = static_cast<uint8_t>(dwPipe);
  const vxsim::BusStatus s = bRead ? c.pLocator->In(uDeviceId, uPipe, pBuffer, dwBytes, &uMoved, dwTimeoutMs)
                                   : c.pLocator->Out(uDeviceId, uPipe, pBuffer, dwBytes, &uMoved, dwTimeoutMs);
  *pdwMoved = uMoved;
  return FromBus(s);
}

struct SimClients {
  std::mutex mtx;
  std::vector<std::unique_ptr<SimClient>> list;
};

}  // namespace

const WduBackend* WduSimBackend(vxsim::Locator* pLocator) {
  if (pLocator == nullptr) return nullptr;
  // Kept for the process's life: a listener copy running late may still refer to one.
  static SimClients* pClients = new SimClients;
  std::lock_guard<std::mutex> lk(pClients->mtx);
  for (auto& pc : pClients->list) {
    std::lock_guard<std::mutex> lkc(pc->mtx);
    if (pc->pLocator == pLocator && !pc->bOpen) return &pc->backend;
  }
  auto pc = std::make_unique<SimClient>();
  pc->pLocator = pLocator;
  pc->backend = WduBackend{"sim", pc.get(), &SimOpen, &SimClose, &SimSetInterface, &SimTransfer};
  pClients->list.push_back(std::move(pc));
  return &pClients->list.back()->backend;
}
