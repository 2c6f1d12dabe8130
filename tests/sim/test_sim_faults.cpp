// Fault plans: their text form, where they strike, and what each kind does to an exchange.
#include <gtest/gtest.h>

#include <thread>

#include "tests/sim/frames.h"

using namespace vxsim;
using namespace simtest;

namespace {

Fault Make(FaultKind kind, uint32_t value, uint32_t exchange, uint32_t command = 0, uint32_t nth = 1, uint32_t times = 1) {
  return Fault{kind, value, exchange, command, nth, times};
}

bool Same(const Fault& a, const Fault& b) {
  return a.kind == b.kind && a.value == b.value && a.exchange == b.exchange && a.command == b.command &&
         a.nth == b.nth && a.times == b.times;
}

}  // namespace

TEST(FaultText, ParsesEveryForm) {
  struct Case {
    const char* text;
    Fault fault;
  } cases[] = {
      {"noanswer@x=3", Make(FaultKind::kNoAnswer, 0, 3)},
      {"result=55@cmd=412#6", Make(FaultKind::kResult, 55, 0, 412, 6)},
      {"result=0@cmd=405#1*66", Make(FaultKind::kResult, 0, 0, 405, 1, 66)},
      {"delay=500@x=2", Make(FaultKind::kDelay, 500, 2)},
      {"delay@x=2", Make(FaultKind::kDelay, 0, 2)},
      {"badchecksum@cmd=408", Make(FaultKind::kBadChecksum, 0, 0, 408)},
      {"wrongcount@x=0x10*0", Make(FaultKind::kWrongCount, 0, 16, 0, 1, 0)},
      {"counttoolarge=300@x=1", Make(FaultKind::kCountTooLarge, 300, 1)},
      {"shortresponse=4@x=1", Make(FaultKind::kShortResponse, 4, 1)},
      {"zeroresponse@x=1", Make(FaultKind::kZeroResponse, 0, 1)},
      {"shortwrite=12@cmd=412#2", Make(FaultKind::kShortWrite, 12, 0, 412, 2)},
      {"unplugbefore@x=7", Make(FaultKind::kUnplugBefore, 0, 7)},
      {"unplugafter@x=7,cmd=413", Make(FaultKind::kUnplugAfter, 0, 7, 413)},
      {"result=0x80000001@x=1*2", Make(FaultKind::kResult, 0x80000001, 1, 0, 1, 2)},
      {"late@x=2", Make(FaultKind::kLate, 0, 2)},
      {"stall@cmd=409", Make(FaultKind::kStall, 0, 0, 409)},
      {"babble@x=1*3", Make(FaultKind::kBabble, 0, 1, 0, 1, 3)},
      {"silence@x=4", Make(FaultKind::kSilence, 0, 4)},
  };
  for (const Case& c : cases) {
    std::string error;
    const std::optional<Fault> f = ParseFault(c.text, &error);
    ASSERT_TRUE(f.has_value()) << c.text << ": " << error;
    EXPECT_TRUE(Same(*f, c.fault)) << c.text;
    EXPECT_EQ(std::string(FaultKindName(f->kind)), std::string(c.text).substr(0, std::string(c.text).find_first_of("=@")));
  }
}

TEST(FaultText, RefusesWhatIsNotAFault) {
  const char* bad[] = {"",          "noanswer",        "noanswer@",         "bogus@x=1",        "noanswer=3@x=1",
                       "result@x=1", "result=@x=1",     "result=-1@x=1",     "result=0x1g@x=1",  "noanswer@x=0",
                       "noanswer@x=", "noanswer@cmd=0", "noanswer@cmd=405#0", "noanswer@y=3",    "noanswer@x=1*",
                       "result=4294967296@x=1",         "noanswer@x=1,cmd=405#2", "noanswer@x=3 "};
  for (const char* text : bad) {
    std::string error;
    EXPECT_FALSE(ParseFault(text, &error).has_value()) << text;
    EXPECT_NE(error.find(text), std::string::npos) << text << " -> " << error;
  }
  EXPECT_FALSE(ParseFault("noanswer").has_value());  // no error sink needed
}

// Which exchanges a fault strikes: by exchange number, by a command's nth request, counts;
// and that clearing the faults ends the plan.
TEST(FaultPlan, StrikesWhereItIsPlanned) {
  struct Case {
    const char* text;
    std::vector<uint32_t> results;  // of 6 status requests; a write sits between 3rd and 4th
    size_t clearAfter = 0;          // faults cleared after this many of them (0: never)
  } cases[] = {
      {"result=7@x=2", {1, 7, 1, 1, 1, 1}},
      {"result=7@x=2*2", {1, 7, 7, 1, 1, 1}},
      {"result=7@x=1*0", {7, 7, 7, 7, 7, 7}},
      {"result=0@cmd=405#2*2", {1, 0, 0, 1, 1, 1}},
      {"result=0@cmd=405#5*0", {1, 1, 1, 1, 0, 0}},
      {"result=9@cmd=405", {9, 1, 1, 1, 1, 1}},
      {"result=9@x=5,cmd=405", {1, 1, 1, 9, 1, 1}},
      {"result=9@x=4,cmd=405", {1, 1, 1, 1, 1, 1}},  // exchange 4 is the write
      {"result=3@x=1*0", {3, 1, 1, 1, 1, 1}, 1},
  };
  for (const Case& c : cases) {
    Plugged f{c.text};
    std::vector<uint32_t> got;
    for (size_t i = 0; i < 6; ++i) {
      if (i == 3) {
        EXPECT_TRUE(WellFramed(f.X(WriteFlashRequest(0x8000, 0, {0})), 3)) << c.text;
      }
      if (c.clearAfter && i == c.clearAfter) f.loc.ClearFaults();
      got.push_back(f.X({3, 3, CMD_ERASE_STATUS}).Result());
    }
    EXPECT_EQ(got, c.results) << c.text;
  }
}

// What each kind does to the response of one CMD_FLASH_CRC request (m = 4).
TEST(FaultKinds, ResponseFaults) {
  const uint32_t crc = [] {
    uint32_t c = 0xFFFF;
    for (int i = 0; i < 8; ++i) c = LoaderCrcStep(c, 0xFF);
    return c;
  }();
  auto sum = [](const std::vector<uint32_t>& w, size_t n) {
    uint32_t s = 0;
    for (size_t i = 0; i < n; ++i) s += w[i];
    return s;
  };
  const std::vector<uint32_t> good{4, 0, 0, crc};
  struct Case {
    const char* text;
    std::vector<uint32_t> words;  // as delivered
  } cases[] = {
      {"badchecksum@x=1", {4, 0, 0, crc, sum(good, 4) + 1}},
      {"wrongcount@x=1", {3, 0, 0, 3}},
      {"counttoolarge@x=1", {200, 0, 0, crc, 200 + crc}},
      {"counttoolarge=128@x=1", {128, 0, 0, crc, 128 + crc}},
      {"result=55@x=1", {4, 55, 0, crc, 59 + crc}},
      {"shortresponse@x=1", {4, 0}},
      {"shortresponse=12@x=1", {4, 0, 0}},
      {"zeroresponse@x=1", {0, 0, 0, 0, 0}},
      {"delay=50@x=1", {4, 0, 0, crc, sum(good, 4)}},
  };
  for (const Case& c : cases) {
    Plugged f{c.text};
    const Reply r = f.X({5, 4, 413, 0x8000, 8});
    EXPECT_EQ(r.in, BusStatus::kOk) << c.text;
    EXPECT_EQ(r.words, c.words) << c.text;
    // The next exchange is clean again.
    const Reply next = f.X({5, 4, 413, 0x8000, 8});
    EXPECT_TRUE(WellFramed(next, 4)) << c.text;
    EXPECT_EQ(next.words[3], crc) << c.text;
  }
}

TEST(FaultKinds, NoAnswerExecutesButNeverAnswers) {
  Plugged f{"noanswer@cmd=412"};
  const Reply r = f.X(WriteFlashRequest(0x8000, 0, {0x12345678}), 50);
  EXPECT_EQ(r.out, BusStatus::kOk);
  EXPECT_EQ(r.in, BusStatus::kTimeout);
  EXPECT_EQ(r.inMoved, 0u);
  EXPECT_EQ(f.loc.FlashUnit(0x8000), 0x5678);
  EXPECT_EQ(f.loc.ExchangeCount(), 1u);
  EXPECT_EQ(f.In(20), BusStatus::kTimeout);  // nothing is left over for a later IN either
}

TEST(FaultKinds, DelayBeyondTheTimeOutLeavesTheResponsePending) {
  Plugged f{"delay=400@x=1"};
  EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}, 1).in, BusStatus::kTimeout);
  std::vector<uint32_t> words;
  EXPECT_EQ(f.In(30000, &words), BusStatus::kOk);
  EXPECT_EQ(words, WithSum({3, 1, 0}));
}

// A late answer comes just after its IN timed out. Kept (the default), the endpoint hands it
// to the next IN, ahead of the next request's own answer; discarded, the next request's
// answer is the next IN's. An IN before the next request gets it either way.
TEST(FaultKinds, LateAnswerIsKeptForTheNextInUnlessDiscarded) {
  for (const bool bKeep : {true, false}) {
    LocatorConfig cfg;
    cfg.bKeepLateAnswers = bKeep;
    Plugged f{cfg};
    f.loc.AddFault(ParseFault("late@x=1").value());
    EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}, 20).in, BusStatus::kTimeout) << bKeep;
    const Reply next = f.X({3, 7, CMD_READ_FLASH_CFI});
    EXPECT_EQ(next.in, BusStatus::kOk) << bKeep;
    EXPECT_EQ(next.words, bKeep ? WithSum({3, 1, 0}) : WithSum({7, 0, 0, 'Q', 'R', 'Y', 2})) << bKeep;
    // Kept, the CFI answer is the following IN's; the one after that finds nothing.
    std::vector<uint32_t> words;
    EXPECT_EQ(f.In(20, &words), bKeep ? BusStatus::kBabble : BusStatus::kTimeout) << bKeep;  // 32 bytes for 16
    f.loc.AddFault(ParseFault("late@x=3").value());
    EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}, 20).in, BusStatus::kTimeout) << bKeep;
    EXPECT_EQ(f.In(20, &words), BusStatus::kOk) << bKeep;
    EXPECT_EQ(words, WithSum({3, 1, 0})) << bKeep;
    EXPECT_EQ(f.In(20), BusStatus::kTimeout) << bKeep;
  }
}

// Stall and silence execute nothing; babble executes the request and loses its answer.
TEST(FaultKinds, StallBabbleAndSilenceEndTheInTransfer) {
  struct Case {
    const char* text;
    BusStatus in;
    uint16_t unit;  // flash at 0x8000 afterwards
  } cases[] = {{"stall@x=1", BusStatus::kStall, 0xFFFF},
               {"babble@x=1", BusStatus::kBabble, 0x5678},
               {"silence@x=1", BusStatus::kTimeout, 0xFFFF}};
  for (const Case& c : cases) {
    Plugged f{c.text};
    const Reply r = f.X(WriteFlashRequest(0x8000, 0, {0x12345678}), 50);
    EXPECT_EQ(r.out, BusStatus::kOk) << c.text;
    EXPECT_EQ(r.in, c.in) << c.text;
    EXPECT_EQ(r.inMoved, 0u) << c.text;
    EXPECT_EQ(f.loc.FlashUnit(0x8000), c.unit) << c.text;
    EXPECT_EQ(f.In(20), BusStatus::kTimeout) << c.text;  // nothing left for a later IN
  }
}

TEST(FaultKinds, ShortWriteExecutesNothing) {
  Plugged f{"shortwrite=12@x=1", "shortwrite=100@x=2"};
  for (uint32_t expectMoved : {12u, 31u}) {  // the 32-byte frame never moves whole
    const std::vector<uint8_t> req = ToBytes(WithSum(WriteFlashRequest(0x8000, 0, {0})));
    uint32_t moved = 0;
    EXPECT_EQ(f.loc.Out(f.loc.DeviceId(), kPipeOut, req.data(), uint32_t(req.size()), &moved, 30), BusStatus::kTimeout);
    EXPECT_EQ(moved, expectMoved);
    EXPECT_EQ(f.In(20), BusStatus::kTimeout);
  }
  EXPECT_EQ(f.loc.FlashUnit(0x8000), 0xFFFF);
  EXPECT_EQ(f.loc.ExchangeCount(), 0u);
  EXPECT_EQ(f.loc.Trace().front().bytes, 12u);
  // Exchange 3 goes through.
  EXPECT_EQ(f.X(WriteFlashRequest(0x8000, 0, {0})).Result(), 0u);
  EXPECT_EQ(f.loc.FlashUnit(0x8000), 0x0000);
}

// An unplug as the request arrives runs nothing; one right after the answer delivers it.
TEST(FaultKinds, UnplugBeforeAndAfter) {
  for (const bool bAfter : {false, true}) {
    Plugged f{bAfter ? "unplugafter@cmd=412" : "unplugbefore@cmd=412"};
    const uint64_t id = f.loc.DeviceId();
    std::vector<uint64_t> unplugs;
    f.loc.SetListener(BusListener{nullptr, [&](uint64_t gone) { unplugs.push_back(gone); }});
    const Reply r = f.X(WriteFlashRequest(0x8000, 0, {0}));
    EXPECT_EQ(r.out, bAfter ? BusStatus::kOk : BusStatus::kGone) << bAfter;
    EXPECT_EQ(r.outMoved, bAfter ? 32u : 0u) << bAfter;
    EXPECT_EQ(WellFramed(r, 3), bAfter) << bAfter;
    EXPECT_EQ(f.loc.FlashUnit(0x8000), bAfter ? 0x0000 : 0xFFFF) << bAfter;
    EXPECT_FALSE(f.loc.IsPlugged()) << bAfter;
    EXPECT_EQ(unplugs, std::vector<uint64_t>{id}) << bAfter;
  }
}

TEST(FaultKinds, FaultsCountAcrossPlugs) {
  Locator loc;
  loc.AddFault(ParseFault("result=5@x=2").value());
  loc.Plug();
  EXPECT_EQ(Exchange(loc, loc.DeviceId(), {3, 3, CMD_ERASE_STATUS}).Result(), 1u);
  loc.Unplug();
  loc.Plug();
  EXPECT_EQ(Exchange(loc, loc.DeviceId(), {3, 3, CMD_ERASE_STATUS}).Result(), 5u);
  EXPECT_EQ(loc.CommandCount(CMD_ERASE_STATUS), 2u);
  EXPECT_EQ(loc.CommandCount(CMD_WRITE_FLASH), 0u);
}
