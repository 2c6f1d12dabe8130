// The simulator's socket server driven by a client written here from the protocol, and
// the vx_locator_sim program started as a process.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <thread>

#include "sim/net.h"
#include "sim/server.h"
#include "tests/sim/frames.h"

#if !defined(_WIN32)
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

using namespace vxsim;
using namespace simtest;

namespace {

constexpr uint32_t kReadTimeoutMs = 20000;  // a client read that fails instead of hanging

struct Msg {
  uint32_t type = 0;
  std::vector<uint8_t> payload;
  uint32_t U32(size_t at) const {
    return uint32_t(payload[at]) | uint32_t(payload[at + 1]) << 8 | uint32_t(payload[at + 2]) << 16 |
           uint32_t(payload[at + 3]) << 24;
  }
  uint64_t U64(size_t at) const { return uint64_t(U32(at)) | uint64_t(U32(at + 4)) << 32; }
};

void Put32(std::vector<uint8_t>& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(uint8_t(v >> (8 * i)));
}
void Put64(std::vector<uint8_t>& b, uint64_t v) {
  Put32(b, uint32_t(v));
  Put32(b, uint32_t(v >> 32));
}

class Client {
 public:
  explicit Client(const std::string& endpoint) {
    std::string error;
    h_ = net::Connect(endpoint, &error);
    if (h_ != net::kInvalid) net::SetRecvTimeout(h_, kReadTimeoutMs);
    error_ = error;
  }
  ~Client() { Drop(); }
  bool Ok() const { return h_ != net::kInvalid; }
  const std::string& Error() const { return error_; }
  void Drop() {
    net::Close(h_);
    h_ = net::kInvalid;
  }
  bool Send(uint32_t type, const std::vector<uint8_t>& payload) {
    std::vector<uint8_t> m;
    Put32(m, type);
    Put32(m, uint32_t(payload.size()));
    m.insert(m.end(), payload.begin(), payload.end());
    return net::SendAll(h_, m.data(), m.size());
  }
  bool SendRaw(const std::vector<uint8_t>& bytes) { return net::SendAll(h_, bytes.data(), bytes.size()); }
  std::optional<Msg> Read() {
    uint8_t header[8];
    if (!net::RecvAll(h_, header, 8)) return std::nullopt;
    Msg m;
    m.type = uint32_t(header[0]) | uint32_t(header[1]) << 8 | uint32_t(header[2]) << 16 | uint32_t(header[3]) << 24;
    const uint32_t len = uint32_t(header[4]) | uint32_t(header[5]) << 8 | uint32_t(header[6]) << 16 | uint32_t(header[7]) << 24;
    m.payload.resize(len);
    if (len && !net::RecvAll(h_, m.payload.data(), len)) return std::nullopt;
    return m;
  }
  // HELLO, then the ATTACH of a present locator: its device id.
  uint64_t Hello() {
    std::vector<uint8_t> p;
    Put32(p, 1);
    if (!Send(kMsgHello, p)) return 0;
    std::optional<Msg> m = Read();
    if (!m || m->type != kMsgAttach || m->payload.size() != 26) return 0;
    return m->U64(0);
  }
  bool SendOut(uint32_t seq, uint64_t id, const std::vector<uint8_t>& data, uint32_t timeoutMs = 3000) {
    std::vector<uint8_t> p;
    Put32(p, seq);
    Put64(p, id);
    Put32(p, kPipeOut);
    Put32(p, timeoutMs);
    p.insert(p.end(), data.begin(), data.end());
    return Send(kMsgOut, p);
  }
  bool SendIn(uint32_t seq, uint64_t id, uint32_t count, uint32_t timeoutMs = 3000) {
    std::vector<uint8_t> p;
    Put32(p, seq);
    Put64(p, id);
    Put32(p, kPipeIn);
    Put32(p, count);
    Put32(p, timeoutMs);
    return Send(kMsgIn, p);
  }
  bool SendSetIf(uint32_t seq, uint64_t id, uint32_t iface) {
    std::vector<uint8_t> p;
    Put32(p, seq);
    Put64(p, id);
    Put32(p, iface);
    Put32(p, 0);
    return Send(kMsgSetIf, p);
  }
  // One request over the socket: the response words (empty on any failure).
  std::vector<uint32_t> Exchange(uint32_t seq, uint64_t id, const std::vector<uint32_t>& request) {
    if (!SendOut(seq, id, ToBytes(WithSum(request))) || !SendIn(seq + 1, id, (request[1] + 1) * 4)) return {};
    std::optional<Msg> out = Read();
    std::optional<Msg> in = Read();
    if (!out || !in || out->type != kMsgResult || in->type != kMsgResult) return {};
    if (out->U32(0) != seq || out->U32(4) != 0 || in->U32(0) != seq + 1 || in->U32(4) != 0) return {};
    return ToWords(in->payload.data() + 12, in->U32(8));
  }

 private:
  net::Handle h_ = net::kInvalid;
  std::string error_;
};

std::string TempDir() {
  const char* dir = std::getenv("TMPDIR");
#if defined(_WIN32)
  if (!dir) dir = std::getenv("TEMP");
#endif
  return dir ? dir : "/tmp";
}

std::string UniqueName(const std::string& stem) {
  static std::atomic<int> counter{0};
#if defined(_WIN32)
  const long pid = 0;
#else
  const long pid = long(getpid());
#endif
  return TempDir() + "/vxsim_" + std::to_string(pid) + "_" + std::to_string(counter++) + "_" + stem;
}

std::vector<std::string> Endpoints() {
#if defined(_WIN32)
  (void)&UniqueName;
  return {"tcp:0"};
#else
  return {UniqueName("s.sock"), "tcp:0"};
#endif
}

}  // namespace

class ServerTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    LocatorConfig cfg;
    cfg.bPlugged = true;
    loc = std::make_unique<Locator>(cfg);
    server = std::make_unique<Server>(*loc, Endpoints()[size_t(GetParam())]);
    std::string error;
    ASSERT_TRUE(server->Start(&error)) << error;
  }
  void TearDown() override {
    if (server) server->Stop();
  }
  std::unique_ptr<Locator> loc;
  std::unique_ptr<Server> server;
};

TEST_P(ServerTest, HelloAttachTransfersAndPlugEvents) {
  Client c(server->Endpoint());
  ASSERT_TRUE(c.Ok()) << c.Error();
  std::vector<uint8_t> hello;
  Put32(hello, 1);
  ASSERT_TRUE(c.Send(kMsgHello, hello));
  std::optional<Msg> attach = c.Read();
  ASSERT_TRUE(attach.has_value());
  ASSERT_EQ(attach->type, uint32_t(kMsgAttach));
  ASSERT_EQ(attach->payload.size(), 26u);
  const uint64_t id = attach->U64(0);
  EXPECT_EQ(id, loc->DeviceId());
  const std::vector<uint8_t> descriptor(attach->payload.begin() + 8, attach->payload.end());
  EXPECT_EQ(descriptor[0], 18);
  EXPECT_EQ(descriptor[1], 1);
  EXPECT_EQ(descriptor[8] | descriptor[9] << 8, kDefaultVendorId);
  EXPECT_EQ(descriptor[10] | descriptor[11] << 8, 9);

  ASSERT_TRUE(c.SendSetIf(7, id, 0));
  std::optional<Msg> r = c.Read();
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->type, uint32_t(kMsgResult));
  EXPECT_EQ(r->U32(0), 7u);
  EXPECT_EQ(r->U32(4), 0u);

  EXPECT_EQ(c.Exchange(10, id, {3, 3, 405}), WithSum({3, 1, 0}));
  EXPECT_EQ(c.Exchange(12, id, WriteFlashRequest(0x8000, 0, {0x00120034})), WithSum({3, 0, 0}));
  EXPECT_EQ(loc->FlashUnit(0x8000), 0x0034);

  loc->Unplug();
  std::optional<Msg> detach = c.Read();
  ASSERT_TRUE(detach.has_value());
  EXPECT_EQ(detach->type, uint32_t(kMsgDetach));
  EXPECT_EQ(detach->U64(0), id);
  loc->Plug();
  std::optional<Msg> again = c.Read();
  ASSERT_TRUE(again.has_value());
  EXPECT_EQ(again->type, uint32_t(kMsgAttach));
  const uint64_t id2 = again->U64(0);
  EXPECT_NE(id2, id);
  // The old presence is gone for transfers.
  ASSERT_TRUE(c.SendOut(20, id, ToBytes(WithSum({3, 3, 405}))));
  std::optional<Msg> gone = c.Read();
  ASSERT_TRUE(gone.has_value());
  EXPECT_EQ(gone->U32(0), 20u);
  EXPECT_EQ(gone->U32(4), 2u);
  EXPECT_EQ(gone->U32(8), 0u);
  EXPECT_EQ(c.Exchange(21, id2, {3, 3, 405}), WithSum({3, 1, 0}));
}

TEST_P(ServerTest, InterfaceSelectionIsNotHeldUpByAWaitingTransfer) {
  loc->AddFault(*ParseFault("noanswer@x=1"));
  Client c(server->Endpoint());
  ASSERT_TRUE(c.Ok()) << c.Error();
  const uint64_t id = c.Hello();
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(c.SendOut(1, id, ToBytes(WithSum({3, 3, 405}))));
  std::optional<Msg> outResult = c.Read();
  ASSERT_TRUE(outResult.has_value());
  EXPECT_EQ(outResult->U32(0), 1u);
  ASSERT_TRUE(c.SendIn(2, id, 16, 60000));  // waits: the request is never answered
  ASSERT_TRUE(c.SendSetIf(3, id, 0));
  std::optional<Msg> setIf = c.Read();
  ASSERT_TRUE(setIf.has_value());
  EXPECT_EQ(setIf->U32(0), 3u);
  EXPECT_EQ(setIf->U32(4), 0u);
  // Unplugging ends the waiting IN with "gone", before its DETACH or after it.
  loc->Unplug();
  bool bGone = false, bDetach = false;
  for (int i = 0; i < 2; ++i) {
    std::optional<Msg> m = c.Read();
    ASSERT_TRUE(m.has_value());
    if (m->type == kMsgResult) bGone = m->U32(0) == 2 && m->U32(4) == 2;
    if (m->type == kMsgDetach) bDetach = m->U64(0) == id;
  }
  EXPECT_TRUE(bGone);
  EXPECT_TRUE(bDetach);
}

TEST_P(ServerTest, NextClientIsServedAfterOneDiesMidTransfer) {
  loc->AddFault(*ParseFault("noanswer@x=1"));
  {
    Client c(server->Endpoint());
    const uint64_t id = c.Hello();
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(c.SendOut(1, id, ToBytes(WithSum({3, 3, 405}))));
    ASSERT_TRUE(c.SendIn(2, id, 16, 600000));
    ASSERT_TRUE(c.Read().has_value());  // the OUT's result; the IN waits
  }  // dies with the IN pending
  {
    // Half a message, then gone: nothing reaches the locator.
    Client c(server->Endpoint());
    ASSERT_NE(c.Hello(), 0u);
    std::vector<uint8_t> partial;
    Put32(partial, kMsgOut);
    Put32(partial, 100);
    Put32(partial, 5);
    ASSERT_TRUE(c.SendRaw(partial));
  }
  Client c(server->Endpoint());
  const uint64_t id = c.Hello();
  ASSERT_EQ(id, loc->DeviceId());
  EXPECT_EQ(c.Exchange(1, id, WriteFlashRequest(0x8000, 0, {0})), WithSum({3, 0, 0}));
  EXPECT_EQ(loc->ExchangeCount(), 2u);
  c.Drop();
  // A client that breaks the protocol is dropped.
  {
    Client bad(server->Endpoint());
    std::vector<uint8_t> hello;
    Put32(hello, 2);  // another version
    ASSERT_TRUE(bad.Send(kMsgHello, hello));
    EXPECT_FALSE(bad.Read().has_value());
  }
}

TEST_P(ServerTest, StopEndsAConnectionWithAWaitingTransfer) {
  loc->AddFault(*ParseFault("noanswer@x=1"));
  Client c(server->Endpoint());
  const uint64_t id = c.Hello();
  ASSERT_NE(id, 0u);
  ASSERT_TRUE(c.SendOut(1, id, ToBytes(WithSum({3, 3, 405}))));
  ASSERT_TRUE(c.SendIn(2, id, 16, 600000));
  ASSERT_TRUE(c.Read().has_value());
  server->Stop();  // returns although the IN would wait ten minutes
  std::optional<Msg> m;
  while ((m = c.Read()) && m->type == kMsgResult) {
  }
  EXPECT_FALSE(m.has_value());  // the connection was closed
  Client late(server->Endpoint());
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
namespace {
std::vector<uint8_t> ReadAll(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)), {});
}
}  // namespace

TEST(Program, ServesAndWritesItsDumpsOnSigterm) {
  const std::string dir = UniqueName("prog");
  ASSERT_EQ(mkdir(dir.c_str(), 0700), 0);
  const std::string sock = dir + "/sim.sock", flash = dir + "/flash.bin", eeprom = dir + "/eeprom.bin",
                    trace = dir + "/trace.txt", out = dir + "/stdout.txt";
  std::vector<std::string> args{VX_LOCATOR_SIM_PATH, "--socket", sock,  "--plug-delay", "0", "--fast",
                                "--dump-flash",      flash,      "--dump-eeprom", eeprom, "--trace", trace};
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 1, out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
  pid_t pid = 0;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);

  // The socket appears once the program listens; the locator is plugged in at once.
  std::unique_ptr<Client> c;
  uint64_t id = 0;
  for (int i = 0; i < 400 && id == 0; ++i) {
    c = std::make_unique<Client>(sock);
    if (c->Ok()) id = c->Hello();
    if (id == 0) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_NE(id, 0u);
  EXPECT_EQ(c->Exchange(1, id, WriteEepromRequest(0x1000, {1, 7, 0})), WithSum({3, 0, 0}));
  EXPECT_EQ(c->Exchange(3, id, {4, 3, 404, 0x8000}), WithSum({3, 1, 0}));
  EXPECT_EQ(c->Exchange(5, id, WriteFlashRequest(0x8000, 0, {0x34333231})), WithSum({3, 0, 0}));
  c.reset();

  ASSERT_EQ(kill(pid, SIGTERM), 0);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);

  const std::vector<uint8_t> f = ReadAll(flash), e = ReadAll(eeprom);
  ASSERT_EQ(f.size(), size_t(kFlashUnits) * 2);
  ASSERT_EQ(e.size(), size_t(kEepromBytes));
  EXPECT_EQ(std::vector<uint8_t>(f.begin() + 0x10000, f.begin() + 0x10005), (std::vector<uint8_t>{'1', '2', '3', '4', 0xFF}));
  EXPECT_EQ(std::vector<uint8_t>(e.begin() + 0x1000, e.begin() + 0x100D),
            (std::vector<uint8_t>{1, 0, 0, 0, 7, 0, 0, 0, 0, 0, 0, 0, 0xFF}));
  std::ifstream t(trace);
  std::string first;
  std::getline(t, first);
  EXPECT_EQ(first, "OUT 36: 00000008 00000003 00000385 0000000C 00001000 00000001 00000007 00000000 000013A4");
  const std::vector<uint8_t> o = ReadAll(out);
  const std::string text(o.begin(), o.end());
  EXPECT_EQ(text.rfind("[sim] listening on " + sock, 0), 0u) << text;
  EXPECT_NE(text.find("[sim] locator plugged in (product 9"), std::string::npos) << text;
  EXPECT_NE(text.find("[sim] erase sector 0x8000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[sim] wrote 1 word at 0x8000+0x0\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[sim] EEPROM write of 12 bytes at 0x1000\n"), std::string::npos) << text;
  EXPECT_NE(text.find("[sim] flash written to " + flash), std::string::npos) << text;
  for (const std::string& p : {flash, eeprom, trace, out}) std::remove(p.c_str());
  struct stat st;
  EXPECT_NE(lstat(sock.c_str(), &st), 0);  // the socket is removed on exit
  rmdir(dir.c_str());
}
#else
TEST(Program, ServesAndWritesItsDumpsOnSigterm) {
  GTEST_SKIP() << "starts the program and stops it with SIGTERM: POSIX only";
}
#endif
