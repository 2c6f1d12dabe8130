// Operations on the locator built from the loader's commands: flash sector erase, the
// firmware info block, and the image download with its CRC.
#pragma once

#include <cstdint>

#include "device/commands.h"

// Erases one sector and polls until the loader reports it finished. Returns 0 for failure
// (erase refused, still running after the last status request, or a link failure) and the
// status result that ended the poll otherwise.
int32_t EraseFlashSector(uint32_t u32Sector);

constexpr uint32_t kInfoBlockWords = 20;
struct FirmwareInfoBlock {
  uint32_t au32Words[kInfoBlockWords];
};
static_assert(sizeof(FirmwareInfoBlock) == 80);

// Reads the 20-word record at flash 0x3000 into pu32FmInfo (may be null). 0 or -4.
int32_t ReadFirmwareInfo(uint32_t* pu32FmInfo);
// Writes the record with words 16-18 cleared and a fresh checksum, reads it back and
// compares. 0, -1 (null) or -4.
int32_t WriteFirmwareInfo(uint32_t* pu32FmInfo);

// Writes nWords words (at most 64: one EEPROM page) at the EEPROM byte address with one
// CMD_WRITE_EEPROM request. Returns Transact's result, which no caller examines.
int32_t WriteEepromWords(uint32_t u32Address, const uint32_t* pu32Words, uint32_t nWords);

// The running CRC step: CRC-16 polynomial 0x1021, MSB first, never reduced to 16 bits.
uint32_t Crc16Update(uint32_t data, uint32_t crc);

// Downloads the image file (a name within the firmware folder, ANSI text) into flash from
// 0x8000, verifies the locator's CRC and writes the ImageVersionRecord. Results: 0 when every
// page write and the CRC request returned 0 (crcOut and lengthOut are then 0 unless the CRCs
// matched); -1 null name; -2 file not opened (also a name with a parent component, which
// would leave the firmware folder, and anything that is not a regular file); -3 the erase
// of an image sector failed, before any page was programmed; -4 file not read whole (the
// file is read before the first erase); kErrNotAnImage for an empty file or one larger
// than the image area; else the failing Transact result of a page write or the CRC request.
// Nothing is sent to the locator for -1, -2, -4 and kErrNotAnImage.
constexpr int32_t kErrNotAnImage = -5;
int32_t DownloadFirmwareImage(const char* fileName, uint32_t& crcOut, uint32_t& lengthOut);
