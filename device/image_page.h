// Pieces of the image download that need no device: the packing of a page into data words
// with its share of the running CRC, the image header, the ImageVersionRecord address, and
// the page buffer's allocation.
#pragma once

#include <cstddef>
#include <cstdint>

// Packs one 256-byte page into 64 data words (four bytes to a word, the first byte in bits
// 0-7) and returns the running CRC value fed, word by word, with the word's low half and then
// its high half (Crc16Update keeps bits 0-7 of each: bytes 0 and 2 of every word).
uint32_t PackPage(const uint8_t* pu8Page, uint32_t* pu32Words, uint32_t u32Crc);

// The fields read from an image's optional header; all 0 when the image has none.
constexpr uint32_t kImageHeaderMagic = 0xFCFCFCFCu;
struct ImageHeader {
  uint32_t u32Type;
  uint32_t u32Version;
  uint32_t u32Crc;
};
// pu8Image holds nBytes of the image followed by zero padding to a whole page.
ImageHeader ReadImageHeader(const uint8_t* pu8Image, size_t nBytes);

// EEPROM address of the ImageVersionRecord for an image type; kNoEepromAddress (above the
// EEPROM's last address) for a type without one.
constexpr uint32_t kNoEepromAddress = 0xFFFFFFFFu;
uint32_t ImageRecordAddress(uint32_t u32ImageType);

// The page buffer is allocated through this function: nBytes zero bytes, released with
// delete[], or nullptr when the memory cannot be had. Tests replace it to make the
// allocation fail; nullptr restores the default (new (std::nothrow)).
using PFN_PAGE_BUFFER_ALLOC = uint8_t* (*)(size_t nBytes);
void SetPageBufferAllocator(PFN_PAGE_BUFFER_ALLOC pfnAlloc);
uint8_t* AllocatePageBuffer(size_t nBytes);
