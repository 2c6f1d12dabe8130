// The simulated loader seen from the host's side of the wire: hand-built frames through
// Out and In, checked against the flash and EEPROM the model holds.
#include <gtest/gtest.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>

#include "tests/sim/frames.h"
#include "tests/support/firmware_folder.h"

using namespace vxsim;
using namespace simtest;

namespace {

struct Fixture : Plugged {
  using Plugged::Plugged;
  // An erase that is done at its first status request (the default erase time is zero).
  bool EraseNow(uint32_t sector) {
    return X({4, 3, CMD_ERASE_SECTOR, sector}).Result() == 1 && X({3, 3, CMD_ERASE_STATUS}).Result() == 1;
  }
};

std::vector<uint8_t> Padded(std::vector<uint8_t> bytes, size_t size) {
  bytes.resize(size, 0);
  return bytes;
}

}  // namespace

// The CRC's check value keeps the bits above 15; the device's CRC over what the host
// programmed, image by image, takes only the low byte of each unit.
TEST(LoaderCrc, CheckValueAndFlashCrcOfProgrammedImages) {
  auto crcOf = [](const std::vector<uint8_t>& bytes) {
    uint32_t crc = 0xFFFF;
    for (uint8_t b : bytes) crc = LoaderCrcStep(crc, b);
    return crc;
  };
  const std::vector<uint8_t> digits{'1', '2', '3', '4', '5', '6', '7', '8', '9'};
  EXPECT_EQ(crcOf(digits), 0x73A829B1u);
  std::vector<uint8_t> header{0xFC, 0xFC, 0xFC, 0xFC, 0, 0, 1, 0, 0, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0x34, 0x12, 0, 0};
  header.insert(header.end(), digits.begin(), digits.end());
  const uint32_t lowBytes = crcOf({'1', '3', '9', 0});
  struct Case {
    std::vector<uint32_t> data;
    uint32_t units, crc;
  } cases[] = {{Pack(Padded(digits, 256)), 128, 0xA997EB77},
               {Pack(Padded(header, 256)), 128, 0x94E889E8},
               {{0x34333231, 0x00000039}, 4, lowBytes},
               {{0x00330031, 0x77000039}, 4, lowBytes}};
  for (const Case& c : cases) {
    Fixture f;
    ASSERT_TRUE(f.EraseNow(0x8000));
    ASSERT_EQ(f.X(WriteFlashRequest(0x8000, 0, c.data)).Result(), 0u);
    const Reply r = f.X({5, 4, CMD_FLASH_CRC, 0x8000, c.units});
    ASSERT_TRUE(WellFramed(r, 4));
    EXPECT_EQ(r.Result(), 0u);
    EXPECT_EQ(r.words[3], c.crc) << std::hex << c.crc;
    EXPECT_EQ(f.loc.FlashCrc(0x8000, c.units), c.crc) << std::hex << c.crc;
  }
}

TEST(LoaderFlash, ProgrammingOnlyClearsBits) {
  Fixture f;
  ASSERT_TRUE(f.EraseNow(0x10000));
  ASSERT_EQ(f.X(WriteFlashRequest(0x10000, 0x80, {0xFF00F0F0, 0x12345678})).Result(), 0u);
  EXPECT_EQ(f.loc.UnerasedWrites(), 0u);
  ASSERT_EQ(f.X(WriteFlashRequest(0x10000, 0x80, {0x0FF0FF00, 0xFFFFFFFF})).Result(), 0u);
  EXPECT_EQ(f.loc.UnerasedWrites(), 1u) << "the second write went over programmed flash";
  EXPECT_EQ(f.loc.FlashUnit(0x10080), 0xF000);  // low half first
  EXPECT_EQ(f.loc.FlashUnit(0x10081), 0x0F00);
  const Reply r = f.X({5, 5, CMD_READ_FLASH, 2, 0x10080});
  ASSERT_TRUE(WellFramed(r, 5));
  EXPECT_EQ(r.Result(), 0u);
  EXPECT_EQ(r.words[3], 0x0F00F000u);
  EXPECT_EQ(r.words[4], 0x12345678u);
  // Erasing brings the ones back.
  ASSERT_TRUE(f.EraseNow(0x10000));
  EXPECT_EQ(f.loc.FlashUnit(0x10080), 0xFFFF);
  ASSERT_EQ(f.X(WriteFlashRequest(0x10000, 0x80, {1})).Result(), 0u);
  EXPECT_EQ(f.loc.UnerasedWrites(), 1u);
  // Loaded contents count as programmed, and so does a sector whose erase never finished.
  f.loc.LoadFlash(0x18000, {0x55});
  ASSERT_EQ(f.X(WriteFlashRequest(0x18000, 0, {1})).Result(), 0u);
  EXPECT_EQ(f.loc.UnerasedWrites(), 2u);
  ASSERT_EQ(f.X({4, 3, CMD_ERASE_SECTOR, 0x20000}).Result(), 1u);
  f.loc.Unplug();
  f.loc.Plug();
  ASSERT_EQ(f.X(WriteFlashRequest(0x20000, 0, {1})).Result(), 0u);
  EXPECT_EQ(f.loc.UnerasedWrites(), 3u);
}

TEST(LoaderFlash, ReadsTheInfoBlockLayout) {
  Fixture f;
  std::vector<uint32_t> block;
  for (uint32_t i = 0; i < 20; ++i) block.push_back(0x01010101u * (i + 1));
  ASSERT_EQ(f.X(WriteFlashRequest(0x3000, 0, block)).Result(), 0u);
  const Reply r = f.X({5, 23, CMD_READ_FLASH, 20, 0x3000});
  ASSERT_TRUE(WellFramed(r, 23));
  EXPECT_EQ(std::vector<uint32_t>(r.words.begin() + 3, r.words.begin() + 23), block);
  const std::vector<uint8_t> bytes = f.loc.FlashBytes(0x3000, 4);
  EXPECT_EQ(bytes, (std::vector<uint8_t>{1, 1, 1, 1}));
}

TEST(LoaderFlash, CfiAnswersTheQueryString) {
  Fixture f;
  const Reply r = f.X({3, 7, CMD_READ_FLASH_CFI});
  ASSERT_TRUE(WellFramed(r, 7));
  EXPECT_EQ(r.Result(), 0u);
  EXPECT_EQ(std::vector<uint32_t>(r.words.begin() + 3, r.words.begin() + 7), (std::vector<uint32_t>{'Q', 'R', 'Y', 2}));
  const std::vector<TraceEntry> t = f.loc.Trace();
  ASSERT_EQ(t.size(), 2u);
  EXPECT_TRUE(t[0].bOut);
  EXPECT_EQ(t[0].words, (std::vector<uint32_t>{3, 7, 408, 418}));
  EXPECT_FALSE(t[1].bOut);
  EXPECT_EQ(t[1].bytes, 32u);
}

TEST(LoaderFlash, AddressesOutsideTheFlashAreRefused) {
  Fixture f;
  struct Case {
    std::vector<uint32_t> req;
  } cases[] = {
      {{5, 5, CMD_READ_FLASH, 2, kFlashUnits - 2}},
      {{5, 4, CMD_FLASH_CRC, kFlashUnits - 1, 2}},
      {WriteFlashRequest(kFlashUnits - 2, 0, {0, 0})},
      {WriteFlashRequest(0x38000, 0x7FFE, {0, 0})},
  };
  for (const Case& c : cases) {
    const Reply r = f.X(c.req);
    EXPECT_TRUE(WellFramed(r, c.req[1]));
    EXPECT_EQ(r.Result(), kResultBadAddress) << c.req[2];
  }
  EXPECT_EQ(f.loc.FlashUnit(kFlashUnits - 1), 0xFFFF);
  // The last units are within reach.
  EXPECT_EQ(f.X(WriteFlashRequest(kFlashUnits - 2, 0, {0x12345678})).Result(), 0u);
  EXPECT_EQ(f.loc.FlashUnit(kFlashUnits - 1), 0x1234);
}

TEST(LoaderErase, SectorAddresses) {
  struct Case {
    uint32_t sector;
    uint32_t result;
  } cases[] = {{0x0000, 1},      {0x3000, 1},      {0x7000, 1},          {0x8000, 1},
               {0x38000, 1},     {0x3800, kResultBadAddress}, {0x8001, kResultBadAddress},
               {0x9000, kResultBadAddress}, {0x40000, kResultBadAddress}, {0xFFFFFFFF, kResultBadAddress}};
  for (const Case& c : cases) {
    Fixture f;
    EXPECT_EQ(f.X({4, 3, CMD_ERASE_SECTOR, c.sector}).Result(), c.result) << std::hex << c.sector;
  }
}

TEST(LoaderErase, ZeroTimeIsDoneAtTheFirstStatus) {
  Fixture f;
  f.loc.LoadFlash(0x2FFF, std::vector<uint8_t>(0x2000 + 4, 0x00));  // the sector and a unit each side
  EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}).Result(), 1u);  // idle
  EXPECT_EQ(f.X({4, 3, CMD_ERASE_SECTOR, 0x3000}).Result(), 1u);
  EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}).Result(), 1u);
  const std::vector<uint16_t> units = f.loc.FlashUnits(0x2FFF, 0x1002);
  EXPECT_EQ(units.front(), 0x0000);  // the sector before
  EXPECT_EQ(units[1], 0xFFFF);
  EXPECT_EQ(units[0x1000], 0xFFFF);
  EXPECT_EQ(units.back(), 0x0000);  // the sector after
}

TEST(LoaderErase, LongEraseAnswersZeroUntilItEnds) {
  LocatorConfig cfg;
  cfg.timing.largeEraseMs = 1500;
  cfg.timing.smallEraseMs = 60000;
  Fixture f(cfg);
  f.loc.LoadFlash(0x8000, std::vector<uint8_t>(16, 0x00));
  ASSERT_EQ(f.X({4, 3, CMD_ERASE_SECTOR, 0x8000}).Result(), 1u);
  // While it runs: the status says 0, programming and a second erase are refused.
  EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}).Result(), 0u);
  EXPECT_EQ(f.X(WriteFlashRequest(0x18000, 0, {0})).Result(), kResultBusy);
  EXPECT_EQ(f.X({4, 3, CMD_ERASE_SECTOR, 0x3000}).Result(), kResultBusy);
  std::vector<uint32_t> statuses;
  for (int i = 0; i < 1000 && (statuses.empty() || statuses.back() == 0); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
    statuses.push_back(f.X({3, 3, CMD_ERASE_STATUS}).Result());
  }
  ASSERT_EQ(statuses.back(), 1u);
  for (size_t i = 0; i + 1 < statuses.size(); ++i) EXPECT_EQ(statuses[i], 0u) << i;
  EXPECT_EQ(f.loc.FlashUnit(0x8000), 0xFFFF);
  EXPECT_EQ(f.X(WriteFlashRequest(0x18000, 0, {0})).Result(), 0u);
  // A boot sector takes its own (here very long) time.
  ASSERT_EQ(f.X({4, 3, CMD_ERASE_SECTOR, 0x3000}).Result(), 1u);
  EXPECT_EQ(f.X({3, 3, CMD_ERASE_STATUS}).Result(), 0u);
}

TEST(LoaderEeprom, RecordsLandAtTheirAddresses) {
  Fixture f;
  ASSERT_TRUE(WellFramed(f.X(WriteEepromRequest(0x1000, {1, 7, 0})), 3));
  ASSERT_EQ(f.X(WriteEepromRequest(0x1010, {7, 0x1234, 0, 4})).Result(), 0u);
  ASSERT_EQ(f.X(WriteEepromRequest(0x10A0, {0x01020304, 0xAABBCCDD, 0, 4})).Result(), 0u);
  EXPECT_EQ(f.loc.EepromBytes(0x1000, 13), (std::vector<uint8_t>{1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
  EXPECT_EQ(f.loc.EepromBytes(0x1010, 16),
            (std::vector<uint8_t>{7, 0, 0, 0, 0x34, 0x12, 0, 0, 0, 0, 0, 0, 4, 0, 0, 0}));
  EXPECT_EQ(f.loc.EepromBytes(0x10A0, 8), (std::vector<uint8_t>{4, 3, 2, 1, 0xDD, 0xCC, 0xBB, 0xAA}));
  EXPECT_EQ(f.loc.EepromBytes(0x1090, 16), std::vector<uint8_t>(16, 0xFF));
}

TEST(LoaderEeprom, LimitsAndPageCrossing) {
  Fixture f;
  // Crossing a 256-byte page: the bytes still land contiguously.
  EXPECT_EQ(f.X(WriteEepromRequest(0x10FC, {0x11111111, 0x22222222})).Result(), 0u);
  EXPECT_EQ(f.loc.EepromBytes(0x10FC, 8), (std::vector<uint8_t>{0x11, 0x11, 0x11, 0x11, 0x22, 0x22, 0x22, 0x22}));
  EXPECT_EQ(f.loc.EepromBytes(0x1000, 1), std::vector<uint8_t>{0xFF});
  // The last bytes are writable, one beyond is not, and a refused write changes nothing.
  EXPECT_EQ(f.X(WriteEepromRequest(0x3FFFC, {0x55555555})).Result(), 0u);
  EXPECT_EQ(f.X(WriteEepromRequest(0x3FFFC, {0, 0})).Result(), kResultBadAddress);
  EXPECT_EQ(f.loc.EepromBytes(0x3FFFC, 4), std::vector<uint8_t>(4, 0x55));
  EXPECT_EQ(f.X(WriteEepromRequest(0xFFFFFFFC, {0})).Result(), kResultBadAddress);
  // 256 bytes is the most one write carries; a count that disagrees with n is refused.
  EXPECT_EQ(f.X(WriteEepromRequest(0x2000, std::vector<uint32_t>(64, 0))).Result(), 0u);
  EXPECT_EQ(f.X(WriteEepromRequest(0x2000, std::vector<uint32_t>(65, 0))).Result(), kResultBadArguments);
  EXPECT_EQ(f.X({6, 3, CMD_WRITE_EEPROM, 8, 0x3000, 0}).Result(), kResultBadArguments);
  EXPECT_EQ(f.loc.EepromBytes(0x3000, 4), std::vector<uint8_t>(4, 0xFF));
}

// Requests the loader cannot take: those with a usable m are answered with m words and a
// non-zero result, executing nothing; those without get no answer at all.
TEST(LoaderMalformed, AnsweredOrDropped) {
  auto bytes = [](std::vector<uint32_t> words) { return ToBytes(words); };
  std::vector<uint32_t> badSum = WithSum({4, 3, CMD_ERASE_SECTOR, 0x8000});
  badSum.back() ^= 1;
  std::vector<uint8_t> oddLength = bytes(WithSum({3, 3, CMD_ERASE_STATUS}));
  oddLength.push_back(0);
  struct Case {
    const char* name;
    std::vector<uint8_t> request;
    bool bAnswered;
    uint32_t m;
    uint32_t result;
  } cases[] = {
      {"bad checksum", bytes(badSum), true, 3, kResultBadChecksum},
      {"n = 2", bytes(WithSum({2, 3})), true, 3, kResultBadLength},
      {"n = 128", bytes(WithSum(std::vector<uint32_t>{128, 3, CMD_ERASE_STATUS})), true, 3, kResultBadLength},
      {"bytes short of n", bytes(WithSum({5, 4, CMD_FLASH_CRC, 0x8000})), true, 4, kResultBadLength},
      {"bytes beyond n", bytes({3, 3, CMD_ERASE_STATUS, 411, 0}), true, 3, kResultBadLength},
      {"not whole words", oddLength, true, 3, kResultBadLength},
      {"unknown command", bytes(WithSum({3, 3, 999})), true, 3, kResultUnknownCommand},
      {"status with m 4", bytes(WithSum({3, 4, CMD_ERASE_STATUS})), true, 4, kResultBadArguments},
      {"read with m not N+3", bytes(WithSum({5, 7, CMD_READ_FLASH, 20, 0x3000})), true, 7, kResultBadArguments},
      {"write with n not N+6", bytes(WithSum({7, 3, CMD_WRITE_FLASH, 2, 0x8000, 0, 0})), true, 3, kResultBadArguments},
      {"m = 2", bytes(WithSum({3, 2, CMD_ERASE_STATUS})), false, 2, 0},
      {"m = 128", bytes(WithSum({3, 128, CMD_ERASE_STATUS})), false, 128, 0},
      {"four bytes", bytes({3}), false, 3, 0},
  };
  for (const Case& c : cases) {
    Fixture f;
    f.loc.LoadFlash(0x8000, {0x00, 0x00});
    const Reply r = SendRaw(f.loc, f.loc.DeviceId(), c.request, 512, c.bAnswered ? 2000 : 50);
    EXPECT_EQ(r.out, BusStatus::kOk) << c.name;
    EXPECT_EQ(r.outMoved, c.request.size()) << c.name;
    if (c.bAnswered) {
      EXPECT_EQ(r.in, BusStatus::kOk) << c.name;
      EXPECT_TRUE(WellFramed(r, c.m)) << c.name;
      EXPECT_EQ(r.Result(), c.result) << c.name;
    } else {
      EXPECT_EQ(r.in, BusStatus::kTimeout) << c.name;
      EXPECT_EQ(r.inMoved, 0u) << c.name;
    }
    EXPECT_EQ(f.loc.FlashUnit(0x8000), 0x0000) << c.name << ": nothing executed";
  }
}

TEST(LoaderBus, TransfersNeedTheCurrentDeviceAndItsPipes) {
  Locator loc;
  uint32_t moved = 99;
  const std::vector<uint8_t> req = ToBytes(WithSum({3, 3, CMD_ERASE_STATUS}));
  EXPECT_EQ(loc.Out(1, kPipeOut, req.data(), 16, &moved, 100), BusStatus::kGone);
  EXPECT_EQ(moved, 0u);
  loc.Plug();
  const uint64_t first = loc.DeviceId();
  loc.Plug();  // already in: same presence
  EXPECT_EQ(loc.DeviceId(), first);
  EXPECT_EQ(loc.SetInterface(first, 0, 0), BusStatus::kOk);
  EXPECT_EQ(loc.SetInterface(first, 1, 0), BusStatus::kError);
  EXPECT_EQ(loc.Out(first, kPipeIn, req.data(), 16, &moved, 100), BusStatus::kError);
  loc.Unplug();
  EXPECT_EQ(loc.DeviceId(), 0u);
  loc.Plug();
  const uint64_t second = loc.DeviceId();
  EXPECT_NE(second, first);
  EXPECT_EQ(loc.Out(first, kPipeOut, req.data(), 16, &moved, 100), BusStatus::kGone);
  EXPECT_EQ(loc.SetInterface(first, 0, 0), BusStatus::kGone);
  EXPECT_EQ(Exchange(loc, second, {3, 3, CMD_ERASE_STATUS}).Result(), 1u);
  // An IN too small for the response overflows; a larger one moves the response only.
  ASSERT_EQ(loc.Out(second, kPipeOut, req.data(), 16, &moved, 100), BusStatus::kOk);
  uint8_t buf[64];
  EXPECT_EQ(loc.In(second, kPipeIn, buf, 8, &moved, 100), BusStatus::kBabble);
  ASSERT_EQ(loc.Out(second, kPipeOut, req.data(), 16, &moved, 100), BusStatus::kOk);
  EXPECT_EQ(loc.In(second, kPipeOut, buf, 64, &moved, 100), BusStatus::kError);
  EXPECT_EQ(loc.In(second, kPipeIn, buf, 64, &moved, 100), BusStatus::kOk);
  EXPECT_EQ(moved, 16u);
  // No request pending: the IN waits out its time-out.
  EXPECT_EQ(loc.In(second, kPipeIn, buf, 64, &moved, 20), BusStatus::kTimeout);
}

namespace {
// " vid:pid" as EventRecorder writes it.
std::string VidPid(uint16_t pid) {
  char buf[32];
  std::snprintf(buf, sizeof buf, " %u:%u", unsigned(kDefaultVendorId), unsigned(pid));
  return buf;
}

// Records plug events in order and lets a test wait for a count of them.
struct EventRecorder {
  std::mutex mu;
  std::condition_variable cv;
  std::vector<std::string> events;
  BusListener Listener() {
    return BusListener{[this](uint64_t id, uint16_t vid, uint16_t pid) {
                         Add("plug " + std::to_string(id) + " " + std::to_string(vid) + ":" + std::to_string(pid));
                       },
                       [this](uint64_t id) { Add("unplug " + std::to_string(id)); }};
  }
  void Add(const std::string& e) {
    std::lock_guard<std::mutex> l(mu);
    events.push_back(e);
    cv.notify_all();
  }
  bool WaitFor(size_t count, int seconds = 20) {
    std::unique_lock<std::mutex> l(mu);
    return cv.wait_for(l, std::chrono::seconds(seconds), [&] { return events.size() >= count; });
  }
  std::vector<std::string> Get() {
    std::lock_guard<std::mutex> l(mu);
    return events;
  }
};
}  // namespace

TEST(LoaderPlug, ListenerSeesPresencesInOrder) {
  LocatorConfig cfg;
  cfg.productId = 1;
  cfg.bPlugged = true;
  Locator loc(cfg);
  EventRecorder rec;
  loc.SetListener(rec.Listener());  // the present device is reported at once
  const std::string vp = VidPid(1);
  loc.Unplug();
  loc.Unplug();
  loc.PlugAfter(0, 30);
  ASSERT_TRUE(rec.WaitFor(4));
  EXPECT_EQ(rec.Get(), (std::vector<std::string>{"plug 1" + vp, "unplug 1", "plug 2" + vp, "unplug 2"}));
  EXPECT_FALSE(loc.IsPlugged());
}

TEST(LoaderPlug, ListenerMayCallBackIntoTheLocator) {
  Locator loc;
  std::vector<uint64_t> seen;
  loc.SetListener(BusListener{[&](uint64_t id, uint16_t, uint16_t) {
                                seen.push_back(id);
                                if (loc.DeviceId() == id && id == 1) loc.Unplug();  // no lock is held
                              },
                              [&](uint64_t id) { seen.push_back(100 + id); }});
  loc.Plug();
  EXPECT_EQ(seen, (std::vector<uint64_t>{1, 101}));
  EXPECT_FALSE(loc.IsPlugged());
}

TEST(LoaderPlug, DestructorDoesNotWaitForTheSchedule) {
  auto loc = std::make_unique<Locator>();
  loc->PlugAfter(600000, 600000);
  loc.reset();  // returns at once: a hang fails the test by its time-out
  SUCCEED();
}

// A waiting IN ends when the locator goes (gone: here it waits for a request never
// answered) or when the waits are aborted (a time-out; the locator stays).
TEST(LoaderPlug, UnplugAndAbortWaitsEndAWaitingTransfer) {
  for (const bool bUnplug : {true, false}) {
    Fixture f;
    if (bUnplug) {
      f.loc.AddFault(ParseFault("noanswer@x=1").value());
      const std::vector<uint8_t> req = ToBytes(WithSum({3, 3, CMD_ERASE_STATUS}));
      uint32_t moved = 0;
      ASSERT_EQ(f.loc.Out(f.loc.DeviceId(), kPipeOut, req.data(), 16, &moved, 1000), BusStatus::kOk);
    }
    std::thread ender([&] {
      // Once the IN is surely waiting (that it started is not visible): the IN's long
      // time-out bounds the test.
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
      bUnplug ? f.loc.Unplug() : f.loc.AbortWaits();
    });
    EXPECT_EQ(f.In(60000), bUnplug ? BusStatus::kGone : BusStatus::kTimeout) << bUnplug;
    ender.join();
    EXPECT_EQ(f.loc.IsPlugged(), !bUnplug);
  }
}

TEST(LoaderProductionLine, FreshLocatorAfterTheClosingRecord) {
  Locator loc;
  EventRecorder rec;
  loc.SetListener(rec.Listener());
  // The unplug follows the closing record by 500 ms: time enough for its answer to be
  // fetched however slowly the test runs.
  loc.SetProductionLine(true, 500, 20);
  loc.Plug();
  const uint64_t id = loc.DeviceId();
  ASSERT_EQ(Exchange(loc, id, WriteFlashRequest(0x8000, 0, {0})).Result(), 0u);
  ASSERT_EQ(Exchange(loc, id, WriteEepromRequest(0x1010, {7, 0x1234, 0, 4})).Result(), 0u);
  ASSERT_EQ(Exchange(loc, id, WriteEepromRequest(0x1000, {1, 7, 0})).Result(), 0u);
  ASSERT_TRUE(rec.WaitFor(3));
  const std::string vp = VidPid(9);
  EXPECT_EQ(rec.Get(), (std::vector<std::string>{"plug 1" + vp, "unplug 1", "plug 2" + vp}));
  EXPECT_EQ(loc.FlashUnit(0x8000), 0xFFFF);
  EXPECT_EQ(loc.EepromBytes(0x1000, 1), std::vector<uint8_t>{0xFF});
  // Without production-line mode the record changes nothing about the presence.
  loc.SetProductionLine(false);
  ASSERT_EQ(Exchange(loc, loc.DeviceId(), WriteEepromRequest(0x1000, {1, 7, 0})).Result(), 0u);
  EXPECT_EQ(loc.DeviceId(), 2u);
}

TEST(LoaderRecords, TraceFileDumpsCountersAndEvents) {
  Fixture f;
  std::vector<std::string> log;
  std::mutex logMu;
  f.loc.SetEventLog([&](const std::string& s) {
    std::lock_guard<std::mutex> l(logMu);
    log.push_back(s);
  });
  const std::string tracePath = vxtest::TempName("trace.txt");
  ASSERT_TRUE(f.loc.SetTraceFile(tracePath));
  ASSERT_TRUE(f.EraseNow(0x8000));
  for (uint32_t k = 0; k < 3; ++k) ASSERT_EQ(f.X(WriteFlashRequest(0x8000, 128 * k, std::vector<uint32_t>(64, 0x01020304 + k))).Result(), 0u);
  ASSERT_EQ(f.X({5, 4, CMD_FLASH_CRC, 0x8000, 384}).Result(), 0u);
  ASSERT_EQ(f.X(WriteEepromRequest(0x1000, {1, 7, 0})).Result(), 0u);
  EXPECT_EQ(f.loc.ExchangeCount(), 7u);
  EXPECT_EQ(f.loc.CommandCount(CMD_WRITE_FLASH), 3u);
  EXPECT_EQ(f.loc.CommandCount(CMD_ERASE_STATUS), 1u);
  EXPECT_EQ(f.loc.CommandCount(CMD_READ_FLASH), 0u);

  {
    std::lock_guard<std::mutex> l(logMu);
    auto has = [&](const std::string& s) { return std::find(log.begin(), log.end(), s) != log.end(); };
    for (const char* line : {"erase sector 0x8000", "wrote 64 words at 0x8000+0x0",
                             "wrote 3 blocks of flash (192 words) at 0x8000+0x0 to 0x8000+0x100",
                             "EEPROM write of 12 bytes at 0x1000"})
      EXPECT_TRUE(has(line)) << line;
    EXPECT_FALSE(has("wrote 64 words at 0x8000+0x80"));  // runs are summarised
  }

  const std::vector<std::string> lines = FileLines(tracePath);
  ASSERT_EQ(lines.size(), 14u);
  EXPECT_EQ(lines[0], "OUT 20: 00000004 00000003 00000194 00008000 0000819B");
  EXPECT_EQ(lines[1], "IN 16: 00000003 00000001 00000000 00000004");
  EXPECT_EQ(f.loc.Trace().size(), 14u);
  f.loc.ClearTrace();
  EXPECT_TRUE(f.loc.Trace().empty());

  const std::string flashPath = vxtest::TempName("flash.bin"), eepromPath = vxtest::TempName("eeprom.bin");
  ASSERT_TRUE(f.loc.DumpFlash(flashPath));
  ASSERT_TRUE(f.loc.DumpEeprom(eepromPath));
  const std::vector<uint8_t> flash = FileBytes(flashPath), eeprom = FileBytes(eepromPath);
  ASSERT_EQ(flash.size(), size_t(kFlashUnits) * 2);
  ASSERT_EQ(eeprom.size(), size_t(kEepromBytes));
  EXPECT_EQ(std::vector<uint8_t>(flash.begin() + 0x10000, flash.begin() + 0x10004), (std::vector<uint8_t>{4, 3, 2, 1}));
  EXPECT_EQ(flash[0x10000 + 256 * 3], 0xFF);
  EXPECT_EQ(std::vector<uint8_t>(eeprom.begin() + 0x1000, eeprom.begin() + 0x1005), (std::vector<uint8_t>{1, 0, 0, 0, 7}));
  EXPECT_FALSE(f.loc.DumpFlash("/nonexistent-dir/x/flash.bin"));
  for (const std::string& path : {tracePath, flashPath, eepromPath}) std::remove(path.c_str());
}

TEST(LoaderThreads, ConcurrentHostAndObservers) {
  Fixture f;
  std::atomic<bool> bDone{false};
  std::thread observer([&] {
    while (!bDone) {
      (void)f.loc.Trace();
      (void)f.loc.FlashCrc(0x8000, 64);
      (void)f.loc.DeviceId();
      (void)f.loc.ExchangeCount();
      std::this_thread::yield();
    }
  });
  std::thread plugger([&] {
    for (int i = 0; i < 20; ++i) {
      f.loc.SetInterface(f.loc.DeviceId(), 0, 0);
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  });
  for (uint32_t k = 0; k < 50; ++k) EXPECT_EQ(f.X(WriteFlashRequest(0x8000, 2 * k, {0x0000FFFF})).Result(), 0u);
  bDone = true;
  observer.join();
  plugger.join();
  EXPECT_EQ(f.loc.FlashUnit(0x8000), 0xFFFF);
  EXPECT_EQ(f.loc.FlashUnit(0x8001), 0x0000);
  EXPECT_EQ(f.loc.CommandCount(CMD_WRITE_FLASH), 50u);
}

// The timing model's arithmetic: link times by packet and frame count, the time charged to
// each exchange of a timed locator, and the floor of a trace (from memory and from its file).
TEST(LoaderTiming, ChargedTimesAndTheFloorOfAKnownTrace) {
  struct LinkCase {
    LinkSpeed link;
    uint32_t bytes;
    uint64_t ns;
  } links[] = {
      {LinkSpeed::kNone, 284, 0},          {LinkSpeed::kFull, 0, 1'000'000},    {LinkSpeed::kFull, 16, 1'000'000},
      {LinkSpeed::kFull, 1216, 1'000'000}, {LinkSpeed::kFull, 1217, 2'000'000}, {LinkSpeed::kHigh, 512, 125'000},
      {LinkSpeed::kHigh, 6656, 125'000},   {LinkSpeed::kHigh, 6657, 250'000},
  };
  for (const LinkCase& c : links) EXPECT_EQ(LinkTransferNs(c.link, c.bytes), c.ns) << LinkName(c.link) << " " << c.bytes;
  for (const char* name : {"none", "fs", "hs"}) EXPECT_STREQ(LinkName(*ParseLink(name)), name);
  EXPECT_FALSE(ParseLink("ls"));

  LocatorConfig cfg;
  cfg.timing = TimingModel{LinkSpeed::kHigh, 1000, 150, 0};
  Fixture f(cfg);
  const std::string tracePath = vxtest::TempName("timed_trace.txt");
  ASSERT_TRUE(f.loc.SetTraceFile(tracePath));
  ASSERT_TRUE(f.EraseNow(0x8000));  // erase, one status request
  ASSERT_EQ(f.X(WriteFlashRequest(0x8000, 0, std::vector<uint32_t>(64, 1))).Result(), 0u);
  ASSERT_EQ(f.X(WriteFlashRequest(0x8000, 128, std::vector<uint32_t>(32, 1))).Result(), 0u);
  ASSERT_EQ(f.X({5, 4, CMD_FLASH_CRC, 0x8000, 192}).Result(), 0u);
  EXPECT_EQ(f.X({5, 4, CMD_FLASH_CRC, kFlashUnits, 2}).Result(), kResultBadAddress);  // refused: no work
  ASSERT_EQ(f.X({3, 3, CMD_ERASE_STATUS}).Result(), 1u);

  const uint64_t kExchange = 250'000;  // one microframe each way
  const std::vector<uint64_t> charged{kExchange,           kExchange,           kExchange + 1'000'000,
                                      kExchange + 500'000, kExchange + 28'800,  kExchange,
                                      kExchange};
  std::vector<uint64_t> seen;
  const std::vector<TraceEntry> trace = f.loc.Trace();
  for (const TraceEntry& e : trace)
    if (!e.bOut) seen.push_back(e.chargedNs);
  EXPECT_EQ(seen, charged);

  std::vector<TraceEntry> fromFile;
  for (const std::string& line : FileLines(tracePath)) {
    std::optional<TraceEntry> e = ParseTraceLine(line);
    ASSERT_TRUE(e) << line;
    fromFile.push_back(*e);
  }
  ASSERT_EQ(fromFile.size(), trace.size());
  for (size_t i = 0; i < trace.size(); ++i) {
    EXPECT_EQ(fromFile[i].bOut, trace[i].bOut) << i;
    EXPECT_EQ(fromFile[i].bytes, trace[i].bytes) << i;
    EXPECT_EQ(fromFile[i].words, trace[i].words) << i;
    EXPECT_EQ(fromFile[i].chargedNs, trace[i].chargedNs) << i;
  }
  for (const auto& floor : {FloorOfTrace(trace), FloorOfTrace(fromFile)}) {
    EXPECT_EQ(floor.exchanges, 7u);
    EXPECT_EQ(floor.statusRequests, 2u);
    EXPECT_EQ(floor.exchangeNs, 7 * kExchange + 1'528'800);
    EXPECT_EQ(floor.TotalNs(), 2 * 100'000'000 + 7 * kExchange + 1'528'800);
  }
  EXPECT_FALSE(ParseTraceLine("IN 16: 00000003 00000001 ; 12 us"));
  EXPECT_FALSE(ParseTraceLine("erase sector 0x8000"));
  std::remove(tracePath.c_str());

  // Seeded erase times: within [typical/2, 2*typical], the same sequence for the same seed.
  uint64_t a = 7, b = 7, c = 8;
  bool bDiffers = false;
  for (int i = 0; i < 200; ++i) {
    const uint32_t ms = DrawEraseMs(700, &a);
    EXPECT_GE(ms, 350u);
    EXPECT_LE(ms, 1400u);
    EXPECT_EQ(DrawEraseMs(700, &b), ms);
    bDiffers |= DrawEraseMs(700, &c) != ms;
  }
  EXPECT_TRUE(bDiffers);
  EXPECT_EQ(DrawEraseMs(0, &a), 0u);
}
