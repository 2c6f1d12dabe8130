#include <new>

#include "device/commands.h"
#include "device/device_ops.h"
#include "device/image_page.h"

namespace {

uint32_t LittleEndianWord(const uint8_t* pu8) {
  return static_cast<uint32_t>(pu8[0]) | (static_cast<uint32_t>(pu8[1]) << 8) |
         (static_cast<uint32_t>(pu8[2]) << 16) | (static_cast<uint32_t>(pu8[3]) << 24);
}

uint32_t LittleEndianHalf(const uint8_t* pu8) {
  return static_cast<uint32_t>(pu8[0]) | (static_cast<uint32_t>(pu8[1]) << 8);
}

uint8_t* DefaultPageBufferAlloc(size_t nBytes) {
  // A zero-byte buffer still gets a distinct pointer, so "no memory" stays unambiguous.
  return new (std::nothrow) uint8_t[nBytes == 0 ? 1 : nBytes]();
}

PFN_PAGE_BUFFER_ALLOC pfnPageBufferAlloc = DefaultPageBufferAlloc;

}  // namespace

uint32_t PackPage(const uint8_t* pu8Page, uint32_t* pu32Words, uint32_t u32Crc) {
  for (uint32_t j = 0; j < kPageWords; ++j) {
    const uint32_t u32Word = LittleEndianWord(pu8Page + 4 * j);
    pu32Words[j] = u32Word;
    u32Crc = Crc16Update(u32Word & 0xFFFFu, u32Crc);
    u32Crc = Crc16Update(u32Word >> 16, u32Crc);
  }
  return u32Crc;
}

ImageHeader ReadImageHeader(const uint8_t* pu8Image, size_t nBytes) {
  ImageHeader header{0, 0, 0};
  // The header's fields lie within the first 24 bytes; the buffer is padded to a page.
  if (pu8Image == nullptr || nBytes < 4 || LittleEndianWord(pu8Image) != kImageHeaderMagic) return header;
  header.u32Type = LittleEndianHalf(pu8Image + 6);
  header.u32Version = LittleEndianWord(pu8Image + 12);
  header.u32Crc = LittleEndianWord(pu8Image + 20);
  return header;
}

uint32_t ImageRecordAddress(uint32_t u32ImageType) {
  if (u32ImageType >= 1 && u32ImageType <= 8) return 0x1000 + 0x10 * u32ImageType;
  if (u32ImageType == 9 || u32ImageType == 10) return 0x10A0;  // types 9 and 10 share one record
  return kNoEepromAddress;
}

void SetPageBufferAllocator(PFN_PAGE_BUFFER_ALLOC pfnAlloc) {
  pfnPageBufferAlloc = pfnAlloc != nullptr ? pfnAlloc : DefaultPageBufferAlloc;
}

uint8_t* AllocatePageBuffer(size_t nBytes) { return pfnPageBufferAlloc(nBytes); }
