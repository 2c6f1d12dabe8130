// The simulated locator's timing model: the link's transfer times, the device's work on a
// request, and sector erase times. Pure arithmetic; the locator turns it into deadlines.
//
// Every modelled time is a deadline counted from the request's arrival, so that the
// simulator's own work is hidden inside it rather than added to it. An OUT transfer ends
// TransferNs after it arrived; the loader then executes the request and works on it
// (programming, CRC) for WorkNs; an IN transfer ends TransferNs after the later of its own
// arrival and the response being ready. An exchange is charged the sum of the three
// (TraceEntry::chargedNs): what it costs a host that asks for the response at once. An
// erase runs in the background for its sector's time from the end of its OUT transfer.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vxsim {

// The USB 2.0 link of the bulk pipes. A transfer of B bytes is max(1, ceil(B / packet))
// packets; they move at most `perFrame` to a (micro)frame, and the transfer completes at the
// end of its last frame: full speed 1 ms frames, 64-byte packets, 19 a frame; high speed
// 125 us microframes, 512-byte packets, 13 a microframe. kNone moves data in no time.
enum class LinkSpeed : uint32_t { kNone, kFull, kHigh };

struct LinkGeometry {
  uint32_t frameNs, packetBytes, perFrame;
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
  uint32_t smallEraseMs = 0;   // erase time of a 0x1000-unit boot sector (0: done by the next request)
  uint32_t largeEraseMs = 0;   // erase time of a 0x8000-unit sector
  uint32_t latencyUs = 0;      // added to every transfer's link time

  // Whether exchanges take modelled time (and the trace records what each was charged).
  bool Timed() const { return link != LinkSpeed::kNone || pageProgramUs != 0 || crcNsPerUnit != 0 || latencyUs != 0; }
  // A transfer's time on the link.
  uint64_t TransferNs(uint32_t bytes) const { return LinkTransferNs(link, bytes) + uint64_t(latencyUs) * 1000; }
  // The device's work on a request before its response is ready: the page
  // programming of a flash write (its word count), the CRC of a flash CRC (its unit count).
  uint64_t WorkNs(uint32_t command, uint32_t count) const;
  // The erase time of a sector of that many units, drawn when seeded (advancing *pState).
  uint32_t EraseMs(uint32_t sectorUnits, uint64_t* pState) const;
};

// An erase time drawn from [typical / 2, typical * 2] by a generator of the given state,
// which it advances (a NOR flash's erase time varies around its typical value).
uint32_t DrawEraseMs(uint32_t typicalMs, uint64_t* pState);

// Sensible times of a parallel NOR flash and the loader's CPU, for demos and the simulator
// program: sector erases, a page programmed word by word (128 units at about 9 us), and a
// bitwise CRC reading flash over the external memory bus.
constexpr uint32_t kTypicalSmallEraseMs = 250;
constexpr uint32_t kTypicalLargeEraseMs = 700;
constexpr uint32_t kTypicalPageProgramUs = 1150;
constexpr uint32_t kTypicalCrcNsPerUnit = 150;

}  // namespace vxsim
