// The USB driver library layer: driver naming, registrations, the dispatch thread that runs
// the hot-plug handlers, interface selection and transfers over the chosen backend.
//
// Handles. A device handle is a token, the serial number of one presence of a device,
// never reused and never a pointer: a handle stays a valid value for ever, and after its
// device left (or the layer was reset) its calls fail with WD_DEVICE_NOT_FOUND. The layer
// keeps a record only for devices that are present or whose departure has not been
// dispatched yet, so memory stays bounded however often devices come and go. Driver
// handles are tokens too.
//
// Ordering. Backend reports and new registrations go through one queue; the dispatch
// thread alone keeps the registrations and the list of devices it has announced, so a
// registration made while a device is present gets exactly one attach call for it,
// whether the device arrived before or after the registration was queued.
//
// Reset. WduResetLayer closes the backend, joins the dispatch thread and forgets the
// registrations, the driver name and the selected backend (the next WDU_Init chooses
// again). It cannot be called from a handler: a handler cannot wait for its own thread.
#include <algorithm>
#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <pthread.h>
#endif

#include "platform/wdu/testing.h"
#include "platform/wdu/wdu.h"

namespace {

struct DeviceRec {
  uint64_t uBackendId = 0;
  WDU_DEVICE info{};
  bool bPresent = false;
};

struct Registration {
  WDU_MATCH_TABLE match{};
  WDU_EVENT_TABLE events{};
  std::vector<uint64_t> owned;  // serials of devices whose arrival it accepted
};

enum class EventKind { kArrived, kLeft, kRegistered };

struct Event {
  EventKind kind;
  uint64_t uSerial;                    // kArrived, kLeft
  std::shared_ptr<Registration> pReg;  // kRegistered
};

struct Layer {
  std::mutex mtxLife;  // serialises opening (WDU_Init) and WduResetLayer

  std::mutex mtx;  // guards every field below except the dispatch-only ones
  std::condition_variable cvQueue;
  std::condition_variable cvIdle;
  std::condition_variable cvCalls;
  std::string sDriverName;
  bool bNameSet = false;
  const WduBackend* pSelected = nullptr;
  const WduBackend* pBackend = nullptr;  // open backend, null when closed
  std::thread dispatch;
  std::thread::id dispatchId;
  bool bStop = false;
  bool bBusy = false;
  std::deque<Event> queue;
  std::map<uint64_t, DeviceRec> devices;         // by serial
  std::map<uint64_t, uint64_t> presentByBackend;  // backend id -> serial
  uint64_t uNextSerial = 1;                      // never reset: handles are never reused
  uint64_t uNextDriver = 1;
  unsigned nCalls = 0;  // backend transfers and selections in progress
  WduSink sink{};
  std::vector<WDU_MATCH_TABLE> matches;  // every registration's, for the backend's Wants

  // Dispatch thread only (and WduResetLayer once that thread is joined).
  std::vector<std::shared_ptr<Registration>> regs;
  std::vector<uint64_t> announced;  // serials whose arrival was dispatched, in order
};

// Never destroyed: the dispatch thread may outlive static destruction at process exit.
Layer& L() {
  static Layer* pLayer = new Layer;
  return *pLayer;
}

bool Matches(const WDU_MATCH_TABLE& m, const WDU_DEVICE_DESCRIPTOR& d) {
  // Backends report the device descriptor only, so the interface fields are not checked.
  return m.wVendorId == d.idVendor && m.wProductId == d.idProduct &&
         (m.bDeviceClass == 0 || m.bDeviceClass == d.bDeviceClass) &&
         (m.bDeviceSubClass == 0 || m.bDeviceSubClass == d.bDeviceSubClass);
}

WDU_DEVICE_HANDLE SerialToHandle(uint64_t uSerial) {
  return reinterpret_cast<WDU_DEVICE_HANDLE>(static_cast<uintptr_t>(uSerial));
}

uint64_t HandleToSerial(WDU_DEVICE_HANDLE h) { return static_cast<uint64_t>(reinterpret_cast<uintptr_t>(h)); }

// Called with mtx held.
void QueueLeftLocked(Layer& l, uint64_t uBackendId) {
  auto it = l.presentByBackend.find(uBackendId);
  if (it == l.presentByBackend.end()) return;
  const uint64_t uSerial = it->second;
  l.presentByBackend.erase(it);
  l.devices[uSerial].bPresent = false;
  l.queue.push_back(Event{EventKind::kLeft, uSerial, nullptr});
  l.cvQueue.notify_one();
}

void SinkArrived(void* pLayer, uint64_t uDeviceId, const WDU_DEVICE_DESCRIPTOR* pDescriptor) {
  Layer& l = *static_cast<Layer*>(pLayer);
  if (pDescriptor == nullptr) return;
  std::lock_guard<std::mutex> lk(l.mtx);
  if (l.pBackend == nullptr) return;  // closed: late reports are dropped
  QueueLeftLocked(l, uDeviceId);  // the same id again: the old presence is over
  const uint64_t uSerial = l.uNextSerial++;
  DeviceRec& rec = l.devices[uSerial];
  rec.uBackendId = uDeviceId;
  rec.info.Descriptor = *pDescriptor;
  rec.bPresent = true;
  l.presentByBackend[uDeviceId] = uSerial;
  l.queue.push_back(Event{EventKind::kArrived, uSerial, nullptr});
  l.cvQueue.notify_one();
}

void SinkLeft(void* pLayer, uint64_t uDeviceId) {
  Layer& l = *static_cast<Layer*>(pLayer);
  std::lock_guard<std::mutex> lk(l.mtx);
  QueueLeftLocked(l, uDeviceId);
}

// The ids alone: the class fields are checked against the descriptor when a device is
// attached.
bool SinkWants(void* pLayer, uint16_t wVendorId, uint16_t wProductId) {
  Layer& l = *static_cast<Layer*>(pLayer);
  std::lock_guard<std::mutex> lk(l.mtx);
  return std::any_of(l.matches.begin(), l.matches.end(), [&](const WDU_MATCH_TABLE& m) {
    return m.wVendorId == wVendorId && m.wProductId == wProductId;
  });
}

// Runs the attach handler of one registration for one device; returns nothing, records
// ownership when the handler accepts.
void Attach(Registration& reg, uint64_t uSerial, const WDU_DEVICE& info) {
  if (!Matches(reg.match, info.Descriptor) || reg.events.pfDeviceAttach == nullptr) return;
  WDU_DEVICE copy = info;  // each handler gets its own record
  if (reg.events.pfDeviceAttach(SerialToHandle(uSerial), &copy, reg.events.pUserData)) {
    reg.owned.push_back(uSerial);
  }
}

bool LookupInfo(Layer& l, uint64_t uSerial, WDU_DEVICE* pInfo) {
  std::lock_guard<std::mutex> lk(l.mtx);
  auto it = l.devices.find(uSerial);
  if (it == l.devices.end()) return false;
  *pInfo = it->second.info;
  return true;
}

void RunEvent(Layer& l, const Event& ev) {
  switch (ev.kind) {
    case EventKind::kArrived: {
      WDU_DEVICE info{};
      if (!LookupInfo(l, ev.uSerial, &info)) return;
      l.announced.push_back(ev.uSerial);
      for (auto& pReg : l.regs) Attach(*pReg, ev.uSerial, info);
      break;
    }
    case EventKind::kLeft: {
      l.announced.erase(std::remove(l.announced.begin(), l.announced.end(), ev.uSerial), l.announced.end());
      for (auto& pReg : l.regs) {
        auto it = std::find(pReg->owned.begin(), pReg->owned.end(), ev.uSerial);
        if (it == pReg->owned.end()) continue;
        pReg->owned.erase(it);
        if (pReg->events.pfDeviceDetach != nullptr) {
          pReg->events.pfDeviceDetach(SerialToHandle(ev.uSerial), pReg->events.pUserData);
        }
      }
      std::lock_guard<std::mutex> lk(l.mtx);
      l.devices.erase(ev.uSerial);  // nothing refers to it any more: its handle now fails
      break;
    }
    case EventKind::kRegistered: {
      l.regs.push_back(ev.pReg);
      const std::vector<uint64_t> present = l.announced;
      for (uint64_t uSerial : present) {
        WDU_DEVICE info{};
        if (LookupInfo(l, uSerial, &info)) Attach(*ev.pReg, uSerial, info);
      }
      break;
    }
  }
}

void DispatchLoop(Layer* pl) {
  OsRunAtNormalPriority();  // handlers never run at the main thread's priority
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "vx-usb-dispatch");
#endif
  Layer& l = *pl;
  std::unique_lock<std::mutex> lk(l.mtx);
  for (;;) {
    l.cvQueue.wait(lk, [&] { return l.bStop || !l.queue.empty(); });
    if (l.bStop) break;
    Event ev = std::move(l.queue.front());
    l.queue.pop_front();
    l.bBusy = true;
    lk.unlock();
    RunEvent(l, ev);  // handlers run with no layer lock held
    lk.lock();
    l.bBusy = false;
    if (l.queue.empty()) l.cvIdle.notify_all();
  }
  l.cvIdle.notify_all();
}

// The backend for the next opening: the one a test selected, else the simulator process
// named by VX_LOCATOR_SIM, else this platform's real backend.
const WduBackend* ChooseBackend(const WduBackend* pSelected) {
  if (pSelected != nullptr) return pSelected;
  const char* pszSim = std::getenv("VX_LOCATOR_SIM");
  if (pszSim != nullptr && *pszSim != '\0') return WduSocketBackend(pszSim);
#if defined(_WIN32)
  return WduWinUsbBackend();
#else
  return WduLibusbBackend();
#endif
}

// Starts the dispatch thread and opens the backend for the vendor of the first
// registration (every registration of this system names the same vendor). Called with
// mtxLife held.
DWORD OpenLayer(Layer& l, uint16_t wVendorId) {
  const WduBackend* pBackend = nullptr;
  {
    std::lock_guard<std::mutex> lk(l.mtx);
    pBackend = ChooseBackend(l.pSelected);
    if (pBackend == nullptr) return WD_OPERATION_FAILED;
    l.bStop = false;
    l.pBackend = pBackend;
    l.sink = WduSink{&l, wVendorId, &SinkArrived, &SinkLeft, &SinkWants};
    l.dispatch = std::thread(DispatchLoop, &l);
    l.dispatchId = l.dispatch.get_id();
  }
  const DWORD dwStatus = pBackend->Open(pBackend->pCtx, &l.sink);
  if (dwStatus != WD_STATUS_SUCCESS) {
    std::thread t;
    {
      std::lock_guard<std::mutex> lk(l.mtx);
      l.bStop = true;
      l.pBackend = nullptr;
      l.cvQueue.notify_all();
      t = std::move(l.dispatch);
    }
    t.join();
    std::lock_guard<std::mutex> lk(l.mtx);
    l.queue.clear();
    l.devices.clear();
    l.presentByBackend.clear();
    l.dispatchId = std::thread::id();
  }
  return dwStatus;
}

// Looks up a device handle for a backend call; on success counts the call in progress.
DWORD BeginCall(Layer& l, WDU_DEVICE_HANDLE hDevice, const WduBackend** ppBackend, uint64_t* puBackendId) {
  const uint64_t uSerial = HandleToSerial(hDevice);
  std::lock_guard<std::mutex> lk(l.mtx);
  if (uSerial == 0 || uSerial >= l.uNextSerial) return WD_INVALID_HANDLE;
  auto it = l.devices.find(uSerial);
  if (it == l.devices.end() || !it->second.bPresent || l.pBackend == nullptr) return WD_DEVICE_NOT_FOUND;
  *ppBackend = l.pBackend;
  *puBackendId = it->second.uBackendId;
  ++l.nCalls;
  return WD_STATUS_SUCCESS;
}

void EndCall(Layer& l) {
  std::lock_guard<std::mutex> lk(l.mtx);
  if (--l.nCalls == 0) l.cvCalls.notify_all();
}

}  // namespace

const char* WD_DriverName(const char* sDriverName) {
  if (sDriverName == nullptr || *sDriverName == '\0') return nullptr;
  Layer& l = L();
  std::lock_guard<std::mutex> lk(l.mtx);
  l.sDriverName = sDriverName;
  l.bNameSet = true;
  return l.sDriverName.c_str();
}

DWORD WDU_Init(WDU_DRIVER_HANDLE* phDriver, WDU_MATCH_TABLE* pMatchTables, DWORD dwNumMatchTables,
               WDU_EVENT_TABLE* pEventTable, DWORD /*dwOptions*/) {
  if (phDriver == nullptr) return WD_INVALID_PARAMETER;
  *phDriver = nullptr;
  if (pMatchTables == nullptr || dwNumMatchTables != 1 || pEventTable == nullptr ||
      pEventTable->pfDeviceAttach == nullptr) {
    return WD_INVALID_PARAMETER;
  }
  Layer& l = L();
  std::lock_guard<std::mutex> life(l.mtxLife);
  const WduBackend* pOpen = nullptr;
  {
    std::lock_guard<std::mutex> lk(l.mtx);
    if (!l.bNameSet) return WD_NO_DRIVER_NAME;
    pOpen = l.pBackend;
    l.matches.push_back(*pMatchTables);  // wanted from the backend's first look on
  }
  if (pOpen == nullptr) {
    const DWORD dwStatus = OpenLayer(l, pMatchTables->wVendorId);
    if (dwStatus != WD_STATUS_SUCCESS) {
      std::lock_guard<std::mutex> lk(l.mtx);
      l.matches.pop_back();
      return dwStatus;
    }
  } else if (pOpen->Rematch != nullptr) {
    pOpen->Rematch(pOpen->pCtx);
  }
  auto pReg = std::make_shared<Registration>();
  pReg->match = *pMatchTables;
  pReg->events = *pEventTable;
  std::lock_guard<std::mutex> lk(l.mtx);
  *phDriver = reinterpret_cast<WDU_DRIVER_HANDLE>(static_cast<uintptr_t>(l.uNextDriver++));
  l.queue.push_back(Event{EventKind::kRegistered, 0, std::move(pReg)});
  l.cvQueue.notify_one();
  return WD_STATUS_SUCCESS;
}

DWORD WDU_SetInterface(WDU_DEVICE_HANDLE hDevice, DWORD dwInterfaceNum, DWORD dwAlternateSetting) {
  Layer& l = L();
  const WduBackend* pBackend = nullptr;
  uint64_t uId = 0;
  DWORD dwStatus = BeginCall(l, hDevice, &pBackend, &uId);
  if (dwStatus != WD_STATUS_SUCCESS) return dwStatus;
  dwStatus = pBackend->SetInterface(pBackend->pCtx, uId, dwInterfaceNum, dwAlternateSetting);
  EndCall(l);
  return dwStatus;
}

DWORD WDU_Transfer(WDU_DEVICE_HANDLE hDevice, DWORD dwPipeNum, DWORD fRead, DWORD dwOptions, void* pBuffer,
                   DWORD dwBufferSize, DWORD* pdwBytesTransferred, const uint8_t* pSetupPacket, DWORD dwTimeout) {
  if (pdwBytesTransferred == nullptr) return WD_INVALID_PARAMETER;
  *pdwBytesTransferred = 0;
  if (hDevice == nullptr) return WD_INVALID_HANDLE;
  // Bulk pipes only: no control transfers, and the direction must agree with the pipe.
  const bool bRead = fRead != 0;
  if ((pBuffer == nullptr && dwBufferSize != 0) || pSetupPacket != nullptr || (dwPipeNum & 0x7F) == 0 ||
      dwPipeNum > 0xFF || ((dwPipeNum & 0x80) != 0) != bRead) {
    return WD_INVALID_PARAMETER;
  }
  Layer& l = L();
  const WduBackend* pBackend = nullptr;
  uint64_t uId = 0;
  DWORD dwStatus = BeginCall(l, hDevice, &pBackend, &uId);
  if (dwStatus != WD_STATUS_SUCCESS) return dwStatus;
  DWORD dwMoved = 0;
  dwStatus = pBackend->Transfer(pBackend->pCtx, uId, dwPipeNum, bRead, dwOptions, static_cast<uint8_t*>(pBuffer),
                                dwBufferSize, &dwMoved, dwTimeout);
  EndCall(l);
  *pdwBytesTransferred = std::min(dwMoved, dwBufferSize);
  return dwStatus;
}

void WduSelectBackend(const WduBackend* pBackend) {
  Layer& l = L();
  std::lock_guard<std::mutex> lk(l.mtx);
  l.pSelected = pBackend;
}

void WduResetLayer() {
  Layer& l = L();
  if (std::this_thread::get_id() == l.dispatchId) return;  // a handler cannot join its own thread
  std::lock_guard<std::mutex> life(l.mtxLife);
  const WduBackend* pBackend = nullptr;
  {
    std::lock_guard<std::mutex> lk(l.mtx);
    pBackend = l.pBackend;
    for (auto& [uSerial, rec] : l.devices) rec.bPresent = false;  // new calls fail at once
    l.presentByBackend.clear();
  }
  if (pBackend != nullptr) pBackend->Close(pBackend->pCtx);
  std::thread t;
  {
    std::unique_lock<std::mutex> lk(l.mtx);
    l.cvCalls.wait(lk, [&] { return l.nCalls == 0; });
    l.pBackend = nullptr;
    l.bStop = true;
    l.cvQueue.notify_all();
    t = std::move(l.dispatch);
  }
  if (t.joinable()) t.join();
  std::lock_guard<std::mutex> lk(l.mtx);
  l.regs.clear();
  l.matches.clear();
  l.announced.clear();
  l.queue.clear();
  l.devices.clear();
  l.bBusy = false;
  l.bStop = false;
  l.dispatchId = std::thread::id();
  l.sDriverName.clear();
  l.bNameSet = false;
  l.pSelected = nullptr;
  l.cvIdle.notify_all();
}

bool WduWaitIdle(DWORD dwTimeoutMs) {
  Layer& l = L();
  std::unique_lock<std::mutex> lk(l.mtx);
  auto idle = [&] { return l.pBackend == nullptr || (l.queue.empty() && !l.bBusy); };
  if (dwTimeoutMs == WD_WAIT_INFINITE) {
    l.cvIdle.wait(lk, idle);
    return true;
  }
  return l.cvIdle.wait_for(lk, std::chrono::milliseconds(dwTimeoutMs), idle);
}
