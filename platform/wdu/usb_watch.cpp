#include "platform/wdu/usb_watch.h"

#include <algorithm>
#include <cstdio>

#if defined(__linux__)
#include <pthread.h>
#endif

const char* const kUsbNoPermissionText =
    "\nLocator found (USB bus %u, device %u) but this user may not open it: install the udev rule "
    "70-vx-locator.rules (sudo cp 70-vx-locator.rules /etc/udev/rules.d/ && sudo udevadm control "
    "--reload-rules), then unplug the locator and connect it again\n";
const char* const kUsbBusyText =
    "\nLocator found (USB bus %u, device %u) but another program is using it (a second vx_fw_load?): "
    "close that program, then unplug the locator and connect it again\n";
const char* const kUsbOpenFailedText =
    "\nLocator found (USB bus %u, device %u) but it cannot be opened (%s): unplug it and connect it again\n";

UsbScanDiff DiffScan(const std::vector<std::string>& known, const std::vector<UsbCandidate>& now) {
  UsbScanDiff d;
  for (const std::string& k : known) {
    const bool bStill = std::any_of(now.begin(), now.end(), [&](const UsbCandidate& c) { return c.sKey == k; });
    if (!bStill) d.left.push_back(k);
  }
  for (const UsbCandidate& c : now) {
    if (std::find(known.begin(), known.end(), c.sKey) == known.end()) d.arrived.push_back(c);
  }
  return d;
}

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

void UsbWatch::Arrived(const UsbCandidate& c) {
  {
    std::lock_guard<std::mutex> lk(mtx_);
    if (!bStop_) {
      queue_.push_back(Event{true, c});
      cv_.notify_one();
      return;
    }
  }
  ops_.Drop(ops_.pCtx, c.pDevice);
}

void UsbWatch::Left(const std::string& sKey) {
  UsbCandidate c;
  c.sKey = sKey;
  std::lock_guard<std::mutex> lk(mtx_);
  if (bStop_) return;
  queue_.push_back(Event{false, c});
  cv_.notify_one();
}

void UsbWatch::Run() {
  // Before the bus is brought up: the bus library's own threads, started from here, inherit it.
  OsRunAtNormalPriority();
#if defined(__linux__)
  pthread_setname_np(pthread_self(), "vx-usb-watch");
#endif
  using Clock = std::chrono::steady_clock;
  Clock::time_point nextStart = Clock::now(), nextPoll = Clock::now();
  std::unique_lock<std::mutex> lk(mtx_);
  for (;;) {
    // Sleep until an event, the next poll, the next retry or the next bring-up attempt.
    Clock::time_point wake = Clock::time_point::max();
    if (!bStarted_) wake = nextStart;
    else if (bPolling_) wake = nextPoll;
    for (auto& [key, k] : known_) {
      if (k.state == State::kPending) wake = std::min(wake, k.next);
    }
    if (wake == Clock::time_point::max()) {
      cv_.wait(lk, [&] { return bStop_ || !queue_.empty(); });
    } else {
      cv_.wait_until(lk, wake, [&] { return bStop_ || !queue_.empty(); });
    }
    if (bStop_) return;
    std::deque<Event> events;
    events.swap(queue_);
    lk.unlock();

    for (const Event& ev : events) Handle(ev);
    const Clock::time_point now = Clock::now();
    if (!bStarted_ && now >= nextStart) {
      bStarted_ = ops_.Start(ops_.pCtx, &bPolling_);
      nextStart = now + timing_.restart;
      nextPoll = now;
    }
    if (bStarted_ && bPolling_ && Clock::now() >= nextPoll) {
      Poll();
      nextPoll = std::max(nextPoll + timing_.poll, Clock::now());
    }
    for (auto& [key, k] : known_) {
      if (k.state == State::kPending && Clock::now() >= k.next) Attempt(k);
    }
    lk.lock();
  }
}

void UsbWatch::Handle(const Event& ev) {
  if (ev.bArrived) {
    HandleArrived(ev.c);
  } else {
    HandleLeft(ev.c.sKey);
  }
}

void UsbWatch::HandleArrived(const UsbCandidate& c) {
  // The same key again means its departure was missed: that presence is over.
  if (known_.count(c.sKey) != 0) HandleLeft(c.sKey);
  Known& k = known_[c.sKey];
  k.c = c;
  k.first = k.next = std::chrono::steady_clock::now();
  Attempt(k);
}

void UsbWatch::HandleLeft(const std::string& sKey) {
  auto it = known_.find(sKey);
  if (it == known_.end()) return;
  Known& k = it->second;
  if (k.state == State::kOpened) {
    // The layer hears of the departure first; the device is released once its transfers end.
    sink_.Left(sink_.pLayer, k.uId);
    ops_.Close(ops_.pCtx, k.uId);
  }
  ops_.Drop(ops_.pCtx, k.c.pDevice);
  known_.erase(it);
}

void UsbWatch::Attempt(Known& k) {
  const uint64_t uId = uNextId_++;
  WDU_DEVICE_DESCRIPTOR desc{};
  const char* pszWhy = "";
  const UsbOpenResult r = ops_.Open(ops_.pCtx, k.c, uId, &desc, &pszWhy);
  const auto now = std::chrono::steady_clock::now();
  switch (r) {
    case UsbOpenResult::kOpened:
      k.state = State::kOpened;
      k.uId = uId;
      sink_.Arrived(sink_.pLayer, uId, &desc);
      return;
    case UsbOpenResult::kNoPermission:
    case UsbOpenResult::kNotReady:
      // udev may still be applying the rule that grants access, or the kernel still
      // choosing the configuration: try again for a while.
      if (now - k.first < timing_.permission) {
        k.next = now + timing_.retry;
        return;
      }
      if (r == UsbOpenResult::kNoPermission) {
        std::printf(kUsbNoPermissionText, k.c.nBus, k.c.nAddress);
      } else {
        std::printf(kUsbOpenFailedText, k.c.nBus, k.c.nAddress, pszWhy);
      }
      break;
    case UsbOpenResult::kBusy:
      std::printf(kUsbBusyText, k.c.nBus, k.c.nAddress);
      break;
    case UsbOpenResult::kGone:
      break;  // its departure follows
    case UsbOpenResult::kFailed:
      std::printf(kUsbOpenFailedText, k.c.nBus, k.c.nAddress, pszWhy);
      break;
  }
  std::fflush(stdout);
  k.state = State::kRefused;  // not tried again until it is plugged in again
}

void UsbWatch::Poll() {
  std::vector<UsbCandidate> now;
  ops_.Scan(ops_.pCtx, &now);
  std::vector<std::string> keys;
  keys.reserve(known_.size());
  for (const auto& [key, k] : known_) keys.push_back(key);
  UsbScanDiff d = DiffScan(keys, now);
  for (const std::string& sKey : d.left) HandleLeft(sKey);
  for (const UsbCandidate& c : d.arrived) HandleArrived(c);
  // Candidates already known keep their first reference; drop the scan's others.
  for (const UsbCandidate& c : now) {
    const bool bTaken = std::any_of(d.arrived.begin(), d.arrived.end(),
                                    [&](const UsbCandidate& a) { return a.pDevice == c.pDevice; });
    if (!bTaken) ops_.Drop(ops_.pCtx, c.pDevice);
  }
}

void UsbWatch::CloseAll() {
  for (auto& [key, k] : known_) {
    if (k.state == State::kOpened) ops_.Close(ops_.pCtx, k.uId);
    ops_.Drop(ops_.pCtx, k.c.pDevice);
  }
  known_.clear();
}
