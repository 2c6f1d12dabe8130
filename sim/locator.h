// The simulated locator: the device's side of the wire, around its loader (sim/loader.h),
// fault plans (sim/fault.h) and timing model (sim/timing.h). Includes nothing of the host's
// code; it has its own frame codec and CRC. It owns presence (plug events, the schedule of
// timed plugs) and the bulk transfers, which wait out the modelled times.
//
// Late answers. A response is in the IN endpoint once it is ready. One that no IN took
// before the next request arrived stays there, ahead of the next request's, and the next
// IN gets it (as a device's endpoint keeps a packet that came after the host's time-out);
// the endpoint holds one such response, and a response still being worked on when the
// next request arrives is abandoned. With LocatorConfig::bKeepLateAnswers false a new
// request discards every response not yet fetched. An IN transfer shorter than the
// response fails with kBabble (the packet overflows the host's buffer) and the response is
// lost; a longer one moves the response's bytes only.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "sim/fault.h"
#include "sim/loader.h"
#include "sim/timing.h"

namespace vxsim {

constexpr uint16_t kDefaultVendorId = 0x3A7C;  // the maker's vendor id as the loader reports it
constexpr uint8_t kPipeOut = 0x02;
constexpr uint8_t kPipeIn = 0x82;

// Outcome of one bus transfer as the device side sees it.
enum class BusStatus : uint32_t {
  kOk = 0,
  kTimeout = 1,  // nothing (or not everything) moved within the time-out
  kGone = 2,     // the device is not (or no longer) plugged in
  kError = 3,    // a transfer the device cannot take (wrong pipe, no buffer)
  kStall = 4,    // the endpoint answered with a stall (the socket protocol sends it as 3)
  kBabble = 5,   // the device sent more than the host's buffer holds (sent as 3 too)
};

struct TraceEntry {
  bool bOut;                    // host to device
  std::vector<uint32_t> words;  // the frame's words as moved (a partial word zero-padded)
  uint32_t bytes;               // bytes moved
  uint64_t chargedNs = 0;       // IN of a timed locator: the modelled time of its exchange
};

// The least time a host can take for the exchanges of a trace: the modelled time charged to
// every exchange and the host's own 100 ms pause before every erase status request.
struct TraceFloor {
  uint32_t exchanges = 0;
  uint32_t statusRequests = 0;
  uint64_t exchangeNs = 0;
  uint64_t TotalNs() const { return exchangeNs + uint64_t(statusRequests) * kStatusPauseNs; }
  static constexpr uint64_t kStatusPauseNs = 100'000'000;
};
TraceFloor FloorOfTrace(const std::vector<TraceEntry>& trace);
// One line of a trace file back into its entry; nothing for a line that is not one.
std::optional<TraceEntry> ParseTraceLine(const std::string& line);

struct LocatorConfig {
  uint16_t vendorId = kDefaultVendorId;
  uint16_t productId = 9;        // 9: the locator's loader; 1: the Dorrin C6748 device
  TimingModel timing;
  bool bPlugged = false;         // plugged in at construction
  bool bKeepLateAnswers = true;  // a response no IN took stays for the next IN (see above)
};

// The 18-byte USB device descriptor the locator reports (little-endian fields).
std::array<uint8_t, 18> DeviceDescriptorBytes(uint16_t vendorId, uint16_t productId);
// The manufacturer and product strings it reports.
constexpr const char* kManufacturer = "Quenby Ltd";
inline std::string ProductName(uint16_t productId) {
  return productId == 1 ? "Dorrin C6748 (simulated)" : "Kessan USB Loader (simulated)";
}

// Receives plug events. Called without any lock of the locator held, on the thread that
// caused the event (a test's, the schedule's, or a transfer's for kUnplug* faults).
struct BusListener {
  std::function<void(uint64_t deviceId, uint16_t vendorId, uint16_t productId)> onPlug;
  std::function<void(uint64_t deviceId)> onUnplug;
};

// A listener that reports plug events to pTarget's OnPlug(id) and OnUnplug(id) for as long
// as it lives; while a report is delivered it keeps the target alive.
template <class T>
BusListener ListenerFor(const std::shared_ptr<T>& pTarget) {
  std::weak_ptr<T> weak = pTarget;
  return BusListener{[weak](uint64_t id, uint16_t, uint16_t) {
                       if (auto p = weak.lock()) p->OnPlug(id);
                     },
                     [weak](uint64_t id) {
                       if (auto p = weak.lock()) p->OnUnplug(id);
                     }};
}

class Locator {
 public:
  explicit Locator(const LocatorConfig& config = {});
  ~Locator();
  Locator(const Locator&) = delete;
  Locator& operator=(const Locator&) = delete;

  // ---- Bus side ----
  // Sets the listener; when a device is plugged in, onPlug is called for it at once.
  void SetListener(BusListener listener);
  // Plugs in (a new device id each time) or unplugs; no-op when already in that state.
  void Plug();
  void Unplug();
  // Plugs in after delayMs, unplugs after a further upMs (0: stays); runs on its own thread.
  void PlugAfter(uint32_t delayMs, uint32_t upMs = 0);
  bool IsPlugged() const;
  uint64_t DeviceId() const;  // of the current presence; 0 when unplugged
  uint16_t ProductId() const;
  uint16_t VendorId() const;
  // The ids the next presence reports (a device of another product or vendor).
  void SetIds(uint16_t vendorId, uint16_t productId);

  // One bulk transfer. A transfer for a device id that is not the current one returns kGone.
  // Out executes the request once the whole frame arrived; In delivers the pending response
  // (waiting for it up to timeoutMs, then kTimeout). *pMoved is always set.
  // `arrival` is when the request reached the bus (default: now); the modelled times count
  // from it.
  using TimePoint = std::chrono::steady_clock::time_point;
  BusStatus Out(uint64_t deviceId, uint8_t pipe, const uint8_t* pData, uint32_t len, uint32_t* pMoved,
                uint32_t timeoutMs, TimePoint arrival = {});
  BusStatus In(uint64_t deviceId, uint8_t pipe, uint8_t* pBuf, uint32_t len, uint32_t* pMoved,
               uint32_t timeoutMs, TimePoint arrival = {});
  BusStatus SetInterface(uint64_t deviceId, uint32_t iface, uint32_t alt);
  // Ends every transfer that is waiting (for a response or its time-out) now, with
  // kTimeout; used when the host side goes away. Later transfers are not affected.
  void AbortWaits();

  // ---- Test and program side ----
  void AddFault(const Fault& fault);
  void ClearFaults();
  // "Production line": after the EEPROM write at 0x1000 (the closing record of an update),
  // unplug afterUpdateMs later and plug in a fresh locator replugMs after that.
  void SetProductionLine(bool bOn, uint32_t afterUpdateMs = 500, uint32_t replugMs = 3000);
  // Resets flash and EEPROM to the erased state of a new locator (used on fresh plug-ins
  // in production-line mode, and by tests).
  void ResetMemory();

  uint16_t FlashUnit(uint32_t unitAddress) const;
  std::vector<uint16_t> FlashUnits(uint32_t unitAddress, uint32_t count) const;
  // Flash bytes little-endian from a unit address (two bytes per unit).
  std::vector<uint8_t> FlashBytes(uint32_t unitAddress, uint32_t byteCount) const;
  void LoadFlash(uint32_t unitAddress, const std::vector<uint8_t>& bytes);  // raw, no NOR rule
  std::vector<uint8_t> EepromBytes(uint32_t address, uint32_t count) const;

  // The device's own CRC over flash (what CMD_FLASH_CRC answers).
  uint32_t FlashCrc(uint32_t unitAddress, uint32_t unitCount) const;

  // The transfers so far, oldest first (memory keeps the last 500000; the file keeps all).
  std::vector<TraceEntry> Trace() const;
  void ClearTrace();
  // Writes one line per transfer: "OUT <bytes>: <word> <word> ..." in hex, or "IN ...";
  // a timed locator ends each IN line with " ; <charged> ns".
  bool SetTraceFile(const std::string& path);
  bool DumpFlash(const std::string& path) const;   // raw image of the whole flash
  bool DumpEeprom(const std::string& path) const;  // raw image of the EEPROM

  uint32_t ExchangeCount() const;                 // requests received whole
  uint32_t FaultExchangeCount() const;            // exchanges as Fault::exchange numbers them
  uint32_t CommandCount(uint32_t command) const;  // requests of one command code
  // Flash writes that programmed a unit not erased since it was last programmed (or loaded,
  // or left undefined by an erase that did not finish): writes over unerased flash.
  uint32_t UnerasedWrites() const;
  // Event log lines the program prints ("plugged in", "erase 0x8000", ...), taken in order.
  void SetEventLog(std::function<void(const std::string&)> log);

 private:
  struct Impl;
  Impl* m_pImpl;
};

}  // namespace vxsim
