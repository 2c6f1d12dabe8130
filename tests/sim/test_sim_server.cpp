// The simulator's socket server driven by a client written here from the protocol, and
// the vx_locator_sim program started as a process.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>

#include "net/net.h"
#include "sim/server.h"
#include "tests/sim/frames.h"
#include "tests/support/firmware_folder.h"

#if !defined(_WIN32)
#include <csignal>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/support/child_process.h"
#endif

using namespace vxsim;
using namespace simtest;

namespace {

constexpr uint32_t kReadTimeoutMs = 20000;  // a client read that fails instead of hanging

uint32_t Le32(const uint8_t* p) {
  return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

struct Msg {
  uint32_t type = 0;
  std::vector<uint8_t> payload;
  uint32_t U32(size_t at) const { return Le32(payload.data() + at); }
  uint64_t U64(size_t at) const { return uint64_t(U32(at)) | uint64_t(U32(at + 4)) << 32; }
};

// Little-endian fields of a message: a uint32_t takes 4 bytes, a uint64_t 8.
void Put(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Put(std::vector<uint8_t>& b, uint64_t v) {
  Put(b, uint32_t(v));
  Put(b, uint32_t(v >> 32));
}
template <class... T>
std::vector<uint8_t> Fields(T... v) {
  std::vector<uint8_t> b;
  (Put(b, v), ...);
  return b;
}

// A message as the tests compare it: its type, then for RESULT the seq, status and bytes
// moved, for ATTACH and DETACH the device id; empty once the connection has ended.
using Heard = std::vector<uint64_t>;

class Client {
 public:
  explicit Client(const std::string& endpoint) : h_(net::Connect(endpoint, &error_)) {
    if (Ok()) net::SetRecvTimeout(h_, kReadTimeoutMs);
  }
  ~Client() { net::Close(h_); }
  bool Ok() const { return h_ != net::kInvalid; }
  const std::string& Error() const { return error_; }
  bool Send(uint32_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> m = Fields(type, uint32_t(payload.size()));
    m.insert(m.end(), payload.begin(), payload.end());
    return SendRaw(m);
  }
  bool SendRaw(const std::vector<uint8_t>& bytes) { return net::SendAll(h_, bytes.data(), bytes.size()); }
  std::optional<Msg> Read() {
    uint8_t header[8];
    if (!net::RecvAll(h_, header, 8)) return std::nullopt;
    Msg m{Le32(header), std::vector<uint8_t>(Le32(header + 4))};
    if (!m.payload.empty() && !net::RecvAll(h_, m.payload.data(), m.payload.size())) return std::nullopt;
    return m;
  }
  Heard Next() {
    const std::optional<Msg> m = Read();
    if (!m) return {};
    if (m->type == kMsgResult) return {m->type, m->U32(0), m->U32(4), m->U32(8)};
    if (m->type == kMsgAttach || m->type == kMsgDetach) return {m->type, m->U64(0)};
    return {m->type};
  }
  // HELLO, then the ATTACH of a present locator: its device id.
  uint64_t Hello() { return Send(kMsgHello, Fields(kProtocolVersion)) ? ReadAttach() : 0; }
  // An ATTACH: its device id (0 when the next message is not one), its descriptor kept.
  uint64_t ReadAttach() {
    const std::optional<Msg> m = Read();
    if (!m || m->type != kMsgAttach || m->payload.size() != 26) return 0;
    descriptor.assign(m->payload.begin() + 8, m->payload.end());
    return m->U64(0);
  }
  bool SendOut(uint32_t seq, uint64_t id, const std::vector<uint8_t>& data, uint32_t timeoutMs = 3000) {
    std::vector<uint8_t> p = Fields(seq, id, uint32_t{kPipeOut}, timeoutMs);
    p.insert(p.end(), data.begin(), data.end());
    return Send(kMsgOut, p);
  }
  bool SendIn(uint32_t seq, uint64_t id, uint32_t count, uint32_t timeoutMs = 3000) {
    return Send(kMsgIn, Fields(seq, id, uint32_t{kPipeIn}, count, timeoutMs));
  }
  bool SendSetIf(uint32_t seq, uint64_t id, uint32_t iface) { return Send(kMsgSetIf, Fields(seq, id, iface, 0u)); }
  // One request over the socket: the response words (empty on any failure).
  std::vector<uint32_t> Exchange(uint32_t seq, uint64_t id, const std::vector<uint32_t>& request) {
    if (!SendOut(seq, id, ToBytes(WithSum(request))) || !SendIn(seq + 1, id, (request[1] + 1) * 4)) return {};
    const std::optional<Msg> out = Read(), in = Read();
    if (!out || !in || out->type != kMsgResult || in->type != kMsgResult) return {};
    if (out->U32(0) != seq || out->U32(4) != 0 || in->U32(0) != seq + 1 || in->U32(4) != 0) return {};
    return ToWords(in->payload.data() + 12, in->U32(8));
  }

  std::vector<uint8_t> descriptor;  // of the last ATTACH read

 private:
  std::string error_;
  net::Handle h_ = net::kInvalid;
};

std::vector<std::string> Endpoints() {
#if defined(_WIN32)
  return {"tcp:0"};
#else
  return {vxtest::TempName("s.sock"), "tcp:0"};
#endif
}

}  // namespace

class ServerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    loc.Plug();
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
  }
  // Hello, then a request the locator never answers: its OUT's result has come, its IN
  // (seq 2) waits. The device id, or 0 when a step failed.
  uint64_t HelloWithAWaitingIn(Client& c) {
    loc.AddFault(ParseFault("noanswer@x=1").value());
    const uint64_t id = c.Hello();
    if (!id || !c.SendOut(1, id, ToBytes(WithSum({3, 3, 405}))) || !c.SendIn(2, id, 16, 600000)) return 0;
    return c.Next() == Heard{kMsgResult, 1, 0, 16} ? id : 0;
  }
  Locator loc;
  Server server{loc, Endpoints()[size_t(GetParam())]};
};

TEST_P(ServerTest, HelloAttachTransfersAndPlugEvents) {
  Client c(server.Endpoint());
  ASSERT_TRUE(c.Ok()) << c.Error();
  const uint64_t id = c.Hello();
  ASSERT_EQ(id, loc.DeviceId());
  const std::vector<uint8_t>& d = c.descriptor;  // length, type, vendor, product
  EXPECT_EQ((std::vector<int>{d[0], d[1], d[8] | d[9] << 8, d[10] | d[11] << 8}),
            (std::vector<int>{18, 1, kDefaultVendorId, 9}));

  ASSERT_TRUE(c.SendSetIf(7, id, 0));
  EXPECT_EQ(c.Next(), (Heard{kMsgResult, 7, 0, 0}));
  EXPECT_EQ(c.Exchange(10, id, {3, 3, 405}), WithSum({3, 1, 0}));
  EXPECT_EQ(c.Exchange(12, id, WriteFlashRequest(0x8000, 0, {0x00120034})), WithSum({3, 0, 0}));
  EXPECT_EQ(loc.FlashUnit(0x8000), 0x0034);

  loc.Unplug();
  EXPECT_EQ(c.Next(), (Heard{kMsgDetach, id}));
  loc.Plug();
  const uint64_t id2 = c.ReadAttach();
  ASSERT_NE(id2, 0u);
  EXPECT_NE(id2, id);
  // The old presence is gone for transfers.
  ASSERT_TRUE(c.SendOut(20, id, ToBytes(WithSum({3, 3, 405}))));
  EXPECT_EQ(c.Next(), (Heard{kMsgResult, 20, 2, 0}));
  EXPECT_EQ(c.Exchange(21, id2, {3, 3, 405}), WithSum({3, 1, 0}));
}

TEST_P(ServerTest, InterfaceSelectionIsNotHeldUpByAWaitingTransfer) {
  Client c(server.Endpoint());
  ASSERT_TRUE(c.Ok()) << c.Error();
  const uint64_t id = HelloWithAWaitingIn(c);
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(c.SendSetIf(3, id, 0));
  EXPECT_EQ(c.Next(), (Heard{kMsgResult, 3, 0, 0}));
  // Unplugging ends the waiting IN with "gone", before its DETACH or after it.
  loc.Unplug();
  std::vector<Heard> heard{c.Next(), c.Next()};
  std::sort(heard.begin(), heard.end());
  EXPECT_EQ(heard, (std::vector<Heard>{{kMsgDetach, id}, {kMsgResult, 2, 2, 0}}));
}

TEST_P(ServerTest, NextClientIsServedAfterOneDiesMidTransfer) {
  {
    Client c(server.Endpoint());
    ASSERT_NE(HelloWithAWaitingIn(c), 0u);
  }  // dies with the IN pending
  {
    // Half a message, then gone: nothing reaches the locator.
    Client c(server.Endpoint());
    ASSERT_NE(c.Hello(), 0u);
    ASSERT_TRUE(c.SendRaw(Fields(uint32_t{kMsgOut}, 100u, 5u)));
  }
  {
    Client c(server.Endpoint());
    const uint64_t id = c.Hello();
    ASSERT_EQ(id, loc.DeviceId());
    EXPECT_EQ(c.Exchange(1, id, WriteFlashRequest(0x8000, 0, {0})), WithSum({3, 0, 0}));
    EXPECT_EQ(loc.ExchangeCount(), 2u);
  }
  // A client that breaks the protocol is dropped.
  Client bad(server.Endpoint());
  ASSERT_TRUE(bad.Send(kMsgHello, Fields(kProtocolVersion + 1)));
  EXPECT_FALSE(bad.Read().has_value());
}

TEST_P(ServerTest, StopEndsAConnectionWithAWaitingTransfer) {
  Client c(server.Endpoint());
  ASSERT_NE(HelloWithAWaitingIn(c), 0u);
  server.Stop();  // returns although the IN would wait ten minutes
  Heard m;
  while (!(m = c.Next()).empty() && m[0] == kMsgResult) {
  }
  EXPECT_TRUE(m.empty());  // the connection was closed
  Client late(server.Endpoint());
  EXPECT_FALSE(late.Ok() && late.Hello() != 0);
}

INSTANTIATE_TEST_SUITE_P(Endpoints, ServerTest, ::testing::Range(0, int(Endpoints().size())),
                         [](const ::testing::TestParamInfo<int>& info) {
                           return Endpoints()[size_t(info.param)].rfind("tcp:", 0) == 0 ? std::string("Tcp")
                                                                                        : std::string("Unix");
                         });

TEST(ServerStart, RefusesAnEndpointItCannotHave) {
  Locator loc;
  std::string error;
  Server bad(loc, "tcp:99999");
  EXPECT_FALSE(bad.Start(&error));
  EXPECT_NE(error.find("tcp:99999"), std::string::npos);
  Server first(loc, "tcp:0");
  ASSERT_TRUE(first.Start(&error)) << error;
  Server second(loc, first.Endpoint());  // taken
  EXPECT_FALSE(second.Start(&error));
}

#if !defined(_WIN32)
TEST(Program, ServesAndWritesItsDumpsOnSigterm) {
  const std::string dir = vxtest::TempName("prog");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string sock = dir + "/sim.sock", flash = dir + "/flash.bin", eeprom = dir + "/eeprom.bin",
                    trace = dir + "/trace.txt";
  ChildProcess::Options options;
  options.argv = {VX_LOCATOR_SIM_PATH, "--socket", sock,  "--plug-delay", "0",    "--fast",
                  "--dump-flash",      flash,      "--dump-eeprom", eeprom, "--trace", trace};
  ChildProcess sim(options);
  ASSERT_TRUE(sim.WaitFor("listening", int(kReadTimeoutMs))) << sim.Output();
  {
    Client c(sock);  // the locator is plugged in at once
    const uint64_t id = c.Hello();
    ASSERT_NE(id, 0u);
    EXPECT_EQ(c.Exchange(1, id, WriteEepromRequest(0x1000, {1, 7, 0})), WithSum({3, 0, 0}));
    EXPECT_EQ(c.Exchange(3, id, {4, 3, 404, 0x8000}), WithSum({3, 1, 0}));
    EXPECT_EQ(c.Exchange(5, id, WriteFlashRequest(0x8000, 0, {0x34333231})), WithSum({3, 0, 0}));
  }
  const int status = sim.Stop(SIGTERM);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::vector<uint8_t> f = FileBytes(flash), e = FileBytes(eeprom);
  ASSERT_EQ(f.size(), size_t(kFlashUnits) * 2);
  ASSERT_EQ(e.size(), size_t(kEepromBytes));
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 0x10000, f.begin() + 0x10005), (std::vector<uint8_t>{'1', '2', '3', '4', 0xFF}));
  EXPECT_EQ(std::vector<uint8_t>(e.begin() + 0x1000, e.begin() + 0x100D),
            (std::vector<uint8_t>{1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
  EXPECT_EQ(FileLines(trace).at(0),
            "OUT 36: 00000008 00000003 00000385 0000000C 00001000 00000001 00000007 00000000 000013A4");
  const std::string text = sim.Output();
  EXPECT_EQ(text.rfind("[sim] listening on " + sock, 0), 0u) << text;
  for (const std::string& line :
       std::vector<std::string>{"[sim] locator plugged in (product 9", "[sim] erase sector 0x8000\n",
                                "[sim] wrote 1 word at 0x8000+0x0\n", "[sim] EEPROM write of 12 bytes at 0x1000\n",
                                "[sim] flash written to " + flash})
    EXPECT_NE(text.find(line), std::string::npos) << line << " in:\n" << text;
  for (const std::string& p : {flash, eeprom, trace}) std::remove(p.c_str());
  struct stat st;
  EXPECT_NE(lstat(sock.c_str(), &st), 0);  // the socket is removed on exit
  rmdir(dir.c_str());
}
#else
TEST(Program, ServesAndWritesItsDumpsOnSigterm) {
  GTEST_SKIP() << "starts the program and stops it with SIGTERM: POSIX only";
}
#endif
