// The simulated locator: presence, the schedule and the bulk transfers around the loader.
// One mutex guards the whole device state; a condition variable wakes transfers that wait
// (for a response, a time-out or an unplug). Listener and event-log calls are queued under
// the lock and delivered after it is released, in order, by whichever thread queued them
// first.
#include "sim/locator.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace vxsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr size_t kTraceLimit = 500000;  // in-memory entries kept (the file keeps all)

// One queued notification: plug, unplug or an event-log line.
struct Note {
  enum Kind { kPlug, kUnplug, kLog } kind;
  uint64_t id = 0;
  uint16_t vid = 0, pid = 0;
  std::string text;
};

// A response in the IN endpoint (or one to come), and what the faults of its exchange do to
// its IN transfer: kStall (no response: a stall), kBabble, kUnplugAfter.
struct Pending {
  std::vector<uint8_t> bytes;
  Clock::time_point readyAt;
  uint64_t chargedNs = 0;  // of the exchange so far: the OUT transfer and the device's work
  Strike strike;
  bool bLate = false;  // kLate: not ready until its IN transfer has timed out
};

}  // namespace

struct Locator::Impl {
  mutable std::mutex mu;
  std::condition_variable cv;
  LocatorConfig cfg;

  // Presence.
  bool bPlugged = false;
  uint64_t deviceId = 0;
  uint64_t lastId = 0;

  // The loader, and when its running erase is done.
  const Loader::Log logLine = [this](std::string text) { Log(std::move(text)); };
  Loader loader{logLine};
  Clock::time_point eraseDone;
  uint64_t eraseRng = 0;  // state of the erase-time generator (seeded erase times)

  // Exchange state: a late response kept in the IN endpoint, and the last request's.
  std::optional<Pending> held;
  std::optional<Pending> pending;
  uint64_t abortGen = 0;
  FaultPlan plan;
  uint32_t exchanges = 0;  // requests received whole
  std::map<uint32_t, uint32_t> cmdCounts;

  // Production line.
  bool bProduction = false;
  uint32_t afterUpdateMs = 500;
  uint32_t replugMs = 3000;

  // Trace.
  std::deque<TraceEntry> trace;
  FILE* traceFile = nullptr;

  // Notifications.
  BusListener listener;
  std::function<void(const std::string&)> eventLog;
  std::deque<Note> notes;
  bool bDelivering = false;

  // Schedule.
  struct Action {
    Clock::time_point at;
    uint64_t seq;
    std::function<void()> fn;
  };
  std::vector<Action> schedule;
  uint64_t scheduleSeq = 0;
  bool bStopping = false;
  std::thread scheduler;

  // Calls f on the state with the lock held; Notifying then delivers the notes it queued.
  template <class F>
  auto With(F f) {
    std::lock_guard<std::mutex> lock(mu);
    return f(*this);
  }
  template <class F>
  void Notifying(F f) {
    std::unique_lock<std::mutex> lock(mu);
    f(*this);
    Deliver(lock);
  }

  // ---- Helpers, all called with mu held ----
  void Log(std::string text) { notes.push_back(Note{Note::kLog, 0, 0, 0, std::move(text)}); }

  void DoPlug() {
    if (bPlugged) return;
    bPlugged = true;
    deviceId = ++lastId;
    held.reset();
    pending.reset();
    notes.push_back(Note{Note::kPlug, deviceId, cfg.vendorId, cfg.productId, {}});
    Log("locator plugged in (product " + std::to_string(cfg.productId) + ", device " +
        std::to_string(deviceId) + ")");
  }

  void DoUnplug() {
    if (!bPlugged) return;
    const uint64_t id = deviceId;
    bPlugged = false;
    deviceId = 0;
    held.reset();
    pending.reset();
    loader.Depart();
    cv.notify_all();
    notes.push_back(Note{Note::kUnplug, id, 0, 0, {}});
    Log("locator unplugged (device " + std::to_string(id) + ")");
  }

  // Executes a whole request as its OUT transfer ends: starts the erase clock, and on the
  // production line plans the departure after the closing record.
  Answer Execute(const uint8_t* pData, uint32_t len, Clock::time_point outDone) {
    Answer a = loader.Execute(pData, len, loader.Erasing() && outDone >= eraseDone);
    if (a.eraseUnits != 0) {
      const uint32_t eraseMs = cfg.timing.EraseMs(a.eraseUnits, &eraseRng);
      eraseDone = outDone + std::chrono::milliseconds(eraseMs);
      Log("erase sector " + Hex(a.eraseSector) +
          (cfg.timing.eraseSeed != 0 ? " (" + std::to_string(eraseMs) + " ms)" : ""));
    }
    if (a.bRecord && bProduction) {
      const uint64_t id = deviceId;
      Log("update finished: unplugging in " + std::to_string(afterUpdateMs) + " ms");
      Schedule(afterUpdateMs, [this, id] { if (bPlugged && deviceId == id) DoUnplug(); });
      Schedule(afterUpdateMs + replugMs, [this] {
        if (!bPlugged) {
          loader.Reset();
          Log("a fresh locator arrives");
          DoPlug();
        }
      });
    }
    return a;
  }
  // A new request arrives: a ready response no IN took stays in the IN endpoint when late
  // answers are kept (and the endpoint has room); the rest is abandoned.
  void NewRequest(Clock::time_point arrival) {
    if (!cfg.bKeepLateAnswers) held.reset();
    if (cfg.bKeepLateAnswers && !held && pending && !pending->bLate && pending->readyAt <= arrival) {
      held = std::move(pending);
      Log("a response no IN took stays in the IN endpoint");
    }
    pending.reset();
  }
  // The response the next IN gets: the one kept in the endpoint, else the last request's.
  std::optional<Pending>& Front() { return held ? held : pending; }

  // Waits on the condition, with the lock released, until a notification (a departure, an
  // abort, a response) or the deadline. A timed wait ends late by the system's wake-up
  // latency (tens of microseconds in a virtual machine), which would add to every modelled
  // time; the wait aims that much early, by a running estimate of how late the recent wakes
  // were, so that it ends at the deadline on average.
  void WaitAimed(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
    const Clock::time_point aim = deadline - std::chrono::nanoseconds(wakeLateNs);
    if (cv.wait_until(lock, aim) != std::cv_status::timeout) return;
    const int64_t lateNs = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - aim).count();
    wakeLateNs = std::clamp<int64_t>(wakeLateNs + (lateNs - wakeLateNs) / 8, 0, kMaxWakeLateNs);
  }
  // True once waking for the time would end no sooner than it.
  bool Reached(Clock::time_point t) const { return Clock::now() + std::chrono::nanoseconds(wakeLateNs) >= t; }
  // Waits until the deadline, whatever is notified meanwhile.
  void WaitUntil(std::unique_lock<std::mutex>& lock, Clock::time_point deadline) {
    while (!Reached(deadline)) WaitAimed(lock, deadline);
  }
  int64_t wakeLateNs = 0;
  static constexpr int64_t kMaxWakeLateNs = 200'000;

  void Record(bool bOut, const uint8_t* p, uint32_t len, uint64_t chargedNs = 0) {
    TraceEntry e{bOut, BytesToWords(p, len), len, chargedNs};
    if (traceFile) {
      std::string line = std::string(bOut ? "OUT " : "IN ") + std::to_string(len) + ":";
      char buf[16];
      for (uint32_t w : e.words) line.append(buf, size_t(std::snprintf(buf, sizeof buf, " %08X", w)));
      if (!bOut && cfg.timing.Timed()) line += " ; " + std::to_string(chargedNs) + " ns";
      line += "\n";
      std::fputs(line.c_str(), traceFile);
      std::fflush(traceFile);
    }
    trace.push_back(std::move(e));
    if (trace.size() > kTraceLimit) trace.pop_front();
  }

  // Runs fn with the lock held after delayMs, on the schedule's thread.
  void Schedule(uint32_t delayMs, std::function<void()> fn) {
    if (bStopping) return;
    schedule.push_back(Action{Clock::now() + std::chrono::milliseconds(delayMs), ++scheduleSeq, std::move(fn)});
    if (!scheduler.joinable()) scheduler = std::thread([this] { RunScheduler(); });
    cv.notify_all();
  }

  void RunScheduler() {
    std::unique_lock<std::mutex> lock(mu);
    while (!bStopping) {
      if (schedule.empty()) {
        cv.wait(lock);
        continue;
      }
      auto it = std::min_element(schedule.begin(), schedule.end(), [](const Action& a, const Action& b) {
        return a.at != b.at ? a.at < b.at : a.seq < b.seq;
      });
      if (Clock::now() < it->at) {
        cv.wait_until(lock, it->at);
        continue;
      }
      std::function<void()> fn = std::move(it->fn);
      schedule.erase(it);
      fn();  // queues its notes
      Deliver(lock);
    }
  }

  // The checks every transfer makes: the device present under this id, the pipe of the
  // transfer's direction, a buffer for its bytes. kOk lets it go on; nothing moved yet.
  BusStatus StartTransfer(uint64_t deviceId, uint8_t pipe, uint8_t wantPipe, const void* pBuffer, uint32_t len,
                          uint32_t* pMoved) {
    *pMoved = 0;
    if (!bPlugged || deviceId != this->deviceId) return BusStatus::kGone;
    if (pipe != wantPipe) return BusStatus::kError;
    if (len != 0 && pBuffer == nullptr) return BusStatus::kError;
    return BusStatus::kOk;
  }

  // Delivers queued notes with the lock released for each call (unless another thread
  // already is delivering; it then delivers these too, keeping the order). Returns with
  // the lock held.
  void Deliver(std::unique_lock<std::mutex>& lock) {
    if (!lock.owns_lock()) lock.lock();
    if (bDelivering) return;
    bDelivering = true;
    while (!notes.empty()) {
      Note note = std::move(notes.front());
      notes.pop_front();
      BusListener l = listener;
      auto log = eventLog;
      lock.unlock();
      if (note.kind == Note::kPlug && l.onPlug) l.onPlug(note.id, note.vid, note.pid);
      if (note.kind == Note::kUnplug && l.onUnplug) l.onUnplug(note.id);
      if (note.kind == Note::kLog && log) log(note.text);
      lock.lock();
    }
    bDelivering = false;
  }
};

Locator::Locator(const LocatorConfig& config) : m_pImpl(new Impl) {
  m_pImpl->cfg = config;
  m_pImpl->eraseRng = config.timing.eraseSeed;
  if (config.bPlugged) {  // no other thread knows the locator yet
    m_pImpl->DoPlug();
    m_pImpl->notes.clear();  // no listener yet; SetListener reports the presence
  }
}

Locator::~Locator() {
  m_pImpl->With([](Impl& p) {
    p.bStopping = true;
    p.schedule.clear();
    ++p.abortGen;
    p.cv.notify_all();
  });
  if (m_pImpl->scheduler.joinable()) m_pImpl->scheduler.join();
  if (m_pImpl->traceFile) std::fclose(m_pImpl->traceFile);
  delete m_pImpl;
}

void Locator::SetListener(BusListener listener) {
  m_pImpl->Notifying([&](Impl& p) {
    p.listener = std::move(listener);
    // Presence notes queued for the previous listener would mislead the new one.
    std::erase_if(p.notes, [](const Note& n) { return n.kind != Note::kLog; });
    if (p.bPlugged) p.notes.push_back(Note{Note::kPlug, p.deviceId, p.cfg.vendorId, p.cfg.productId, {}});
  });
}

void Locator::Plug() { m_pImpl->Notifying([](Impl& p) { p.DoPlug(); }); }
void Locator::Unplug() { m_pImpl->Notifying([](Impl& p) { p.DoUnplug(); }); }

void Locator::PlugAfter(uint32_t delayMs, uint32_t upMs) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  auto* p = m_pImpl;
  // The plug records which presence it made so that the later unplug ends only that one.
  auto madeId = std::make_shared<uint64_t>(0);
  p->Schedule(delayMs, [p, madeId] {
    if (!p->bPlugged) {
      p->DoPlug();
      *madeId = p->deviceId;
    }
  });
  if (upMs != 0)
    p->Schedule(delayMs + upMs, [p, madeId] { if (p->bPlugged && p->deviceId == *madeId) p->DoUnplug(); });
}

bool Locator::IsPlugged() const { return m_pImpl->With([](Impl& p) { return p.bPlugged; }); }
uint64_t Locator::DeviceId() const { return m_pImpl->With([](Impl& p) { return p.deviceId; }); }
uint16_t Locator::ProductId() const { return m_pImpl->With([](Impl& p) { return p.cfg.productId; }); }
uint16_t Locator::VendorId() const { return m_pImpl->With([](Impl& p) { return p.cfg.vendorId; }); }

void Locator::SetIds(uint16_t vendorId, uint16_t productId) {
  m_pImpl->With([&](Impl& p) {
    p.cfg.vendorId = vendorId;
    p.cfg.productId = productId;
  });
}

BusStatus Locator::Out(uint64_t deviceId, uint8_t pipe, const uint8_t* pData, uint32_t len, uint32_t* pMoved,
                       uint32_t timeoutMs, TimePoint arrival) {
  if (arrival == TimePoint{}) arrival = Clock::now();
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  auto& p = *m_pImpl;
  if (const BusStatus e = p.StartTransfer(deviceId, pipe, kPipeOut, pData, len, pMoved); e != BusStatus::kOk) return e;

  const uint32_t cmd = len >= 12 ? BytesToWords(pData + 8, 4)[0] : 0;
  using K = FaultKind;
  const Strike s = p.plan.Next(cmd, len, p.logLine);
  if (s.Has(K::kUnplugBefore)) {
    p.DoUnplug();
    p.Deliver(lock);
    return BusStatus::kGone;
  }
  if (s.Has(K::kShortWrite)) {
    *pMoved = s.Value(K::kShortWrite);
    p.Record(true, pData, *pMoved);
    p.NewRequest(arrival);
    const uint64_t gen = p.abortGen;
    const auto deadline = arrival + std::chrono::milliseconds(timeoutMs);
    p.cv.wait_until(lock, deadline, [&] { return !p.bPlugged || p.deviceId != deviceId || p.abortGen != gen; });
    const bool bGone = !p.bPlugged || p.deviceId != deviceId;
    p.Deliver(lock);
    return bGone ? BusStatus::kGone : BusStatus::kTimeout;
  }

  *pMoved = len;
  p.Record(true, pData, len);
  ++p.exchanges;
  if (len >= 12) ++p.cmdCounts[cmd];
  p.NewRequest(arrival);
  // The request is executed as its transfer ends; the response is ready after the work.
  const uint64_t outNs = p.cfg.timing.TransferNs(len);
  const Clock::time_point outDone = arrival + std::chrono::nanoseconds(outNs);
  std::optional<Pending> next;
  if (s.Has(K::kStall)) next = Pending{{}, outDone, 0, s, false};
  const bool bExecute = !s.Has(K::kStall) && !s.Has(K::kSilence);
  const Answer a = bExecute ? p.Execute(pData, len, outDone) : Answer{};
  if (a.words && !s.Has(K::kNoAnswer)) {
    const uint64_t workNs = (*a.words)[1] == 0 ? p.cfg.timing.WorkNs(cmd, a.work) : 0;
    std::chrono::nanoseconds toReady(workNs);
    if (s.Has(K::kDelay)) toReady = std::chrono::milliseconds(s.Value(K::kDelay));
    next = Pending{s.Frame(*a.words), outDone + toReady, outNs + workNs, s, s.Has(K::kLate)};
  }
  if (next) {
    p.pending = std::move(next);
    p.cv.notify_all();
  }
  p.Deliver(lock);
  p.WaitUntil(lock, outDone);
  return BusStatus::kOk;
}

BusStatus Locator::In(uint64_t deviceId, uint8_t pipe, uint8_t* pBuf, uint32_t len, uint32_t* pMoved,
                      uint32_t timeoutMs, TimePoint arrival) {
  if (arrival == TimePoint{}) arrival = Clock::now();
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  auto& p = *m_pImpl;
  if (const BusStatus e = p.StartTransfer(deviceId, pipe, kPipeIn, pBuf, len, pMoved); e != BusStatus::kOk) return e;

  const uint64_t gen = p.abortGen;
  const auto deadline = arrival + std::chrono::milliseconds(timeoutMs);
  // One wait until the transfer's end: once both the host asked for the response and the
  // device had it ready, plus its time on the link (or until the time-out when no response
  // comes in time); a departure or an abort ends it early.
  for (;;) {
    if (!p.bPlugged || p.deviceId != deviceId) return BusStatus::kGone;
    const auto now = Clock::now();
    std::optional<Pending>& front = p.Front();
    const bool bComing = front && !front->bLate && front->readyAt <= deadline;
    if (p.abortGen != gen || (!bComing && now >= deadline)) {
      p.Record(false, pBuf, 0);
      if (front && front->bLate) {  // the late response comes now, just after the host gave up
        front->bLate = false;
        front->readyAt = now;
        p.Log("a late response is ready after its IN transfer ended");
      }
      return BusStatus::kTimeout;
    }
    if (!bComing) {
      p.cv.wait_until(lock, deadline);
      continue;
    }
    const Clock::time_point inDone = std::max(arrival, front->readyAt) +
                                     std::chrono::nanoseconds(p.cfg.timing.TransferNs(uint32_t(front->bytes.size())));
    if (p.Reached(inDone)) break;
    p.WaitAimed(lock, inDone);
  }

  std::optional<Pending>& front = p.Front();
  const Pending pend = std::move(*front);
  front.reset();
  const uint32_t size = uint32_t(pend.bytes.size());
  const bool bStall = pend.strike.Has(FaultKind::kStall);
  const bool bBabble = !bStall && (len < size || pend.strike.Has(FaultKind::kBabble));
  const bool bOk = !bStall && !bBabble;
  if (bStall) p.Log("IN transfer answered with a stall");
  if (bBabble)
    p.Log("IN transfer of " + std::to_string(len) + " bytes babbles: the response of " + std::to_string(size) +
          " bytes overflows it");
  if (bOk && size != 0) std::memcpy(pBuf, pend.bytes.data(), size);
  *pMoved = bOk ? size : 0;
  p.Record(false, pBuf, *pMoved, bOk ? pend.chargedNs + p.cfg.timing.TransferNs(size) : 0);
  if (pend.strike.Has(FaultKind::kUnplugAfter)) p.DoUnplug();
  p.Deliver(lock);
  return bStall ? BusStatus::kStall : bBabble ? BusStatus::kBabble : BusStatus::kOk;
}

BusStatus Locator::SetInterface(uint64_t deviceId, uint32_t iface, uint32_t alt) {
  return m_pImpl->With([&](Impl& p) {
    if (!p.bPlugged || deviceId != p.deviceId) return BusStatus::kGone;
    return iface == 0 && alt == 0 ? BusStatus::kOk : BusStatus::kError;
  });
}

void Locator::AbortWaits() {
  m_pImpl->With([](Impl& p) {
    ++p.abortGen;
    p.cv.notify_all();
  });
}

void Locator::AddFault(const Fault& fault) { m_pImpl->With([&](Impl& p) { p.plan.faults.push_back(fault); }); }
void Locator::ClearFaults() { m_pImpl->With([](Impl& p) { p.plan.faults.clear(); }); }

void Locator::SetProductionLine(bool bOn, uint32_t afterUpdateMs, uint32_t replugMs) {
  m_pImpl->With([&](Impl& p) {
    p.bProduction = bOn;
    p.afterUpdateMs = afterUpdateMs;
    p.replugMs = replugMs;
  });
}

void Locator::ResetMemory() { m_pImpl->With([](Impl& p) { p.loader.Reset(); }); }

uint16_t Locator::FlashUnit(uint32_t unitAddress) const {
  return m_pImpl->With(
      [&](Impl& p) { return unitAddress < kFlashUnits ? p.loader.Flash()[unitAddress] : uint16_t(0xFFFF); });
}

std::vector<uint16_t> Locator::FlashUnits(uint32_t unitAddress, uint32_t count) const {
  const uint64_t begin = std::min<uint64_t>(unitAddress, kFlashUnits);
  const uint64_t end = std::min<uint64_t>(begin + count, kFlashUnits);
  return m_pImpl->With([&](Impl& p) {
    const uint16_t* flash = p.loader.Flash().data();
    return std::vector<uint16_t>(flash + begin, flash + end);
  });
}

std::vector<uint8_t> Locator::FlashBytes(uint32_t unitAddress, uint32_t byteCount) const {
  return m_pImpl->With([&](Impl& p) {
    std::vector<uint8_t> out;
    for (uint64_t i = 0; i < byteCount && unitAddress + i / 2 < kFlashUnits; ++i)
      out.push_back(uint8_t(p.loader.Flash()[unitAddress + i / 2] >> (8 * (i % 2))));
    return out;
  });
}

void Locator::LoadFlash(uint32_t unitAddress, const std::vector<uint8_t>& bytes) {
  m_pImpl->With([&](Impl& p) { p.loader.LoadFlash(unitAddress, bytes); });
}

std::vector<uint8_t> Locator::EepromBytes(uint32_t address, uint32_t count) const {
  const uint64_t begin = std::min<uint64_t>(address, kEepromBytes);
  const uint64_t end = std::min<uint64_t>(begin + count, kEepromBytes);
  return m_pImpl->With([&](Impl& p) {
    const uint8_t* eeprom = p.loader.Eeprom().data();
    return std::vector<uint8_t>(eeprom + begin, eeprom + end);
  });
}

uint32_t Locator::FlashCrc(uint32_t unitAddress, uint32_t unitCount) const {
  return m_pImpl->With([&](Impl& p) { return p.loader.FlashCrc(unitAddress, unitCount); });
}

std::vector<TraceEntry> Locator::Trace() const {
  return m_pImpl->With([](Impl& p) { return std::vector<TraceEntry>(p.trace.begin(), p.trace.end()); });
}

void Locator::ClearTrace() { m_pImpl->With([](Impl& p) { p.trace.clear(); }); }

bool Locator::SetTraceFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  m_pImpl->With([&](Impl& p) {
    if (p.traceFile) std::fclose(p.traceFile);
    p.traceFile = f;
  });
  return true;
}

namespace {
bool WriteFile(const std::string& path, const std::vector<uint8_t>& bytes) {
  FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool bOk = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && bOk;
}
}  // namespace

bool Locator::DumpFlash(const std::string& path) const { return WriteFile(path, FlashBytes(0, kFlashUnits * 2)); }
bool Locator::DumpEeprom(const std::string& path) const { return WriteFile(path, EepromBytes(0, kEepromBytes)); }
uint32_t Locator::ExchangeCount() const { return m_pImpl->With([](Impl& p) { return p.exchanges; }); }
uint32_t Locator::FaultExchangeCount() const { return m_pImpl->With([](Impl& p) { return p.plan.exchanges; }); }
uint32_t Locator::UnerasedWrites() const { return m_pImpl->With([](Impl& p) { return p.loader.UnerasedWrites(); }); }

uint32_t Locator::CommandCount(uint32_t command) const {
  return m_pImpl->With([&](Impl& p) {
    auto it = p.cmdCounts.find(command);
    return it == p.cmdCounts.end() ? 0 : it->second;
  });
}

void Locator::SetEventLog(std::function<void(const std::string&)> log) {
  m_pImpl->With([&](Impl& p) { p.eventLog = std::move(log); });
}

TraceFloor FloorOfTrace(const std::vector<TraceEntry>& trace) {
  TraceFloor floor;
  for (const TraceEntry& e : trace) {
    if (e.bOut) {
      ++floor.exchanges;
      if (e.words.size() > 2 && e.words[2] == kCmdEraseStatus) ++floor.statusRequests;
    } else {
      floor.exchangeNs += e.chargedNs;
    }
  }
  return floor;
}

std::optional<TraceEntry> ParseTraceLine(const std::string& line) {
  const bool bOut = line.rfind("OUT ", 0) == 0;
  if (!bOut && line.rfind("IN ", 0) != 0) return std::nullopt;
  TraceEntry e{bOut, {}, 0, 0};
  const char* p = line.c_str() + (bOut ? 4 : 3);
  char* end = nullptr;
  e.bytes = uint32_t(std::strtoul(p, &end, 10));
  if (end == p || *end != ':') return std::nullopt;
  p = end + 1;
  for (;;) {
    while (*p == ' ') ++p;
    if (*p == '\0') break;
    if (*p == ';') {
      const uint64_t ns = std::strtoull(p + 1, &end, 10);
      if (end == p + 1 || std::strcmp(end, " ns") != 0) return std::nullopt;
      e.chargedNs = ns;
      break;
    }
    const unsigned long w = std::strtoul(p, &end, 16);
    if (end == p) return std::nullopt;
    e.words.push_back(uint32_t(w));
    p = end;
  }
  return e;
}

std::array<uint8_t, 18> DeviceDescriptorBytes(uint16_t vendorId, uint16_t productId) {
  return {18,   1,    0x00, 0x02,  // bLength, bDescriptorType, bcdUSB 2.00
          0xFF, 0x00, 0x00, 64,    // vendor-specific class, EP0 packet size
          uint8_t(vendorId), uint8_t(vendorId >> 8), uint8_t(productId), uint8_t(productId >> 8),
          0x00, 0x01,  // bcdDevice 1.00
          1,    2,    0,    1};  // strings, one configuration
}

}  // namespace vxsim
