// The simulated locator loader: the device's side of the wire. Includes nothing of the
// host's code; it has its own frame codec and CRC.
//
// Flash is NOR addressed in 16-bit units: an erased unit reads 0xFFFF and programming can
// only clear bits. Boot sectors of 0x1000 units lie below 0x8000, sectors of 0x8000 units
// from 0x8000 up to kFlashUnits. The EEPROM holds 256 KB, initially 0xFF.
//
// ---- The loader's behaviour ----
// Frames. A request is one OUT transfer of (n + 1) * 4 bytes: word 0 = n (3..127), word 1 =
// m (3..127), word 2 = command, arguments, then the checksum (sum of words 0..n-1 mod 2^32).
// The response is fetched by one IN transfer and has m words before its checksum: word 0 =
// m, word 1 = the result word, word 2 = 0, data from word 3, then the checksum.
//
// Malformed requests, checked in this order:
//  - fewer than 8 bytes, or m below 3 or above 127: the request is dropped and no response
//    is ever built (the IN transfer times out);
//  - n below 3 or above 127, or a byte count other than (n + 1) * 4 (including a byte count
//    that is not a multiple of 4 or above 512): result kResultBadLength;
//  - checksum word differs from the sum: kResultBadChecksum;
//  - unknown command code: kResultUnknownCommand;
//  - n or m not what the command needs (for CMD_READ_FLASH m must be N + 3, for
//    CMD_WRITE_FLASH n must be N + 6, for CMD_WRITE_EEPROM n must be B/4 + 5 with B a
//    multiple of 4 of at most 256): kResultBadArguments.
// Each of these still answers with m words (data words zero) and executes nothing.
// Late answers. A response is in the IN endpoint once it is ready. One that no IN took
// before the next request arrived stays there, ahead of the next request's, and the next
// IN gets it (as a device's endpoint keeps a packet that came after the host's time-out);
// the endpoint holds one such response, and a response still being worked on when the
// next request arrives is abandoned. With LocatorConfig::bKeepLateAnswers false a new
// request discards every response not yet fetched. An IN transfer shorter than the
// response fails with kBabble (the packet overflows the host's buffer) and the response is
// lost; a longer one moves the response's bytes only.
//
// Commands:
//  404 CMD_ERASE_SECTOR (n 4, m 3): answers 1 and starts erasing the sector at word 3.
//      A sector address is 0x0000, 0x1000, ... 0x7000 (boot sectors of 0x1000 units) or
//      0x8000, 0x10000, ... below kFlashUnits (0x8000 units). Another address:
//      kResultBadAddress; while another erase runs: kResultBusy. While erasing, the sector
//      reads 0x0000 (its contents are undefined); it reads 0xFFFF once the erase finished.
//      An erase takes LocatorConfig's time for its sector size; with 0 it is finished by
//      the next request. An unplug abandons a running erase (the sector stays undefined).
//  405 CMD_ERASE_STATUS (n 3, m 3): result 0 while an erase runs, 1 when it has finished
//      or none was started.
//  408 CMD_READ_FLASH_CFI (n 3, m 7): result 0, words 3..6 = 'Q', 'R', 'Y', 0x0002 (the
//      query string and the primary command set of the flash).
//  409 CMD_READ_FLASH (n 5, m N + 3): N words from unit address A: word i =
//      unit[A + 2i] | unit[A + 2i + 1] << 16. Beyond the flash: kResultBadAddress.
//  412 CMD_WRITE_FLASH (n N + 6, m 3): programs N words from unit base + offset, each word
//      two units, low half first; NOR rule: new = old AND data. While an erase runs:
//      kResultBusy; beyond the flash: kResultBadAddress; nothing is written then.
//  413 CMD_FLASH_CRC (n 5, m 4): word 3 = LoaderCrcStep from 0xFFFF over the low byte of
//      each unit of [start, start + length). Beyond the flash: kResultBadAddress.
//  901 CMD_WRITE_EEPROM (n B/4 + 5, m 3): B bytes at the byte address, data words
//      little-endian, the first at the lowest address. The loader splits a write that
//      crosses a 256-byte page into one program per page, so the bytes land contiguously
//      at the address given. Beyond 0x3FFFF: kResultBadAddress, nothing is written.
//
// Timing (TimingModel): every modelled time is a deadline counted from the request's
// arrival, so that the simulator's own work is hidden inside it rather than added to it. An
// OUT transfer ends LinkTransferNs after it arrived; the loader then executes the request and
// works on it (programming, CRC) for WorkNs; an IN transfer ends LinkTransferNs after the
// later of its own arrival and the response being ready. An exchange is charged the sum of
// the three (TraceEntry::chargedNs): what it costs a host that asks for the response at once.
// An erase runs in the background for its sector's time from the end of its OUT transfer.
//
// Faults: a request that matches a fault (see Fault) gets the fault's effect. Exchanges are
// numbered by OUT transfers that reach a plugged-in device. All faults that match one
// exchange apply together. kNoAnswer executes the request but drops its response; kDelay
// with a delay beyond the IN transfer's time-out times that transfer out and the response
// stays pending for a later one. kShortWrite, kNoAnswer and kSilence hold their transfer for
// its whole time-out (or until the device is unplugged, or AbortWaits).
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace vxsim {

constexpr uint32_t kFlashUnits = 0x40000;      // 512 KB of 16-bit units
constexpr uint32_t kEepromBytes = 0x40000;     // 256 KB
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

enum class FaultKind : uint32_t {
  kNoAnswer,       // the request is consumed, no response is ever sent
  kBadChecksum,    // the response's checksum word is off by one
  kWrongCount,     // response word 0 is m - 1 (checksum recomputed to match)
  kCountTooLarge,  // response word 0 is `value` (default 200), checksum recomputed
  kResult,         // the response's result word is `value` (checksum recomputed)
  kShortResponse,  // only `value` bytes of the response are delivered (default 8)
  kZeroResponse,   // the IN transfer succeeds with every response byte zero
  kShortWrite,     // the OUT transfer moves `value` bytes then times out; nothing is executed
  kUnplugBefore,   // the device is unplugged as the request arrives; OUT fails, nothing runs
  kUnplugAfter,    // the device answers, then is unplugged right after the IN transfer
  kDelay,          // the response is ready only `value` ms after the request
  kLate,           // the response comes just after its IN transfer timed out (or was cancelled)
  kStall,          // nothing is executed; the IN transfer is answered with a stall
  kBabble,         // the request is executed; its IN transfer ends in babble, the response lost
  kSilence,        // nothing is executed and nothing answered: the IN transfer waits for ever
};

// One fault: where it strikes and what it does. Exchanges are counted from 1, per
// simulator, across plugs; a command's requests are counted from 1 per command code.
struct Fault {
  FaultKind kind = FaultKind::kNoAnswer;
  uint32_t value = 0;       // kind's parameter (see FaultKind); 0 = the kind's default
  uint32_t exchange = 0;    // strike at this exchange (0: not by exchange)
  uint32_t command = 0;     // strike at the nth request of this command code (0: any)
  uint32_t nth = 1;         // with `command`: which request of that command
  uint32_t times = 1;       // how many consecutive matching exchanges it strikes
};

// Matching: with `exchange` set, exchanges exchange .. exchange + times - 1 (and, when
// `command` is set too, only those carrying that command); else with `command` set, that
// command's requests nth .. nth + times - 1; else exchanges nth .. nth + times - 1.
// times = 0 strikes every matching exchange from the first on.
//
// Defaults for value 0: kCountTooLarge 200, kShortResponse 8 bytes, kShortWrite 8 bytes
// (never the whole frame: at most its length - 1), kDelay 1000 ms. kResult uses value as is.

// Parses one fault in the text form the simulator program takes, e.g.
//   "noanswer@x=3", "result=55@cmd=412#6", "result=0@cmd=405#1*66", "delay=500@x=2"
// Grammar (no spaces; numbers decimal or 0x-hex, 32 bits):
//   fault := kind ["=" value] "@" where ["*" times]
//   where := "x=" exchange | "cmd=" command ["#" nth] | "x=" exchange ",cmd=" command
//   kind  := "noanswer" | "badchecksum" | "wrongcount" | "counttoolarge" | "result" |
//            "shortresponse" | "zeroresponse" | "shortwrite" | "unplugbefore" |
//            "unplugafter" | "delay" | "late" | "stall" | "babble" | "silence"
// "result" needs a value; "counttoolarge", "shortresponse", "shortwrite" and "delay" take
// an optional one; the others take none. exchange, command and nth must not be 0.
// Returns nothing and sets *pError when the text is not a fault.
std::optional<Fault> ParseFault(const std::string& text, std::string* pError = nullptr);
// The kind's name in that text form ("noanswer", ...).
const char* FaultKindName(FaultKind kind);

struct TraceEntry {
  bool bOut;                    // host to device
  std::vector<uint32_t> words;  // the frame's words as moved (a partial word zero-padded)
  uint32_t bytes;               // bytes moved
  uint64_t chargedNs = 0;       // IN of a timed locator: the modelled time of its exchange
};

// The USB 2.0 link of the bulk pipes. A transfer of B bytes is max(1, ceil(B / packet))
// packets; they move at most `perFrame` to a (micro)frame, and the transfer completes at the
// end of its last frame: full speed 1 ms frames, 64-byte packets, 19 a frame; high speed
// 125 us microframes, 512-byte packets, 13 a microframe. kNone moves data in no time.
enum class LinkSpeed : uint32_t { kNone, kFull, kHigh };

struct LinkGeometry {
  uint32_t frameNs;
  uint32_t packetBytes;
  uint32_t perFrame;
};
LinkGeometry LinkGeometryOf(LinkSpeed link);
uint64_t LinkTransferNs(LinkSpeed link, uint32_t bytes);
const char* LinkName(LinkSpeed link);  // "none", "fs", "hs"
std::optional<LinkSpeed> ParseLink(const std::string& text);

struct TimingModel {
  LinkSpeed link = LinkSpeed::kNone;
  uint32_t pageProgramUs = 0;  // programming one 256-byte page (64 words); N words take N/64 of it
  uint32_t crcNsPerUnit = 0;   // the loader's CRC over one 16-bit unit of flash
  uint32_t eraseSeed = 0;      // 0: erases take their typical time; else drawn (see DrawEraseMs)
  bool Timed() const { return link != LinkSpeed::kNone || pageProgramUs != 0 || crcNsPerUnit != 0; }
};

// The device's work on one request before its response is ready: the page programming of
// CMD_WRITE_FLASH (its word count), the CRC of CMD_FLASH_CRC (its unit count), 0 otherwise.
uint64_t WorkNs(const TimingModel& model, uint32_t command, uint32_t count);
// An erase time drawn from [typical / 2, typical * 2] by a generator of the given state,
// which it advances (a NOR flash's erase time varies around its typical value).
uint32_t DrawEraseMs(uint32_t typicalMs, uint64_t* pState);

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
  uint16_t productId = 9;        // 9: the locator's loader; 1: the DSP board
  uint32_t smallEraseMs = 0;     // erase time of a 0x1000-unit boot sector
  uint32_t largeEraseMs = 0;     // erase time of a 0x8000-unit sector
  uint32_t latencyUs = 0;        // added to every transfer's link time
  TimingModel timing;
  bool bPlugged = false;         // plugged in at construction
  bool bKeepLateAnswers = true;  // a response no IN took stays for the next IN (see above)
};

// Result words the loader answers besides 0 and the erase's 1.
constexpr uint32_t kResultBadLength = 0x80000001;      // n out of range, or byte count != (n+1)*4
constexpr uint32_t kResultBadChecksum = 0x80000002;    // request checksum wrong
constexpr uint32_t kResultUnknownCommand = 0x80000003;
constexpr uint32_t kResultBadArguments = 0x80000004;   // n or m not what the command needs
constexpr uint32_t kResultBadAddress = 0x80000005;     // not a sector, or beyond flash/EEPROM
constexpr uint32_t kResultBusy = 0x80000006;           // an erase is running

// The 18-byte USB device descriptor the locator reports (little-endian fields).
std::array<uint8_t, 18> DeviceDescriptorBytes(uint16_t vendorId, uint16_t productId);

// Sensible times of a parallel NOR flash and the loader's CPU, for demos and the simulator
// program: sector erases, a page programmed word by word (128 units at about 9 us), and a
// bitwise CRC reading flash over the external memory bus.
constexpr uint32_t kTypicalSmallEraseMs = 250;
constexpr uint32_t kTypicalLargeEraseMs = 700;
constexpr uint32_t kTypicalPageProgramUs = 1150;
constexpr uint32_t kTypicalCrcNsPerUnit = 150;

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

// The loader's CRC step: 0x1021, MSB first, over bits 0-7 of data, never reduced to 16 bits.
uint32_t LoaderCrcStep(uint32_t crc, uint8_t data);

}  // namespace vxsim
