// The simulated locator loader. One mutex guards the whole device state; a condition
// variable wakes transfers that wait (for a response, a time-out or an unplug). Listener
// and event-log calls are queued under the lock and delivered after it is released, in
// order, by whichever thread queued them first.
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
#include <thread>

namespace vxsim {
namespace {

using Clock = std::chrono::steady_clock;

constexpr uint32_t kMaxWords = 127;
constexpr uint32_t kMaxFrameBytes = (kMaxWords + 1) * 4;
constexpr uint32_t kSmallSector = 0x1000;
constexpr uint32_t kLargeSector = 0x8000;
constexpr uint32_t kBootEnd = 0x8000;
constexpr uint32_t kEepromPage = 256;
constexpr uint32_t kEepromRecordAddress = 0x1000;
constexpr size_t kTraceLimit = 500000;  // in-memory entries kept (the file keeps all)

constexpr uint32_t CMD_ERASE_SECTOR = 404;
constexpr uint32_t CMD_ERASE_STATUS = 405;
constexpr uint32_t CMD_READ_FLASH_CFI = 408;
constexpr uint32_t CMD_READ_FLASH = 409;
constexpr uint32_t CMD_WRITE_FLASH = 412;
constexpr uint32_t CMD_FLASH_CRC = 413;
constexpr uint32_t CMD_WRITE_EEPROM = 901;

uint32_t WordAt(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

void PutWord(uint8_t* p, uint32_t w) {
  p[0] = uint8_t(w);
  p[1] = uint8_t(w >> 8);
  p[2] = uint8_t(w >> 16);
  p[3] = uint8_t(w >> 24);
}

// Bytes as words, a trailing partial word zero-padded.
std::vector<uint32_t> BytesToWords(const uint8_t* p, uint32_t len) {
  std::vector<uint32_t> words((len + 3) / 4, 0);
  for (uint32_t i = 0; i < len; ++i) words[i / 4] |= uint32_t(p[i]) << (8 * (i % 4));
  return words;
}

uint32_t Sum(const std::vector<uint32_t>& w, size_t count) {
  uint32_t s = 0;
  for (size_t i = 0; i < count; ++i) s += w[i];
  return s;
}

std::string Hex(uint32_t v) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "0x%X", v);
  return buf;
}

// One queued notification: plug, unplug or an event-log line.
struct Note {
  enum Kind { kPlug, kUnplug, kLog } kind;
  uint64_t id = 0;
  uint16_t vid = 0;
  uint16_t pid = 0;
  std::string text;
};

struct Pending {
  std::vector<uint8_t> bytes;
  Clock::time_point readyAt;
  uint64_t chargedNs = 0;  // of the exchange so far: the OUT transfer and the device's work
  bool bUnplugAfter = false;
  bool bZero = false;
  bool bLate = false;    // not ready until its IN transfer has timed out
  bool bStall = false;   // no response: its IN transfer is answered with a stall
  bool bBabble = false;  // its IN transfer ends in babble
  uint32_t shortBytes = 0;  // 0: whole response
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

  // Memory.
  std::vector<uint16_t> flash = std::vector<uint16_t>(kFlashUnits, 0xFFFF);
  std::vector<uint8_t> eeprom = std::vector<uint8_t>(kEepromBytes, 0xFF);
  // Units programmed (or left undefined by an erase) since their sector's last finished
  // erase, and the flash writes that programmed such a unit.
  std::vector<bool> unitDirty = std::vector<bool>(kFlashUnits, false);
  uint32_t unerasedWrites = 0;

  // Erase in progress.
  uint64_t eraseRng = 0;  // state of the erase-time generator (seeded erase times)
  bool bErasing = false;
  uint32_t eraseSector = 0;
  uint32_t eraseSize = 0;
  Clock::time_point eraseDone;

  // Exchange state: a late response kept in the IN endpoint, and the last request's.
  std::optional<Pending> held;
  std::optional<Pending> pending;
  uint64_t abortGen = 0;
  uint32_t outTransfers = 0;                // numbers exchanges for fault matching
  std::map<uint32_t, uint32_t> cmdAttempts;  // per command, for fault matching
  uint32_t exchanges = 0;                    // requests received whole
  std::map<uint32_t, uint32_t> cmdCounts;
  std::vector<Fault> faults;

  // Production line.
  bool bProduction = false;
  uint32_t afterUpdateMs = 500;
  uint32_t replugMs = 3000;

  // Trace.
  std::deque<TraceEntry> trace;
  FILE* traceFile = nullptr;

  // Write-run summary for the event log.
  bool bRun = false;
  uint32_t runBase = 0, runFirst = 0, runLast = 0, runWords = 0, runCount = 0;

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

  // ---- Helpers, all called with mu held ----
  void Log(std::string text) { notes.push_back(Note{Note::kLog, 0, 0, 0, std::move(text)}); }

  void DoPlug() {
    if (bPlugged) return;
    bPlugged = true;
    deviceId = ++lastId;
    held.reset();
    pending.reset();
    bErasing = false;
    notes.push_back(Note{Note::kPlug, deviceId, cfg.vendorId, cfg.productId, {}});
    Log("locator plugged in (product " + std::to_string(cfg.productId) + ", device " +
        std::to_string(deviceId) + ")");
  }

  void DoUnplug() {
    if (!bPlugged) return;
    EndRun();
    uint64_t id = deviceId;
    bPlugged = false;
    deviceId = 0;
    held.reset();
    pending.reset();
    if (bErasing) Log("erase of sector " + Hex(eraseSector) + " abandoned");
    bErasing = false;
    cv.notify_all();
    notes.push_back(Note{Note::kUnplug, id, 0, 0, {}});
    Log("locator unplugged (device " + std::to_string(id) + ")");
  }

  void ResetMemoryLocked() {
    std::fill(flash.begin(), flash.end(), uint16_t(0xFFFF));
    std::fill(eeprom.begin(), eeprom.end(), uint8_t(0xFF));
    std::fill(unitDirty.begin(), unitDirty.end(), false);
    bErasing = false;
  }

  // Completes an erase whose time has come.
  void Settle(Clock::time_point now) {
    if (bErasing && now >= eraseDone) {
      std::fill(flash.begin() + eraseSector, flash.begin() + eraseSector + eraseSize, uint16_t(0xFFFF));
      std::fill(unitDirty.begin() + eraseSector, unitDirty.begin() + eraseSector + eraseSize, false);
      bErasing = false;
      Log("erase of sector " + Hex(eraseSector) + " finished");
    }
  }

  void EndRun() {
    if (bRun && runCount > 1) {
      Log("wrote " + std::to_string(runCount) + " blocks of flash (" + std::to_string(runWords) +
          " words) at " + Hex(runBase) + "+" + Hex(runFirst) + " to " + Hex(runBase) + "+" + Hex(runLast));
    }
    bRun = false;
  }

  void NoteWrite(uint32_t base, uint32_t offset, uint32_t words) {
    if (bRun && base == runBase && offset == runLast + runWords / runCount * 2 && words == runWords / runCount) {
      runLast = offset;
      runWords += words;
      ++runCount;
      return;
    }
    EndRun();
    Log("wrote " + std::to_string(words) + (words == 1 ? " word at " : " words at ") + Hex(base) + "+" + Hex(offset));
    bRun = true;
    runBase = base;
    runFirst = runLast = offset;
    runWords = words;
    runCount = 1;
  }

  bool Timed() const { return cfg.timing.Timed() || cfg.latencyUs != 0; }

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

  // A transfer's time on the link.
  uint64_t TransferNs(uint32_t bytes) const {
    return LinkTransferNs(cfg.timing.link, bytes) + uint64_t(cfg.latencyUs) * 1000;
  }

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
      char buf[32];
      for (uint32_t w : e.words) {
        std::snprintf(buf, sizeof buf, " %08X", w);
        line += buf;
      }
      if (!bOut && Timed()) line += " ; " + std::to_string(chargedNs) + " ns";
      line += "\n";
      std::fputs(line.c_str(), traceFile);
      std::fflush(traceFile);
    }
    trace.push_back(std::move(e));
    if (trace.size() > kTraceLimit) trace.pop_front();
  }

  bool Matches(const Fault& f, uint32_t exchangeNo, uint32_t cmd, uint32_t cmdNo) const {
    auto within = [&](uint32_t no, uint32_t first) {
      if (no < first) return false;
      return f.times == 0 || no - first < f.times;
    };
    if (f.exchange != 0) return (f.command == 0 || f.command == cmd) && within(exchangeNo, f.exchange);
    if (f.command != 0) return f.command == cmd && within(cmdNo, f.nth == 0 ? 1 : f.nth);
    return within(exchangeNo, f.nth == 0 ? 1 : f.nth);
  }

  // Builds the response words (m of them, without checksum) for a whole request, or
  // nothing when the request is dropped. Executes the command.
  std::optional<std::vector<uint32_t>> Execute(const uint8_t* pData, uint32_t len, Clock::time_point now);

  void Schedule(uint32_t delayMs, std::function<void()> fn);
  void RunScheduler();

  // The checks every transfer makes: the device present under this id, the pipe of the
  // transfer's direction, a buffer for its bytes. kOk lets it go on.
  BusStatus StartTransfer(uint64_t deviceId, uint8_t pipe, uint8_t wantPipe, const void* pBuffer, uint32_t len) {
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

std::optional<std::vector<uint32_t>> Locator::Impl::Execute(const uint8_t* pData, uint32_t len,
                                                            Clock::time_point now) {
  if (len < 8) {
    Log("request of " + std::to_string(len) + " bytes dropped");
    return std::nullopt;
  }
  std::vector<uint32_t> req = BytesToWords(pData, std::min(len, kMaxFrameBytes + 4));
  const uint32_t n = req[0];
  const uint32_t m = req[1];
  if (m < 3 || m > kMaxWords) {
    Log("request with response count " + std::to_string(m) + " dropped");
    return std::nullopt;
  }
  std::vector<uint32_t> rsp(m, 0);
  rsp[0] = m;
  auto reject = [&](uint32_t code, const std::string& why) {
    rsp[1] = code;
    Log("request rejected (" + why + "): result " + Hex(code));
    return rsp;
  };
  if (n < 3 || n > kMaxWords || len != (n + 1) * 4) return reject(kResultBadLength, "length");
  if (Sum(req, n) != req[n]) return reject(kResultBadChecksum, "checksum");

  Settle(now);
  const uint32_t cmd = req[2];
  if (cmd != CMD_WRITE_FLASH) EndRun();
  auto args = [&](uint32_t needN, uint32_t needM) { return n == needN && m == needM; };

  switch (cmd) {
    case CMD_ERASE_SECTOR: {
      if (!args(4, 3)) return reject(kResultBadArguments, "erase arguments");
      const uint32_t a = req[3];
      const bool bSmall = a < kBootEnd && a % kSmallSector == 0;
      const bool bLarge = a >= kBootEnd && a < kFlashUnits && a % kLargeSector == 0;
      if (!bSmall && !bLarge) return reject(kResultBadAddress, "not a sector: " + Hex(a));
      if (bErasing) return reject(kResultBusy, "erase running");
      bErasing = true;
      eraseSector = a;
      eraseSize = bSmall ? kSmallSector : kLargeSector;
      uint32_t eraseMs = bSmall ? cfg.smallEraseMs : cfg.largeEraseMs;
      if (cfg.timing.eraseSeed != 0) eraseMs = DrawEraseMs(eraseMs, &eraseRng);
      eraseDone = now + std::chrono::milliseconds(eraseMs);
      std::fill(flash.begin() + a, flash.begin() + a + eraseSize, uint16_t(0));
      std::fill(unitDirty.begin() + a, unitDirty.begin() + a + eraseSize, true);
      Log("erase sector " + Hex(a) + (cfg.timing.eraseSeed != 0 ? " (" + std::to_string(eraseMs) + " ms)" : ""));
      rsp[1] = 1;
      return rsp;
    }
    case CMD_ERASE_STATUS:
      if (!args(3, 3)) return reject(kResultBadArguments, "status arguments");
      rsp[1] = bErasing ? 0 : 1;
      return rsp;
    case CMD_READ_FLASH_CFI:
      if (!args(3, 7)) return reject(kResultBadArguments, "CFI arguments");
      rsp[3] = 'Q';
      rsp[4] = 'R';
      rsp[5] = 'Y';
      rsp[6] = 0x0002;
      Log("flash identification read");
      return rsp;
    case CMD_READ_FLASH: {
      if (n != 5) return reject(kResultBadArguments, "read arguments");
      const uint32_t count = req[3], a = req[4];
      if (uint64_t(count) + 3 != m) return reject(kResultBadArguments, "read count");
      if (uint64_t(a) + 2 * uint64_t(count) > kFlashUnits) return reject(kResultBadAddress, "read beyond flash");
      for (uint32_t i = 0; i < count; ++i)
        rsp[3 + i] = uint32_t(flash[a + 2 * i]) | uint32_t(flash[a + 2 * i + 1]) << 16;
      Log("read " + std::to_string(count) + " words at " + Hex(a));
      return rsp;
    }
    case CMD_WRITE_FLASH: {
      if (n < 6 || m != 3) return reject(kResultBadArguments, "write arguments");
      const uint32_t count = req[3], base = req[4], offset = req[5];
      if (uint64_t(count) + 6 != n) return reject(kResultBadArguments, "write count");
      const uint64_t a = uint64_t(base) + offset;
      if (a + 2 * uint64_t(count) > kFlashUnits) return reject(kResultBadAddress, "write beyond flash");
      if (bErasing) return reject(kResultBusy, "write while erasing");
      bool bUnerased = false;
      for (uint32_t i = 0; i < count; ++i) {
        const uint32_t w = req[6 + i];
        flash[a + 2 * i] &= uint16_t(w);
        flash[a + 2 * i + 1] &= uint16_t(w >> 16);
        bUnerased = bUnerased || unitDirty[a + 2 * i] || unitDirty[a + 2 * i + 1];
        unitDirty[a + 2 * i] = unitDirty[a + 2 * i + 1] = true;
      }
      if (bUnerased) {
        ++unerasedWrites;
        Log("write at " + Hex(base) + "+" + Hex(offset) + " over flash not erased since it was written");
      }
      NoteWrite(base, offset, count);
      return rsp;
    }
    case CMD_FLASH_CRC: {
      if (!args(5, 4)) return reject(kResultBadArguments, "CRC arguments");
      const uint32_t a = req[3], count = req[4];
      if (uint64_t(a) + count > kFlashUnits) return reject(kResultBadAddress, "CRC beyond flash");
      uint32_t crc = 0xFFFF;
      for (uint32_t i = 0; i < count; ++i) crc = LoaderCrcStep(crc, uint8_t(flash[a + i]));
      rsp[3] = crc;
      Log("flash CRC over " + Hex(count) + " units at " + Hex(a) + ": " + Hex(crc));
      return rsp;
    }
    case CMD_WRITE_EEPROM: {
      if (n < 5 || m != 3) return reject(kResultBadArguments, "EEPROM arguments");
      const uint32_t bytes = req[3], a = req[4];
      if (bytes > kEepromPage || bytes % 4 != 0 || bytes / 4 + 5 != n)
        return reject(kResultBadArguments, "EEPROM byte count");
      if (uint64_t(a) + bytes > kEepromBytes) return reject(kResultBadAddress, "EEPROM beyond end");
      for (uint32_t i = 0; i < bytes; ++i) eeprom[a + i] = uint8_t(req[5 + i / 4] >> (8 * (i % 4)));
      Log("EEPROM write of " + std::to_string(bytes) + " bytes at " + Hex(a));
      if (bProduction && a == kEepromRecordAddress) {
        const uint64_t id = deviceId;
        Log("update finished: unplugging in " + std::to_string(afterUpdateMs) + " ms");
        Schedule(afterUpdateMs, [this, id] {
          std::lock_guard<std::mutex> lock(mu);
          if (bPlugged && deviceId == id) DoUnplug();
        });
        Schedule(afterUpdateMs + replugMs, [this] {
          std::lock_guard<std::mutex> lock(mu);
          if (!bPlugged) {
            ResetMemoryLocked();
            Log("a fresh locator arrives");
            DoPlug();
          }
        });
      }
      return rsp;
    }
    default:
      return reject(kResultUnknownCommand, "command " + std::to_string(cmd));
  }
}

void Locator::Impl::Schedule(uint32_t delayMs, std::function<void()> fn) {
  if (bStopping) return;
  schedule.push_back(Action{Clock::now() + std::chrono::milliseconds(delayMs), ++scheduleSeq, std::move(fn)});
  if (!scheduler.joinable()) scheduler = std::thread([this] { RunScheduler(); });
  cv.notify_all();
}

void Locator::Impl::RunScheduler() {
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
    lock.unlock();
    fn();  // takes the lock itself and queues notes
    lock.lock();
    Deliver(lock);
  }
}

Locator::Locator(const LocatorConfig& config) : m_pImpl(new Impl) {
  m_pImpl->cfg = config;
  m_pImpl->eraseRng = config.timing.eraseSeed;
  if (config.bPlugged) {
    std::unique_lock<std::mutex> lock(m_pImpl->mu);
    m_pImpl->DoPlug();
    m_pImpl->notes.clear();  // no listener yet; SetListener reports the presence
  }
}

Locator::~Locator() {
  {
    std::lock_guard<std::mutex> lock(m_pImpl->mu);
    m_pImpl->bStopping = true;
    m_pImpl->schedule.clear();
    ++m_pImpl->abortGen;
    m_pImpl->cv.notify_all();
  }
  if (m_pImpl->scheduler.joinable()) m_pImpl->scheduler.join();
  if (m_pImpl->traceFile) std::fclose(m_pImpl->traceFile);
  delete m_pImpl;
}

void Locator::SetListener(BusListener listener) {
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  auto& p = *m_pImpl;
  p.listener = std::move(listener);
  // Presence notes queued for the previous listener would mislead the new one.
  std::deque<Note> keep;
  for (auto& n : p.notes)
    if (n.kind == Note::kLog) keep.push_back(std::move(n));
  p.notes = std::move(keep);
  if (p.bPlugged) p.notes.push_back(Note{Note::kPlug, p.deviceId, p.cfg.vendorId, p.cfg.productId, {}});
  m_pImpl->Deliver(lock);
}

void Locator::Plug() {
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  m_pImpl->DoPlug();
  m_pImpl->Deliver(lock);
}

void Locator::Unplug() {
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  m_pImpl->DoUnplug();
  m_pImpl->Deliver(lock);
}

void Locator::PlugAfter(uint32_t delayMs, uint32_t upMs) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  auto* p = m_pImpl;
  // The plug records which presence it made so that the later unplug ends only that one.
  auto madeId = std::make_shared<uint64_t>(0);
  p->Schedule(delayMs, [p, madeId] {
    std::lock_guard<std::mutex> l(p->mu);
    if (!p->bPlugged) {
      p->DoPlug();
      *madeId = p->deviceId;
    }
  });
  if (upMs != 0) {
    p->Schedule(delayMs + upMs, [p, madeId] {
      std::lock_guard<std::mutex> l(p->mu);
      if (p->bPlugged && *madeId != 0 && p->deviceId == *madeId) p->DoUnplug();
    });
  }
}

bool Locator::IsPlugged() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->bPlugged;
}

uint64_t Locator::DeviceId() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->deviceId;
}

uint16_t Locator::ProductId() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->cfg.productId;
}

uint16_t Locator::VendorId() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->cfg.vendorId;
}

void Locator::SetIds(uint16_t vendorId, uint16_t productId) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->cfg.vendorId = vendorId;
  m_pImpl->cfg.productId = productId;
}

BusStatus Locator::Out(uint64_t deviceId, uint8_t pipe, const uint8_t* pData, uint32_t len, uint32_t* pMoved,
                       uint32_t timeoutMs, TimePoint arrival) {
  *pMoved = 0;
  if (arrival == TimePoint{}) arrival = Clock::now();
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  auto& p = *m_pImpl;
  if (const BusStatus refused = p.StartTransfer(deviceId, pipe, kPipeOut, pData, len); refused != BusStatus::kOk)
    return refused;

  const Clock::time_point now = arrival;
  const uint32_t exchangeNo = ++p.outTransfers;
  const uint32_t cmd = len >= 12 ? WordAt(pData + 8) : 0;
  const uint32_t cmdNo = ++p.cmdAttempts[cmd];
  std::vector<Fault> hit;
  for (const Fault& f : p.faults)
    if (p.Matches(f, exchangeNo, cmd, cmdNo)) hit.push_back(f);
  auto has = [&](FaultKind k) -> const Fault* {
    for (const Fault& f : hit)
      if (f.kind == k) return &f;
    return nullptr;
  };
  for (const Fault& f : hit) p.Log("fault " + std::string(FaultKindName(f.kind)) + " strikes exchange " + std::to_string(exchangeNo));

  if (has(FaultKind::kUnplugBefore)) {
    p.DoUnplug();
    m_pImpl->Deliver(lock);
    return BusStatus::kGone;
  }
  if (const Fault* f = has(FaultKind::kShortWrite)) {
    uint32_t moved = std::min(f->value == 0 ? 8u : f->value, len == 0 ? 0u : len - 1);
    *pMoved = moved;
    p.Record(true, pData, moved);
    p.NewRequest(now);
    const uint64_t gen = p.abortGen;
    const auto deadline = now + std::chrono::milliseconds(timeoutMs);
    p.cv.wait_until(lock, deadline, [&] { return !p.bPlugged || p.deviceId != deviceId || p.abortGen != gen; });
    const bool bGone = !p.bPlugged || p.deviceId != deviceId;
    m_pImpl->Deliver(lock);
    return bGone ? BusStatus::kGone : BusStatus::kTimeout;
  }

  *pMoved = len;
  p.Record(true, pData, len);
  ++p.exchanges;
  if (len >= 12) ++p.cmdCounts[cmd];
  p.NewRequest(now);
  // The request is executed as its transfer ends; the response is ready after the work.
  const uint64_t outNs = p.TransferNs(len);
  const Clock::time_point outDone = now + std::chrono::nanoseconds(outNs);
  const bool bRefused = has(FaultKind::kStall) != nullptr || has(FaultKind::kSilence) != nullptr;
  std::optional<std::vector<uint32_t>> rsp;
  if (!bRefused) rsp = p.Execute(pData, len, outDone);
  if (has(FaultKind::kStall)) {
    Pending stall;
    stall.readyAt = outDone;
    stall.bStall = true;
    p.pending = std::move(stall);
    p.cv.notify_all();
  }
  if (rsp && !has(FaultKind::kNoAnswer)) {
    std::vector<uint32_t>& w = *rsp;
    const uint32_t m = uint32_t(w.size());
    const uint32_t workCount = cmd == CMD_WRITE_FLASH && len >= 16 ? WordAt(pData + 12)
                               : cmd == CMD_FLASH_CRC && len >= 20 ? WordAt(pData + 16)
                                                                   : 0;
    const uint64_t workNs = w[1] == 0 ? WorkNs(p.cfg.timing, cmd, workCount) : 0;
    if (const Fault* f = has(FaultKind::kResult)) w[1] = f->value;
    if (const Fault* f = has(FaultKind::kCountTooLarge)) w[0] = f->value == 0 ? 200 : f->value;
    uint32_t count = m;  // words before the checksum as framed
    if (has(FaultKind::kWrongCount)) {
      w[0] = m - 1;
      count = m - 1;
    }
    std::vector<uint32_t> frame(w.begin(), w.begin() + count);
    frame.push_back(Sum(frame, count));
    if (has(FaultKind::kBadChecksum)) frame.back() += 1;
    Pending pend;
    pend.bytes.resize(frame.size() * 4);
    for (size_t i = 0; i < frame.size(); ++i) PutWord(pend.bytes.data() + 4 * i, frame[i]);
    pend.chargedNs = outNs + workNs;
    pend.readyAt = outDone + std::chrono::nanoseconds(workNs);
    if (const Fault* f = has(FaultKind::kDelay))
      pend.readyAt = outDone + std::chrono::milliseconds(f->value == 0 ? 1000 : f->value);
    if (const Fault* f = has(FaultKind::kShortResponse)) pend.shortBytes = f->value == 0 ? 8 : f->value;
    pend.bZero = has(FaultKind::kZeroResponse) != nullptr;
    pend.bUnplugAfter = has(FaultKind::kUnplugAfter) != nullptr;
    pend.bLate = has(FaultKind::kLate) != nullptr;
    pend.bBabble = has(FaultKind::kBabble) != nullptr;
    p.pending = std::move(pend);
    p.cv.notify_all();
  }
  m_pImpl->Deliver(lock);
  p.WaitUntil(lock, outDone);
  return BusStatus::kOk;
}

BusStatus Locator::In(uint64_t deviceId, uint8_t pipe, uint8_t* pBuf, uint32_t len, uint32_t* pMoved,
                      uint32_t timeoutMs, TimePoint arrival) {
  *pMoved = 0;
  if (arrival == TimePoint{}) arrival = Clock::now();
  std::unique_lock<std::mutex> lock(m_pImpl->mu);
  auto& p = *m_pImpl;
  if (const BusStatus refused = p.StartTransfer(deviceId, pipe, kPipeIn, pBuf, len); refused != BusStatus::kOk)
    return refused;

  const uint64_t gen = p.abortGen;
  const auto deadline = arrival + std::chrono::milliseconds(timeoutMs);
  // The bytes of the response that move, and when their transfer ends: once both the host
  // asked for it and the device had it ready, plus their time on the link.
  auto sizeOf = [](const Pending& r) {
    const uint32_t n = uint32_t(r.bytes.size());
    return r.shortBytes != 0 ? std::min(n, r.shortBytes) : n;
  };
  auto endOf = [&](const Pending& r) {
    return std::max(arrival, r.readyAt) + std::chrono::nanoseconds(p.TransferNs(sizeOf(r)));
  };
  // One wait until the transfer's end (or the time-out when no response comes in time);
  // a departure or an abort ends it early.
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
    const Clock::time_point inDone = endOf(*front);
    if (p.Reached(inDone)) break;
    p.WaitAimed(lock, inDone);
  }

  std::optional<Pending>& front = p.Front();
  Pending pend = std::move(*front);
  front.reset();
  const uint32_t size = sizeOf(pend);
  if (pend.bZero) std::fill(pend.bytes.begin(), pend.bytes.end(), uint8_t(0));
  BusStatus status = BusStatus::kOk;
  if (pend.bStall) {
    p.Log("IN transfer answered with a stall");
    p.Record(false, pBuf, 0);
    status = BusStatus::kStall;
  } else if (len < size || pend.bBabble) {
    p.Log("IN transfer of " + std::to_string(len) + " bytes babbles: the response of " + std::to_string(size) +
          " bytes overflows it");
    p.Record(false, pBuf, 0);
    status = BusStatus::kBabble;
  } else {
    if (size != 0) std::memcpy(pBuf, pend.bytes.data(), size);
    *pMoved = size;
    p.Record(false, pBuf, size, pend.chargedNs + p.TransferNs(size));
  }
  if (pend.bUnplugAfter) p.DoUnplug();
  m_pImpl->Deliver(lock);
  return status;
}

BusStatus Locator::SetInterface(uint64_t deviceId, uint32_t iface, uint32_t alt) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  if (!m_pImpl->bPlugged || deviceId != m_pImpl->deviceId) return BusStatus::kGone;
  return iface == 0 && alt == 0 ? BusStatus::kOk : BusStatus::kError;
}

void Locator::AbortWaits() {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  ++m_pImpl->abortGen;
  m_pImpl->cv.notify_all();
}

void Locator::AddFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->faults.push_back(fault);
}

void Locator::ClearFaults() {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->faults.clear();
}

void Locator::SetProductionLine(bool bOn, uint32_t afterUpdateMs, uint32_t replugMs) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->bProduction = bOn;
  m_pImpl->afterUpdateMs = afterUpdateMs;
  m_pImpl->replugMs = replugMs;
}

void Locator::ResetMemory() {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->ResetMemoryLocked();
}

uint16_t Locator::FlashUnit(uint32_t unitAddress) const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return unitAddress < kFlashUnits ? m_pImpl->flash[unitAddress] : uint16_t(0xFFFF);
}

std::vector<uint16_t> Locator::FlashUnits(uint32_t unitAddress, uint32_t count) const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  std::vector<uint16_t> out;
  for (uint64_t a = unitAddress; a < uint64_t(unitAddress) + count && a < kFlashUnits; ++a)
    out.push_back(m_pImpl->flash[a]);
  return out;
}

std::vector<uint8_t> Locator::FlashBytes(uint32_t unitAddress, uint32_t byteCount) const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  std::vector<uint8_t> out;
  for (uint64_t i = 0; i < byteCount; ++i) {
    const uint64_t a = unitAddress + i / 2;
    if (a >= kFlashUnits) break;
    out.push_back(uint8_t(m_pImpl->flash[a] >> (8 * (i % 2))));
  }
  return out;
}

void Locator::LoadFlash(uint32_t unitAddress, const std::vector<uint8_t>& bytes) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  for (size_t i = 0; i < bytes.size(); ++i) {
    const uint64_t a = unitAddress + i / 2;
    if (a >= kFlashUnits) break;
    m_pImpl->unitDirty[a] = true;
    uint16_t& u = m_pImpl->flash[a];
    u = i % 2 == 0 ? uint16_t((u & 0xFF00) | bytes[i]) : uint16_t((u & 0x00FF) | bytes[i] << 8);
  }
}

std::vector<uint8_t> Locator::EepromBytes(uint32_t address, uint32_t count) const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  std::vector<uint8_t> out;
  for (uint64_t a = address; a < uint64_t(address) + count && a < kEepromBytes; ++a) out.push_back(m_pImpl->eeprom[a]);
  return out;
}

uint32_t Locator::FlashCrc(uint32_t unitAddress, uint32_t unitCount) const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  uint32_t crc = 0xFFFF;
  for (uint64_t a = unitAddress; a < uint64_t(unitAddress) + unitCount && a < kFlashUnits; ++a)
    crc = LoaderCrcStep(crc, uint8_t(m_pImpl->flash[a]));
  return crc;
}

std::vector<TraceEntry> Locator::Trace() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return std::vector<TraceEntry>(m_pImpl->trace.begin(), m_pImpl->trace.end());
}

void Locator::ClearTrace() {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->trace.clear();
}

bool Locator::SetTraceFile(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (!f) return false;
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  if (m_pImpl->traceFile) std::fclose(m_pImpl->traceFile);
  m_pImpl->traceFile = f;
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

bool Locator::DumpFlash(const std::string& path) const {
  return WriteFile(path, FlashBytes(0, kFlashUnits * 2));
}

bool Locator::DumpEeprom(const std::string& path) const {
  return WriteFile(path, EepromBytes(0, kEepromBytes));
}

uint32_t Locator::ExchangeCount() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->exchanges;
}

uint32_t Locator::FaultExchangeCount() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->outTransfers;
}

uint32_t Locator::UnerasedWrites() const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  return m_pImpl->unerasedWrites;
}

uint32_t Locator::CommandCount(uint32_t command) const {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  auto it = m_pImpl->cmdCounts.find(command);
  return it == m_pImpl->cmdCounts.end() ? 0 : it->second;
}

void Locator::SetEventLog(std::function<void(const std::string&)> log) {
  std::lock_guard<std::mutex> lock(m_pImpl->mu);
  m_pImpl->eventLog = std::move(log);
}

LinkGeometry LinkGeometryOf(LinkSpeed link) {
  switch (link) {
    case LinkSpeed::kFull: return {1'000'000, 64, 19};
    case LinkSpeed::kHigh: return {125'000, 512, 13};
    case LinkSpeed::kNone: break;
  }
  return {0, 512, 1};
}

uint64_t LinkTransferNs(LinkSpeed link, uint32_t bytes) {
  const LinkGeometry g = LinkGeometryOf(link);
  const uint64_t packets = std::max<uint64_t>(1, (uint64_t(bytes) + g.packetBytes - 1) / g.packetBytes);
  const uint64_t frames = (packets + g.perFrame - 1) / g.perFrame;
  return frames * g.frameNs;
}

const char* LinkName(LinkSpeed link) {
  switch (link) {
    case LinkSpeed::kFull: return "fs";
    case LinkSpeed::kHigh: return "hs";
    case LinkSpeed::kNone: break;
  }
  return "none";
}

std::optional<LinkSpeed> ParseLink(const std::string& text) {
  for (LinkSpeed l : {LinkSpeed::kNone, LinkSpeed::kFull, LinkSpeed::kHigh})
    if (text == LinkName(l)) return l;
  return std::nullopt;
}

uint64_t WorkNs(const TimingModel& model, uint32_t command, uint32_t count) {
  if (command == CMD_WRITE_FLASH) return uint64_t(model.pageProgramUs) * 1000 * count / 64;
  if (command == CMD_FLASH_CRC) return uint64_t(model.crcNsPerUnit) * count;
  return 0;
}

uint32_t DrawEraseMs(uint32_t typicalMs, uint64_t* pState) {
  // splitmix64: the same sequence on every platform and library.
  uint64_t z = (*pState += 0x9E3779B97F4A7C15ull);
  z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
  z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
  z ^= z >> 31;
  const uint64_t low = typicalMs / 2, high = uint64_t(typicalMs) * 2;
  return uint32_t(low + z % (high - low + 1));
}

TraceFloor FloorOfTrace(const std::vector<TraceEntry>& trace) {
  TraceFloor floor;
  for (const TraceEntry& e : trace) {
    if (e.bOut) {
      ++floor.exchanges;
      if (e.words.size() > 2 && e.words[2] == CMD_ERASE_STATUS) ++floor.statusRequests;
    } else {
      floor.exchangeNs += e.chargedNs;
    }
  }
  return floor;
}

std::optional<TraceEntry> ParseTraceLine(const std::string& line) {
  TraceEntry e{false, {}, 0, 0};
  const char* p = line.c_str();
  if (line.rfind("OUT ", 0) == 0) {
    e.bOut = true;
    p += 4;
  } else if (line.rfind("IN ", 0) == 0) {
    p += 3;
  } else {
    return std::nullopt;
  }
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

uint32_t LoaderCrcStep(uint32_t crc, uint8_t data) {
  for (int bit = 7; bit >= 0; --bit) {
    const uint32_t d = (data >> bit) & 1u;
    if (((crc >> 15) & 1u) != d)
      crc = (crc << 1) ^ 0x1021u;
    else
      crc <<= 1;
  }
  return crc;
}

std::array<uint8_t, 18> DeviceDescriptorBytes(uint16_t vendorId, uint16_t productId) {
  return {18,   1,    0x00, 0x02,  // bLength, bDescriptorType, bcdUSB 2.00
          0xFF, 0x00, 0x00, 64,    // vendor-specific class, EP0 packet size
          uint8_t(vendorId), uint8_t(vendorId >> 8), uint8_t(productId), uint8_t(productId >> 8),
          0x00, 0x01,  // bcdDevice 1.00
          1,    2,    0,    1};  // strings, one configuration
}

}  // namespace vxsim
