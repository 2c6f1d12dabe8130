// The running CRC step of the image download.
//
// Each step shifts the 32-bit value left by one and XORs in 0x1021 when bit 15 differs from
// the data bit, for data bits 7 down to 0. The value is never masked, so the bits shifted out
// of bit 15 stay in bits 16-31. Eight such steps are linear in (bits 8-15 of crc) XOR data:
//   crc' = (crc << 8) XOR T[((crc >> 8) XOR data) & 0xFF]
// where T[i] is the eight steps applied to data i from a zero value (at most 20 bits wide).
#include <array>
#include <cstdint>

#include "device/device_ops.h"

namespace {

constexpr uint32_t kCrcPolynomial = 0x1021;

constexpr uint32_t BitwiseCrcStep(uint32_t data, uint32_t crc) {
  for (int nBit = 7; nBit >= 0; --nBit) {
    const uint32_t u32DataBit = (data >> nBit) & 1u;
    const uint32_t u32TopBit = (crc >> 15) & 1u;
    crc = (u32TopBit != u32DataBit) ? ((crc << 1) ^ kCrcPolynomial) : (crc << 1);
  }
  return crc;
}

constexpr std::array<uint32_t, 256> MakeCrcTable() {
  std::array<uint32_t, 256> au32Table{};
  for (uint32_t i = 0; i < 256; ++i) au32Table[i] = BitwiseCrcStep(i, 0);
  return au32Table;
}

constexpr std::array<uint32_t, 256> kCrcTable = MakeCrcTable();

static_assert(BitwiseCrcStep(0x31, 0xFFFF) == 0x00F3C782u);

}  // namespace

uint32_t Crc16Update(uint32_t data, uint32_t crc) {
  return (crc << 8) ^ kCrcTable[((crc >> 8) ^ data) & 0xFFu];
}
