#include "platform/wdu/usb_watch.h"

#include <algorithm>
#include <cstdio>

#if defined(__linux__)
#include <pthread.h>
#endif

// Device Manager's way to give a device Microsoft's own signed WinUSB driver, whatever
// driver it has or lacks.
#define VX_WINUSB_DEVICE_ROUTE                                                                          \
  "in Device Manager right-click the locator, choose Update driver, Browse my computer for drivers, " \
  "Let me pick from a list of available drivers on my computer, Universal Serial Bus devices, "       \
  "\"WinUsb Device\", Next"

const char* const kUsbNoPermissionText =
    "\nLocator found%s but this user may not open it: install the udev rule 70-vx-locator.rules (sudo cp "
    "70-vx-locator.rules /etc/udev/rules.d/ && sudo udevadm control --reload-rules), then unplug the locator "
    "and connect it again\n";
const char* const kUsbBusyText =
    "\nLocator found%s but another program is using it (a second vx_fw_load?): close that program, then unplug "
    "the locator and connect it again\n";
const char* const kUsbOpenFailedText =
    "\nLocator found%s but it cannot be opened (%s): unplug it and connect it again\n";
const char* const kUsbNoDriverText =
    "\nLocator found%s but Windows has no working driver for it (Device Manager: Code %u): " VX_WINUSB_DEVICE_ROUTE
    "\n";
const char* const kUsbOtherDriverText =
    "\nLocator found%s but another driver serves it (service %s), not WinUSB: " VX_WINUSB_DEVICE_ROUTE "%s\n";
const char* const kUsbPnputilText =
    "; or, in a Command Prompt run as administrator, pnputil /delete-driver %s /uninstall (this takes that driver "
    "from every device that uses it), then unplug the locator and connect it again";
const char* const kUsbDisabledText =
    "\nLocator found%s but it is disabled (Device Manager: Code %u): in Device Manager right-click the locator "
    "and choose Enable device\n";
const char* const kUsbRestartText =
    "\nLocator found%s but Windows must restart before it can use it (Device Manager: Code %u): restart Windows\n";
const char* const kUsbNotStartedText =
    "\nLocator found%s but Windows could not start it (Device Manager: Code %u): unplug it and connect it again\n";

namespace {

using Clock = std::chrono::steady_clock;

template <class... Args>
std::string Format(const char* pszFormat, Args... args) {
  char buf[1024];
  std::snprintf(buf, sizeof buf, pszFormat, args...);
  return buf;
}

// The operator's line for a device kept from use, "" for the states never told.
std::string LineFor(const UsbCandidate& c, UsbState e, const std::string& sWhy) {
  const std::string sWhere = c.nBus == 0 ? "" : Format(" (USB bus %u, device %u)", c.nBus, c.nAddress);
  const char* pszWhere = sWhere.c_str();
  switch (e) {
    case UsbState::kNoPermission: return Format(kUsbNoPermissionText, pszWhere);
    case UsbState::kBusy: return Format(kUsbBusyText, pszWhere);
    case UsbState::kNotReady:
    case UsbState::kFailed: return Format(kUsbOpenFailedText, pszWhere, sWhy.c_str());
    case UsbState::kNoDriver: return Format(kUsbNoDriverText, pszWhere, c.uProblem);
    case UsbState::kOtherDriver: {
      const std::string sPnputil = c.sDriverInf.empty() ? "" : Format(kUsbPnputilText, c.sDriverInf.c_str());
      return Format(kUsbOtherDriverText, pszWhere, c.sService.c_str(), sPnputil.c_str());
    }
    case UsbState::kDisabled: return Format(kUsbDisabledText, pszWhere, c.uProblem);
    case UsbState::kNeedsRestart: return Format(kUsbRestartText, pszWhere, c.uProblem);
    case UsbState::kNotStarted: return Format(kUsbNotStartedText, pszWhere, c.uProblem);
    case UsbState::kReady:
    case UsbState::kOpened:
    case UsbState::kSettingUp:
    case UsbState::kGone: break;
  }
  return {};
}

}  // namespace

void UsbWatch::Start(const WduSink& sink) {
  sink_ = sink;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    bStop_ = false;
  }
  thread_ = std::thread(&UsbWatch::Run, this);
}

void UsbWatch::Stop() {
  if (!thread_.joinable()) return;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    bStop_ = true;
  }
  cv_.notify_all();
  thread_.join();
  CloseAll();
  if (bStarted_) ops_.Stop(ops_.pCtx);
  bStarted_ = false;
  std::deque<Event> rest;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    rest.swap(queue_);
  }
  for (Event& ev : rest) ops_.Drop(ops_.pCtx, ev.c.pDevice);
}

void UsbWatch::Queue(Event ev) {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!bStop_) {
      queue_.push_back(std::move(ev));
      cv_.notify_one();
      return;
    }
  }
  ops_.Drop(ops_.pCtx, ev.c.pDevice);
}

void UsbWatch::Arrived(const UsbCandidate& c) { Queue(Event{EventKind::kArrived, c, 0}); }

void UsbWatch::Left(const std::string& sKey) {
  UsbCandidate c;
  c.sKey = sKey;
  Queue(Event{EventKind::kLeft, c, 0});
}

void UsbWatch::Lost(uint64_t uId) { Queue(Event{EventKind::kLost, UsbCandidate{}, uId}); }

void UsbWatch::Rematch() { Queue(Event{EventKind::kRematch, UsbCandidate{}, 0}); }

void UsbWatch::Wake() {
  std::lock_guard<std::mutex> lk(mtx_);
  bWake_ = true;
  cv_.notify_one();
}

void UsbWatch::Run() {
  // Before the bus is brought up: the bus library's own threads, started from here, inherit it.
  OsRunAtNormalPriority();
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "vx-usb-watch");
#endif
  Clock::time_point nextStart = Clock::now(), nextList = Clock::now();
  std::unique_lock<std::mutex> lk(mtx_);
  for (;;) {
    // Sleep until an event, a wake-up, the next listing, the next look or the next bring-up.
    Clock::time_point wake = Clock::time_point::max();
    if (!bStarted_) wake = nextStart;
    else if (eListing_ == UsbListing::kPoll) wake = nextList;
    for (auto& [key, k] : known_) {
      if (k.phase == Phase::kWaiting) wake = std::min(wake, k.next);
    }
    auto ready = [&] { return bStop_ || bWake_ || !queue_.empty(); };
    if (wake == Clock::time_point::max()) {
      cv_.wait(lk, ready);
    } else {
      cv_.wait_until(lk, wake, ready);
    }
    if (bStop_) return;
    std::deque<Event> events;
    events.swap(queue_);
    bool bList = bWake_;
    bWake_ = false;
    lk.unlock();

    for (const Event& ev : events) Handle(ev);
    Clock::time_point now = Clock::now();
    if (!bStarted_ && now >= nextStart) {
      bStarted_ = ops_.Start(ops_.pCtx, &eListing_);
      nextStart = now + timing_.restart;
      nextList = now;
    }
    if (bStarted_ && eListing_ != UsbListing::kHotplug) {
      // A listing tells what became of every device: the one that a departure or a new
      // registration concerned, and those due for another look.
      now = Clock::now();
      bList = bList || !events.empty() || (eListing_ == UsbListing::kPoll && now >= nextList);
      for (auto& [key, k] : known_) bList = bList || (k.phase == Phase::kWaiting && now >= k.next);
      if (bList) {
        List();
        if (eListing_ == UsbListing::kPoll) nextList = std::max(nextList + timing_.poll, Clock::now());
      }
    } else if (bStarted_) {
      for (auto& [key, k] : known_) {
        if (k.phase == Phase::kWaiting && Clock::now() >= k.next) Look(k);
      }
    }
    lk.lock();
  }
}

void UsbWatch::Handle(const Event& ev) {
  switch (ev.kind) {
    case EventKind::kArrived:
      if (known_.count(ev.c.sKey) != 0) {
        ops_.Drop(ops_.pCtx, ev.c.pDevice);  // the same presence reported twice
      } else {
        Track(ev.c);
      }
      break;
    case EventKind::kLeft: Forget(ev.c.sKey); break;
    case EventKind::kLost:
      for (auto& [key, k] : known_) {
        if (k.phase == Phase::kOpened && k.uId == ev.uId) {
          Forget(std::string(key));
          break;
        }
      }
      break;
    case EventKind::kRematch:
      for (auto& [key, k] : known_) {
        if (k.phase != Phase::kUnwanted) continue;
        if (sink_.Wants == nullptr || sink_.Wants(sink_.pLayer, k.c.wVendorId, k.c.wProductId)) {
          k.phase = Phase::kWaiting;
          k.next = Clock::now();  // looked at in this round
        }
      }
      break;
  }
}

// A new presence: devices the registrations do not want are never opened nor told of.
void UsbWatch::Track(const UsbCandidate& c) {
  Known& k = known_[c.sKey];
  k.c = c;
  k.since = k.next = Clock::now();
  const bool bWanted = sink_.Wants == nullptr || sink_.Wants(sink_.pLayer, c.wVendorId, c.wProductId);
  k.phase = bWanted ? Phase::kWaiting : Phase::kUnwanted;
  if (bWanted) Look(k);
}

void UsbWatch::Forget(const std::string& sKey) {
  auto it = known_.find(sKey);
  if (it == known_.end()) return;
  Known& k = it->second;
  if (k.phase == Phase::kOpened) {
    // The layer hears of the departure first; the device is released once its transfers end.
    sink_.Left(sink_.pLayer, k.uId);
    ops_.Close(ops_.pCtx, k.uId);
  }
  ops_.Drop(ops_.pCtx, k.c.pDevice);
  known_.erase(it);
}

// One look at a device not in use yet: open it if it may be, else tell the operator why
// not, once that has lasted, and look again later.
void UsbWatch::Look(Known& k) {
  UsbState e = k.c.eListed;
  std::string sWhy;
  WDU_DEVICE_DESCRIPTOR desc{};
  const uint64_t uId = uNextId_++;
  if (e == UsbState::kReady) e = ops_.Open(ops_.pCtx, k.c, uId, &desc, &sWhy);
  if (e == UsbState::kOpened) {
    k.phase = Phase::kOpened;
    k.uId = uId;
    sink_.Arrived(sink_.pLayer, uId, &desc);
    return;
  }
  const Clock::time_point now = Clock::now();
  const std::string sLine = LineFor(k.c, e, sWhy);
  if (e != k.eLast || sLine != k.sLastLine) {
    k.eLast = e;
    k.sLastLine = sLine;
    k.since = now;
  }
  // udev may still be applying the rule that grants access, or the kernel still choosing
  // the configuration: those get longer.
  const bool bSlow = e == UsbState::kNoPermission || e == UsbState::kNotReady;
  const auto lasted = now - k.since;
  if (!sLine.empty() && lasted >= (bSlow ? timing_.permission : timing_.settle) && k.told.insert(sLine).second) {
    std::fputs(sLine.c_str(), stdout);
    std::fflush(stdout);
  }
  k.next = now + (lasted < timing_.permission ? timing_.retry : timing_.settle);
}

// Takes a listing: departures of what it lacks, arrivals of what is new, the latest word
// on what is waiting, and a look at what is due.
void UsbWatch::List() {
  std::vector<UsbCandidate> now;
  if (!ops_.Scan(ops_.pCtx, &now)) {
    for (UsbCandidate& c : now) ops_.Drop(ops_.pCtx, c.pDevice);
    return;
  }
  std::vector<std::string> gone;
  for (const auto& entry : known_) {
    const std::string& sKey = entry.first;
    const bool bListed = std::any_of(now.begin(), now.end(), [&](const UsbCandidate& c) { return c.sKey == sKey; });
    if (!bListed) gone.push_back(sKey);
  }
  for (const std::string& sKey : gone) Forget(sKey);
  for (UsbCandidate& c : now) {
    auto it = known_.find(c.sKey);
    if (it == known_.end()) {
      Track(c);
      continue;
    }
    Known& k = it->second;
    if (k.phase == Phase::kWaiting) {
      std::swap(k.c, c);  // the listing's word is the newer one; the older reference is dropped
      if (Clock::now() >= k.next) Look(k);
    }
    ops_.Drop(ops_.pCtx, c.pDevice);
  }
}

void UsbWatch::CloseAll() {
  for (auto& [key, k] : known_) {
    if (k.phase == Phase::kOpened) ops_.Close(ops_.pCtx, k.uId);
    ops_.Drop(ops_.pCtx, k.c.pDevice);
  }
  known_.clear();
}
