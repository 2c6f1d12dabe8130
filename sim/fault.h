// Fault plans of the simulated locator: their text form, and the one step every exchange
// passes that decides what the faults striking it do.
//
// A request that matches a fault gets the fault's effect. Exchanges are numbered by OUT
// transfers that reach a plugged-in device. All faults that match one exchange apply
// together. kNoAnswer executes the request but drops its
// response; kDelay with a delay beyond the IN transfer's time-out times that transfer out
// and the response stays pending for a later one. kShortWrite, kNoAnswer and kSilence hold
// their transfer for its whole time-out (or until the device is unplugged, or AbortWaits).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace vxsim {

enum class FaultKind : uint32_t {
  kNoAnswer,       // the request is consumed, no response is ever sent
  kBadChecksum,    // the response's checksum word is off by one
  kWrongCount,     // response word 0 is m - 1 (checksum recomputed to match)
  kCountTooLarge,  // response word 0 is `value` (default 200), checksum recomputed
  kResult,         // the response's result word is `value` (checksum recomputed)
  kShortResponse,  // only `value` bytes of the response are delivered (default 8)
  kZeroResponse,   // the IN transfer succeeds with every response byte zero
  kShortWrite,     // the OUT transfer moves `value` bytes (default 8, at most all but one) then
                   // times out; nothing is executed
  kUnplugBefore,   // the device is unplugged as the request arrives; OUT fails, nothing runs
  kUnplugAfter,    // the device answers, then is unplugged right after the IN transfer
  kDelay,          // the response is ready only `value` ms (default 1000) after the request
  kLate,           // the response comes just after its IN transfer timed out (or was cancelled)
  kStall,          // nothing is executed; the IN transfer is answered with a stall
  kBabble,         // the request is executed; its IN transfer ends in babble, the response lost
  kSilence,        // nothing is executed and nothing answered: the IN transfer waits for ever
};
constexpr size_t kFaultKinds = size_t(FaultKind::kSilence) + 1;

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
// times = 0 strikes every matching exchange from the first on. A value of 0 takes the kind's
// default; kResult uses its value as is.

// Parses one fault in the text form the simulator program takes, e.g.
//   "noanswer@x=3", "result=55@cmd=412#6", "result=0@cmd=405#1*66", "delay=500@x=2"
// Grammar (no spaces; numbers decimal or 0x-hex, 32 bits):
//   fault := kind ["=" value] "@" where ["*" times]
//   where := "x=" exchange | "cmd=" command ["#" nth] | "x=" exchange ",cmd=" command
//   kind  := FaultKindName of a kind ("noanswer", "badchecksum", ... "silence")
// "result" needs a value; "counttoolarge", "shortresponse", "shortwrite" and "delay" take
// an optional one; the others take none. exchange, command and nth must not be 0.
// Returns nothing and sets *pError when the text is not a fault.
std::optional<Fault> ParseFault(const std::string& text, std::string* pError = nullptr);
// The kind's name in that text form ("noanswer", ...).
const char* FaultKindName(FaultKind kind);

// What the faults striking one exchange do to it: per kind, whether one struck and its
// value, defaults resolved (of two of one kind, the first added counts).
struct Strike {
  std::array<std::optional<uint32_t>, kFaultKinds> values;
  bool Has(FaultKind kind) const { return values[size_t(kind)].has_value(); }
  uint32_t Value(FaultKind kind) const { return values[size_t(kind)].value_or(0); }
  // The bytes the IN endpoint gets for the response words (m of them, no checksum).
  std::vector<uint8_t> Frame(std::vector<uint32_t> words) const;
};

// The faults, and the exchanges and each command's requests so far (as Fault counts them).
struct FaultPlan {
  std::vector<Fault> faults;
  uint32_t exchanges = 0;
  std::map<uint32_t, uint32_t> commandNo;
  // Numbers the next exchange, an OUT transfer of `len` bytes carrying `command`, and
  // returns what the faults that match it do; logs each fault that strikes.
  Strike Next(uint32_t command, uint32_t len, const std::function<void(std::string)>& log);
};

}  // namespace vxsim
