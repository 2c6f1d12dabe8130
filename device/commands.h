// The locator loader's command codes, request word counts and EEPROM records. Constants and
// record layouts only: the connection poll in usb/ includes this header.
#pragma once

#include <cstdint>

constexpr uint32_t CMD_ERASE_SECTOR = 404;
constexpr uint32_t CMD_ERASE_STATUS = 405;
constexpr uint32_t CMD_READ_FLASH_CFI = 408;
constexpr uint32_t CMD_READ_FLASH = 409;
constexpr uint32_t CMD_WRITE_FLASH = 412;
constexpr uint32_t CMD_FLASH_CRC = 413;
constexpr uint32_t CMD_WRITE_EEPROM = 901;

// Request word counts (n, before the checksum) and response word counts (m).
constexpr uint32_t kEraseSectorWords = 4, kEraseSectorReplyWords = 3;
constexpr uint32_t kEraseStatusWords = 3, kEraseStatusReplyWords = 3;
constexpr uint32_t kReadCfiWords = 3, kReadCfiReplyWords = 7;
constexpr uint32_t kReadFlashWords = 5;            // reply: N + 3
constexpr uint32_t kWriteFlashHeaderWords = 6;     // request: N + 6; reply: 3
constexpr uint32_t kFlashCrcWords = 5, kFlashCrcReplyWords = 4;
constexpr uint32_t kWriteEepromHeaderWords = 5;    // request: B/4 + 5; reply: 3
constexpr uint32_t kPlainReplyWords = 3;

// Results the callers expect.
constexpr int32_t kEraseAccepted = 1;
constexpr int32_t kEraseRunning = 0;

// Flash addresses (the loader's own address numbers) and units.
constexpr uint32_t kInfoSector = 0x3000;
constexpr uint32_t kImageBase = 0x8000;
constexpr uint32_t kImageSectors[4] = {0x8000, 0x10000, 0x18000, 0x20000};
constexpr uint32_t kPageBytes = 256;
constexpr uint32_t kPageWords = 64;
constexpr uint32_t kPageUnits = 128;  // 16-bit units per page
constexpr uint32_t kSectorUnits = 0x8000;  // 16-bit units of each image sector
// The four image sectors hold 0x20000 units: 1024 pages, 256 KB.
constexpr uint32_t kImageAreaBytes = 4 * kSectorUnits * 2;

// EEPROM.
constexpr uint32_t kEepromLastAddress = 0x3FFFF;  // 256 KB
constexpr uint32_t kEepromPageBytes = 256;

// OverallVersionRecord: 1, overall version, 0 at EEPROM 0x1000.
constexpr uint32_t kOverallVersionAddress = 0x1000;
struct OverallVersionRecord {
  uint32_t u32One;
  uint32_t u32OverallVersion;
  uint32_t u32Zero;
};

// ImageVersionRecord: ver, CRC (the image header's), Length 0, Status 4.
constexpr uint32_t kImageRecordStatus = 4;
struct ImageVersionRecord {
  uint32_t u32Version;
  uint32_t u32Crc;
  uint32_t u32Length;
  uint32_t u32Status;
};

static_assert(sizeof(OverallVersionRecord) == 12);
static_assert(sizeof(ImageVersionRecord) == 16);
