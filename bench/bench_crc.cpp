// Throughput of the running CRC step over a 256 KB image, fed the way the download feeds
// it (the low and high half of each data word) and byte by byte.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "device/commands.h"
#include "device/device_ops.h"
#include "device/image_page.h"

namespace {

std::vector<uint8_t> Image() {
  std::vector<uint8_t> image(256 * 1024);
  uint32_t u32Seed = 1;
  for (uint8_t& b : image) {
    u32Seed = u32Seed * 1103515245u + 12345u;
    b = static_cast<uint8_t>(u32Seed >> 16);
  }
  return image;
}

void BM_Crc16UpdateEveryByte(benchmark::State& state) {
  const std::vector<uint8_t> image = Image();
  for (auto _ : state) {
    uint32_t crc = 0xFFFF;
    for (uint8_t b : image) crc = Crc16Update(b, crc);
    benchmark::DoNotOptimize(crc);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_Crc16UpdateEveryByte);

// Packing into request words plus the CRC, as the page loop does it, over 1024 pages.
void BM_PackPagesWithCrc(benchmark::State& state) {
  const std::vector<uint8_t> image = Image();
  uint32_t au32Words[kPageWords];
  for (auto _ : state) {
    uint32_t crc = 0xFFFF;
    for (size_t k = 0; k < image.size(); k += kPageBytes) crc = PackPage(image.data() + k, au32Words, crc);
    benchmark::DoNotOptimize(crc);
    benchmark::DoNotOptimize(au32Words);
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(image.size()));
}
BENCHMARK(BM_PackPagesWithCrc);

}  // namespace
