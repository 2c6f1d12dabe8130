// The backend for real locators on Linux and macOS, over libusb-1.0.
//
// Arrivals. Where libusb has hot-plug notification (and, on Linux, udev runs to deliver
// it), a hot-plug callback for the wanted vendor queues each arrival and departure; the
// callback runs on libusb's event thread, where no synchronous I/O is allowed, so the
// opening happens on the watch thread (UsbWatch), which also decides which products are
// wanted. Elsewhere (no udev, as in containers and small systems) the watch polls: on Linux
// it reads the devices from sysfs and opens their usbfs nodes itself, since libusb's own
// list only changes through udev; on other systems it asks libusb for its device list.
//
// Transfers. Each opened device has one libusb transfer, allocated when it is opened and
// reused, so an exchange allocates nothing. The caller waits for its completion, which
// the event thread delivers. A departure cancels a transfer in progress, so the caller
// hears at once that the device is gone, and the device is closed once no transfer on it
// is in progress.
#include <libusb.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <dirent.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>

#include <cerrno>
#endif

#include "platform/wdu/backend.h"
#include "platform/wdu/libusb_status.h"
#include "platform/wdu/usb_watch.h"

namespace {

constexpr int kInterface = 0;

struct Device {
  libusb_device_handle* pHandle = nullptr;
  libusb_transfer* pTransfer = nullptr;
  int fd = -1;  // the usbfs node opened by the sysfs poller, closed with the device
  std::mutex mtxUse;  // one transfer at a time on the device's one libusb transfer
  std::mutex mtxDone;
  std::condition_variable cvDone;
  bool bDone = false;
  bool bInFlight = false;  // guarded by mtxDone
  bool bGone = false;      // guarded by mtxDone
};

struct LibusbBackend {
  WduBackend backend{};
  std::unique_ptr<UsbWatch> watch;
  uint16_t wVendorId = 0;

  libusb_context* pContext = nullptr;
  bool bHotplug = false;
  libusb_hotplug_callback_handle hCallback = 0;
  std::thread events;
  std::atomic<bool> bStopEvents{false};

  std::mutex mtx;  // guards devices and nBusy
  std::condition_variable cvIdle;
  std::map<uint64_t, std::shared_ptr<Device>> devices;
  std::map<uint64_t, int> nBusy;  // calls in progress per device
};

std::string KeyOf(unsigned nBus, unsigned nAddress) {
  return std::to_string(nBus) + "-" + std::to_string(nAddress);
}

void EventLoop(LibusbBackend* b) {
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "vx-usb-events");
#endif
  while (!b->bStopEvents.load()) {
    timeval tv{1, 0};  // bounded, so that a stop is seen even without an interruption
    libusb_handle_events_timeout_completed(b->pContext, &tv, nullptr);
  }
}

int LIBUSB_CALL OnHotplug(libusb_context*, libusb_device* pDev, libusb_hotplug_event event, void* pUser) {
  auto* b = static_cast<LibusbBackend*>(pUser);
  const std::string sKey = KeyOf(libusb_get_bus_number(pDev), libusb_get_device_address(pDev));
  if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT) {
    b->watch->Left(sKey);
    return 0;
  }
  libusb_device_descriptor d{};
  libusb_get_device_descriptor(pDev, &d);  // cached by libusb: no I/O
  UsbCandidate c;
  c.sKey = sKey;
  c.wVendorId = d.idVendor;
  c.wProductId = d.idProduct;
  c.nBus = libusb_get_bus_number(pDev);
  c.nAddress = libusb_get_device_address(pDev);
  c.pDevice = libusb_ref_device(pDev);
  b->watch->Arrived(c);
  return 0;
}

// On Linux udev delivers libusb's hot-plug events; where it does not run, nothing would.
bool HotplugDelivered() {
  if (!libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) return false;
#if defined(__linux__)
  return access("/run/udev/control", F_OK) == 0;
#else
  return true;
#endif
}

bool WatchStart(void* pCtx, UsbListing* peListing) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  if (b->pContext == nullptr && libusb_init(&b->pContext) != LIBUSB_SUCCESS) {
    b->pContext = nullptr;  // no USB bus (yet)
    return false;
  }
  b->bStopEvents = false;
  b->events = std::thread(EventLoop, b);
  b->bHotplug = false;
  if (HotplugDelivered()) {
    b->bHotplug = libusb_hotplug_register_callback(
                      b->pContext,
                      static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED |
                                                        LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
                      LIBUSB_HOTPLUG_ENUMERATE, b->wVendorId, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY,
                      &OnHotplug, b, &b->hCallback) == LIBUSB_SUCCESS;
  }
  *peListing = b->bHotplug ? UsbListing::kHotplug : UsbListing::kPoll;
  return true;
}

#if defined(__linux__)
bool ReadSysfs(const std::string& sPath, unsigned* pValue, int nBase) {
  FILE* f = std::fopen(sPath.c_str(), "r");
  if (f == nullptr) return false;
  char buf[32] = {};
  const bool bRead = std::fgets(buf, sizeof buf, f) != nullptr;
  std::fclose(f);
  if (!bRead) return false;
  char* pEnd = nullptr;
  const unsigned long v = std::strtoul(buf, &pEnd, nBase);
  if (pEnd == buf) return false;
  *pValue = static_cast<unsigned>(v);
  return true;
}
#endif

bool WatchScan(void* pCtx, std::vector<UsbCandidate>* pNow) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
#if defined(__linux__)
  // Devices are the entries without a colon (those with one are interfaces).
  DIR* dir = opendir("/sys/bus/usb/devices");
  if (dir == nullptr) return false;
  while (dirent* e = readdir(dir)) {
    const std::string sName = e->d_name;
    if (sName[0] == '.' || sName.find(':') != std::string::npos) continue;
    const std::string sBase = "/sys/bus/usb/devices/" + sName + "/";
    unsigned vid = 0, pid = 0, bus = 0, addr = 0;
    if (!ReadSysfs(sBase + "idVendor", &vid, 16) || vid != b->wVendorId) continue;
    if (!ReadSysfs(sBase + "idProduct", &pid, 16) || !ReadSysfs(sBase + "busnum", &bus, 10) ||
        !ReadSysfs(sBase + "devnum", &addr, 10)) {
      continue;
    }
    UsbCandidate c;
    c.sKey = KeyOf(bus, addr);
    c.wVendorId = static_cast<uint16_t>(vid);
    c.wProductId = static_cast<uint16_t>(pid);
    c.nBus = bus;
    c.nAddress = addr;
    pNow->push_back(c);
  }
  closedir(dir);
  return true;
#else
  libusb_device** list = nullptr;
  const ssize_t n = libusb_get_device_list(b->pContext, &list);
  for (ssize_t i = 0; i < n; ++i) {
    libusb_device_descriptor d{};
    if (libusb_get_device_descriptor(list[i], &d) != LIBUSB_SUCCESS || d.idVendor != b->wVendorId) continue;
    UsbCandidate c;
    c.nBus = libusb_get_bus_number(list[i]);
    c.nAddress = libusb_get_device_address(list[i]);
    c.sKey = KeyOf(c.nBus, c.nAddress);
    c.wVendorId = d.idVendor;
    c.wProductId = d.idProduct;
    c.pDevice = libusb_ref_device(list[i]);
    pNow->push_back(c);
  }
  if (n < 0) return false;
  libusb_free_device_list(list, 1);
  return true;
#endif
}

UsbState FromOpenError(int rc) {
  switch (rc) {
    case LIBUSB_ERROR_ACCESS: return UsbState::kNoPermission;
    case LIBUSB_ERROR_BUSY: return UsbState::kBusy;
    case LIBUSB_ERROR_NO_DEVICE:
    case LIBUSB_ERROR_NOT_FOUND: return UsbState::kGone;
    default: return UsbState::kFailed;
  }
}

// Opens the candidate: its libusb device where hot-plug gave one, else its usbfs node.
int OpenHandle(LibusbBackend* b, const UsbCandidate& c, Device* pDev) {
  if (c.pDevice != nullptr) return libusb_open(static_cast<libusb_device*>(c.pDevice), &pDev->pHandle);
#if defined(__linux__)
  char path[64];
  std::snprintf(path, sizeof path, "/dev/bus/usb/%03u/%03u", c.nBus, c.nAddress);
  pDev->fd = open(path, O_RDWR | O_CLOEXEC);
  if (pDev->fd < 0) {
    return errno == EACCES || errno == EPERM ? LIBUSB_ERROR_ACCESS
           : errno == ENOENT || errno == ENODEV ? LIBUSB_ERROR_NO_DEVICE
                                                : LIBUSB_ERROR_IO;
  }
  return libusb_wrap_sys_device(b->pContext, static_cast<intptr_t>(pDev->fd), &pDev->pHandle);
#else
  (void)b;
  return LIBUSB_ERROR_NOT_SUPPORTED;
#endif
}

void FreeDevice(Device* pDev) {
  if (pDev->pTransfer != nullptr) libusb_free_transfer(pDev->pTransfer);
  if (pDev->pHandle != nullptr) libusb_close(pDev->pHandle);
#if defined(__linux__)
  if (pDev->fd >= 0) close(pDev->fd);
#endif
  pDev->pTransfer = nullptr;
  pDev->pHandle = nullptr;
  pDev->fd = -1;
}

UsbState WatchOpen(void* pCtx, const UsbCandidate& c, uint64_t uId, WDU_DEVICE_DESCRIPTOR* pDescriptor,
                   std::string* psWhy) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  auto pDev = std::make_shared<Device>();
  int rc = OpenHandle(b, c, pDev.get());
  bool bClaiming = false;
  if (rc == LIBUSB_SUCCESS) {
    // A kernel driver bound to the interface is detached for as long as it is claimed.
    libusb_set_auto_detach_kernel_driver(pDev->pHandle, 1);
    bClaiming = true;
    rc = libusb_claim_interface(pDev->pHandle, kInterface);
  }
  libusb_device_descriptor d{};
  if (rc == LIBUSB_SUCCESS) rc = libusb_get_device_descriptor(libusb_get_device(pDev->pHandle), &d);
  if (rc == LIBUSB_SUCCESS) {
    pDev->pTransfer = libusb_alloc_transfer(0);
    if (pDev->pTransfer == nullptr) rc = LIBUSB_ERROR_NO_MEM;
  }
  if (rc != LIBUSB_SUCCESS) {
    FreeDevice(pDev.get());
    *psWhy = libusb_error_name(rc);
    // An arrival can come before the kernel has set the configuration: the interface is
    // not there yet.
    if (bClaiming && (rc == LIBUSB_ERROR_INVALID_PARAM || rc == LIBUSB_ERROR_NOT_FOUND)) {
      return UsbState::kNotReady;
    }
    return FromOpenError(rc);
  }
  *pDescriptor = WDU_DEVICE_DESCRIPTOR{d.bLength,         d.bDescriptorType, d.bcdUSB,     d.bDeviceClass,
                                       d.bDeviceSubClass, d.bDeviceProtocol, d.bMaxPacketSize0,
                                       d.idVendor,        d.idProduct,       d.bcdDevice,  d.iManufacturer,
                                       d.iProduct,        d.iSerialNumber,   d.bNumConfigurations};
  std::lock_guard<std::mutex> lk(b->mtx);
  b->devices[uId] = std::move(pDev);
  return UsbState::kOpened;
}

void WatchClose(void* pCtx, uint64_t uId) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  std::shared_ptr<Device> pDev;
  {
    std::lock_guard<std::mutex> lk(b->mtx);
    auto it = b->devices.find(uId);
    if (it == b->devices.end()) return;
    pDev = it->second;
    b->devices.erase(it);  // new calls fail from here on
  }
  bool bInFlight = false;
  {
    std::lock_guard<std::mutex> lk(pDev->mtxDone);
    pDev->bGone = true;  // no transfer starts on it from here on
    bInFlight = pDev->bInFlight;
  }
  if (bInFlight) libusb_cancel_transfer(pDev->pTransfer);  // its caller hears of the departure at once
  {
    std::unique_lock<std::mutex> lk(b->mtx);
    b->cvIdle.wait(lk, [&] { return b->nBusy[uId] == 0; });
    b->nBusy.erase(uId);
  }
  libusb_release_interface(pDev->pHandle, kInterface);
  FreeDevice(pDev.get());
}

void WatchDrop(void*, void* pDevice) {
  if (pDevice != nullptr) libusb_unref_device(static_cast<libusb_device*>(pDevice));
}

void WatchStop(void* pCtx) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  if (b->bHotplug) libusb_hotplug_deregister_callback(b->pContext, b->hCallback);
  b->bHotplug = false;
  b->bStopEvents = true;
  libusb_interrupt_event_handler(b->pContext);
  if (b->events.joinable()) b->events.join();
  libusb_exit(b->pContext);
  b->pContext = nullptr;
}

DWORD LuOpen(void* pCtx, const WduSink* pSink) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  b->wVendorId = pSink->wVendorId;
  b->watch = std::make_unique<UsbWatch>(
      UsbWatchOps{b, &WatchStart, &WatchScan, &WatchOpen, &WatchClose, &WatchDrop, &WatchStop}, UsbWatchTiming{});
  b->watch->Start(*pSink);
  return WD_STATUS_SUCCESS;
}

void LuClose(void* pCtx) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  if (b->watch) b->watch->Stop();
  b->watch.reset();
}

void LuRematch(void* pCtx) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  if (b->watch) b->watch->Rematch();
}

// Looks up a device for a call and counts the call in progress.
std::shared_ptr<Device> BeginCall(LibusbBackend* b, uint64_t uId) {
  std::lock_guard<std::mutex> lk(b->mtx);
  auto it = b->devices.find(uId);
  if (it == b->devices.end()) return nullptr;
  ++b->nBusy[uId];
  return it->second;
}

void EndCall(LibusbBackend* b, uint64_t uId) {
  std::lock_guard<std::mutex> lk(b->mtx);
  if (--b->nBusy[uId] == 0) b->cvIdle.notify_all();
}

DWORD LuSetInterface(void* pCtx, uint64_t uId, DWORD dwInterface, DWORD dwAltSetting) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  std::shared_ptr<Device> pDev = BeginCall(b, uId);
  if (!pDev) return WD_DEVICE_NOT_FOUND;
  int rc = LIBUSB_SUCCESS;
  {
    std::lock_guard<std::mutex> use(pDev->mtxUse);
    rc = libusb_set_interface_alt_setting(pDev->pHandle, static_cast<int>(dwInterface), static_cast<int>(dwAltSetting));
  }
  EndCall(b, uId);
  return WduStatusFromLibusbError(rc);
}

void LIBUSB_CALL OnTransferDone(libusb_transfer* pTransfer) {
  auto* pDev = static_cast<Device*>(pTransfer->user_data);
  std::lock_guard<std::mutex> lk(pDev->mtxDone);
  pDev->bDone = true;
  pDev->bInFlight = false;
  pDev->cvDone.notify_all();
}

DWORD LuTransfer(void* pCtx, uint64_t uId, DWORD dwPipe, bool, DWORD, uint8_t* pBuffer, DWORD dwBytes,
                 DWORD* pdwMoved, DWORD dwTimeoutMs) {
  auto* b = static_cast<LibusbBackend*>(pCtx);
  *pdwMoved = 0;
  std::shared_ptr<Device> pDev = BeginCall(b, uId);
  if (!pDev) return WD_DEVICE_NOT_FOUND;
  DWORD dwStatus = WD_STATUS_SUCCESS;
  {
    std::lock_guard<std::mutex> use(pDev->mtxUse);
    libusb_transfer* t = pDev->pTransfer;
    const unsigned char ep = static_cast<unsigned char>(dwPipe);
    libusb_fill_bulk_transfer(t, pDev->pHandle, ep, pBuffer, static_cast<int>(dwBytes), &OnTransferDone, pDev.get(),
                              dwTimeoutMs);
    int rc = LIBUSB_SUCCESS;
    {
      std::lock_guard<std::mutex> lk(pDev->mtxDone);
      if (pDev->bGone) {
        rc = LIBUSB_ERROR_NO_DEVICE;
      } else {
        pDev->bDone = false;
        rc = libusb_submit_transfer(t);
        pDev->bInFlight = rc == LIBUSB_SUCCESS;
      }
    }
    if (rc != LIBUSB_SUCCESS) {
      dwStatus = WduStatusFromLibusbError(rc);
    } else {
      std::unique_lock<std::mutex> lk(pDev->mtxDone);
      // libusb ends the transfer at its time-out; should that not come, cancel it after a
      // grace period. The buffer is the caller's: return only once libusb has let go of it.
      const auto grace = std::chrono::milliseconds(dwTimeoutMs) + std::chrono::seconds(2);
      if (dwTimeoutMs != 0 && !pDev->cvDone.wait_for(lk, grace, [&] { return pDev->bDone; })) {
        libusb_cancel_transfer(t);
      }
      pDev->cvDone.wait(lk, [&] { return pDev->bDone; });
      *pdwMoved = static_cast<DWORD>(t->actual_length);
      dwStatus = pDev->bGone ? WD_DEVICE_NOT_FOUND : WduStatusFromTransfer(t->status);
    }
    if (dwStatus == WD_USBD_STATUS_STALL) libusb_clear_halt(pDev->pHandle, ep);  // so the next exchange works
  }
  EndCall(b, uId);
  return dwStatus;
}

}  // namespace

const WduBackend* WduLibusbBackend() {
  static LibusbBackend* pBackend = [] {
    auto* p = new LibusbBackend;  // lives as long as the process: the layer may hold it
    p->backend = WduBackend{"libusb", p, &LuOpen, &LuClose, &LuSetInterface, &LuTransfer, &LuRematch};
    return p;
  }();
  return &pBackend->backend;
}
