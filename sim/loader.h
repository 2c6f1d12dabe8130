// The locator's loader: its commands over the emulated flash and EEPROM. Pure code: no
// threads, clocks or locks; the locator around it says when a running erase's time is up.
//
// Flash is NOR addressed in 16-bit units: an erased unit reads 0xFFFF and programming can
// only clear bits. Boot sectors of 0x1000 units lie below 0x8000, sectors of 0x8000 units
// from 0x8000 up to kFlashUnits. The EEPROM holds 256 KB, initially 0xFF.
//
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
//
// Commands:
//  404 CMD_ERASE_SECTOR (n 4, m 3): answers 1 and starts erasing the sector at word 3.
//      A sector address is 0x0000, 0x1000, ... 0x7000 (boot sectors of 0x1000 units) or
//      0x8000, 0x10000, ... below kFlashUnits (0x8000 units). Another address:
//      kResultBadAddress; while another erase runs: kResultBusy. While erasing, the sector
//      reads 0x0000 (its contents are undefined); it reads 0xFFFF once the erase finished.
//      An unplug abandons a running erase (the sector stays undefined).
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
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vxsim {

constexpr uint32_t kFlashUnits = 0x40000;   // 512 KB of 16-bit units
constexpr uint32_t kEepromBytes = 0x40000;  // 256 KB

constexpr uint32_t kCmdEraseSector = 404;
constexpr uint32_t kCmdEraseStatus = 405;
constexpr uint32_t kCmdReadFlashCfi = 408;
constexpr uint32_t kCmdReadFlash = 409;
constexpr uint32_t kCmdWriteFlash = 412;
constexpr uint32_t kCmdFlashCrc = 413;
constexpr uint32_t kCmdWriteEeprom = 901;

// Result words the loader answers besides 0 and the erase's 1.
constexpr uint32_t kResultBadLength = 0x80000001;      // n out of range, or byte count != (n+1)*4
constexpr uint32_t kResultBadChecksum = 0x80000002;    // request checksum wrong
constexpr uint32_t kResultUnknownCommand = 0x80000003;
constexpr uint32_t kResultBadArguments = 0x80000004;   // n or m not what the command needs
constexpr uint32_t kResultBadAddress = 0x80000005;     // not a sector, or beyond flash/EEPROM
constexpr uint32_t kResultBusy = 0x80000006;           // an erase is running

// The frame codec: bytes as little-endian words (a trailing partial word zero-padded), and
// the checksum of the first `count` words.
std::vector<uint32_t> BytesToWords(const uint8_t* p, uint32_t len);
uint32_t Sum(const std::vector<uint32_t>& words, size_t count);
std::string Hex(uint32_t v);  // "0x1F"

// The loader's CRC step: 0x1021, MSB first, over bits 0-7 of data, never reduced to 16 bits.
uint32_t LoaderCrcStep(uint32_t crc, uint8_t data);

// What one request did, besides its response, that the locator around the loader acts on.
struct Answer {
  std::optional<std::vector<uint32_t>> words;  // the m response words before the checksum; none: dropped
  uint32_t eraseSector = 0, eraseUnits = 0;  // the erase of this sector (of so many units) started
  uint32_t work = 0;         // words programmed by a flash write, units of a flash CRC
  bool bRecord = false;      // the EEPROM write at 0x1000, the closing record of an update
};

class Loader {
 public:
  using Log = std::function<void(std::string)>;
  explicit Loader(Log log) : m_log(std::move(log)) {}

  // Executes one whole request. bEraseDue: the running erase's time is up (it finishes
  // before a well-formed request is carried out).
  Answer Execute(const uint8_t* pData, uint32_t len, bool bEraseDue);
  // The device goes away: a write run's summary is logged, a running erase abandoned.
  void Depart();
  // Flash and EEPROM as on a new locator, no erase running.
  void Reset();
  bool Erasing() const { return m_bErasing; }

  const std::vector<uint16_t>& Flash() const { return m_flash; }
  const std::vector<uint8_t>& Eeprom() const { return m_eeprom; }
  void LoadFlash(uint32_t unitAddress, const std::vector<uint8_t>& bytes);  // raw, no NOR rule
  uint32_t FlashCrc(uint32_t unitAddress, uint32_t unitCount) const;
  uint32_t UnerasedWrites() const { return m_unerasedWrites; }

 private:
  using Words = std::vector<uint32_t>;
  struct Refusal { uint32_t code = 0; std::string why; };  // code 0: carried out
  void FinishErase();
  void NoteWrite(uint32_t base, uint32_t offset, uint32_t words);
  void EndRun();

  Log m_log;
  std::vector<uint16_t> m_flash = std::vector<uint16_t>(kFlashUnits, 0xFFFF);
  std::vector<uint8_t> m_eeprom = std::vector<uint8_t>(kEepromBytes, 0xFF);
  // Units programmed (or left undefined) since their sector's last finished erase.
  std::vector<bool> m_dirty = std::vector<bool>(kFlashUnits, false);
  uint32_t m_unerasedWrites = 0;
  bool m_bErasing = false;
  uint32_t m_eraseSector = 0, m_eraseUnits = 0;
  // The run of equal consecutive flash writes the event log sums up in one line.
  bool m_bRun = false;
  uint32_t m_runBase = 0, m_runFirst = 0, m_runLast = 0, m_runWords = 0, m_runCount = 0;
};

}  // namespace vxsim
