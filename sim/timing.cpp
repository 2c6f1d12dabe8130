// The simulated locator's timing model.
#include "sim/timing.h"

#include <algorithm>
#include <iterator>

#include "sim/loader.h"

namespace vxsim {

namespace {

// Each link in LinkSpeed's order: its name and geometry.
constexpr struct {
  const char* name;
  LinkGeometry geometry;
} kLinks[] = {{"none", {0, 512, 1}}, {"fs", {1'000'000, 64, 19}}, {"hs", {125'000, 512, 13}}};
const auto& Link(LinkSpeed link) { return kLinks[size_t(link) < std::size(kLinks) ? size_t(link) : 0]; }

}  // namespace

LinkGeometry LinkGeometryOf(LinkSpeed link) { return Link(link).geometry; }
const char* LinkName(LinkSpeed link) { return Link(link).name; }

uint64_t LinkTransferNs(LinkSpeed link, uint32_t bytes) {
  const LinkGeometry g = LinkGeometryOf(link);
  const uint64_t packets = std::max<uint64_t>(1, (uint64_t(bytes) + g.packetBytes - 1) / g.packetBytes);
  const uint64_t frames = (packets + g.perFrame - 1) / g.perFrame;
  return frames * g.frameNs;
}

std::optional<LinkSpeed> ParseLink(const std::string& text) {
  for (size_t i = 0; i < std::size(kLinks); ++i)
    if (text == kLinks[i].name) return LinkSpeed(i);
  return std::nullopt;
}

uint64_t TimingModel::WorkNs(uint32_t command, uint32_t count) const {
  if (command == kCmdWriteFlash) return uint64_t(pageProgramUs) * 1000 * count / 64;
  if (command == kCmdFlashCrc) return uint64_t(crcNsPerUnit) * count;
  return 0;
}

uint32_t TimingModel::EraseMs(uint32_t sectorUnits, uint64_t* pState) const {
  const uint32_t typicalMs = sectorUnits == 0x1000 ? smallEraseMs : largeEraseMs;
  return eraseSeed != 0 ? DrawEraseMs(typicalMs, pState) : typicalMs;
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

}  // namespace vxsim
