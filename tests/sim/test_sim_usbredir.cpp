// The usbredir front-end: its answers to standard control requests, and a session with a
// peer written here on usbredirparser's guest side, as QEMU's usb-redir device is.
#include <gtest/gtest.h>

#include <usbredirparser.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include <sys/socket.h>
#include <unistd.h>

#include "net/net.h"
#include "sim/usbredir_frontend.h"
#include "tests/sim/frames.h"
#include "tests/support/firmware_folder.h"

using namespace vxsim;
using namespace simtest;

namespace {

std::string Utf16Text(const std::vector<uint8_t>& d) {
  std::string s;
  for (size_t i = 2; i + 1 < d.size(); i += 2) s += char(d[i]);
  return s;
}

struct ControlCase {
  const char* pszName;
  uint8_t requestType, request;
  uint16_t value, index, length;
  uint8_t status;
  std::vector<uint8_t> data;  // expected exactly; empty with a stall
};

void PrintTo(const ControlCase& c, std::ostream* pOut) { *pOut << c.pszName; }

class UsbredirControl : public ::testing::TestWithParam<ControlCase> {};

const std::vector<uint8_t> kConfiguration = {9, 2, 32, 0, 1, 1, 0, 0x80, 50, 9, 4, 0,    0,    2, 0xFF, 0,
                                             0, 0, 7,  5, 2, 2, 0, 2,    0,  7, 5, 0x82, 2, 0, 2,    0};

TEST_P(UsbredirControl, AnswersAsTheDeviceDescribesItself) {
  const ControlCase& c = GetParam();
  UsbIdentity id;
  id.productId = 9;
  id.serial = "AB12";
  id.configuration = 1;
  const ControlAnswer a = AnswerControlRequest(id, c.requestType, c.request, c.value, c.index, c.length);
  EXPECT_EQ(a.status, c.status);
  EXPECT_EQ(a.data, c.data);
}

INSTANTIATE_TEST_SUITE_P(
    Requests, UsbredirControl,
    ::testing::Values(
        ControlCase{"DeviceDescriptor", 0x80, 6, 0x0100, 0, 64, usb_redir_success,
                    {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x7C, 0x3A, 9, 0, 0x00, 0x01, 1, 2, 3, 1}},
        ControlCase{"DeviceDescriptorFirst8", 0x80, 6, 0x0100, 0, 8, usb_redir_success,
                    {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64}},
        ControlCase{"Configuration", 0x80, 6, 0x0200, 0, 255, usb_redir_success, kConfiguration},
        ControlCase{"ConfigurationHeader", 0x80, 6, 0x0200, 0, 9, usb_redir_success,
                    {9, 2, 32, 0, 1, 1, 0, 0x80, 50}},
        ControlCase{"SecondConfiguration", 0x80, 6, 0x0201, 0, 255, usb_redir_stall, {}},
        ControlCase{"Languages", 0x80, 6, 0x0300, 0, 255, usb_redir_success, {4, 3, 0x09, 0x04}},
        ControlCase{"Serial", 0x80, 6, 0x0303, 0x0409, 255, usb_redir_success, {10, 3, 'A', 0, 'B', 0, '1', 0, '2', 0}},
        ControlCase{"NoFourthString", 0x80, 6, 0x0304, 0x0409, 255, usb_redir_stall, {}},
        ControlCase{"Qualifier", 0x80, 6, 0x0600, 0, 10, usb_redir_success, {10, 6, 0x00, 0x02, 0xFF, 0, 0, 64, 1, 0}},
        ControlCase{"NoBos", 0x80, 6, 0x0F00, 0, 5, usb_redir_stall, {}},
        ControlCase{"DeviceStatus", 0x80, 0, 0, 0, 2, usb_redir_success, {0, 0}},
        ControlCase{"InEndpointStatus", 0x82, 0, 0, 0x82, 2, usb_redir_success, {0, 0}},
        ControlCase{"NoSuchEndpoint", 0x82, 0, 0, 0x81, 2, usb_redir_stall, {}},
        ControlCase{"ClearHaltOut", 0x02, 1, 0, 0x02, 0, usb_redir_success, {}},
        ControlCase{"GetConfiguration", 0x80, 8, 0, 0, 1, usb_redir_success, {1}},
        ControlCase{"VendorRequest", 0xC0, 0x51, 0, 0, 4, usb_redir_stall, {}}),
    [](const auto& info) { return std::string(info.param.pszName); });

TEST(UsbredirStrings, NameTheMakerAndTheBoard) {
  UsbIdentity id;
  id.productId = 1;
  EXPECT_EQ(Utf16Text(AnswerControlRequest(id, 0x80, 6, 0x0301, 0x0409, 255).data), "Quenby Ltd");
  EXPECT_EQ(Utf16Text(AnswerControlRequest(id, 0x80, 6, 0x0302, 0x0409, 255).data), "Dorrin C6748 (simulated)");
  id.productId = 9;
  EXPECT_EQ(Utf16Text(AnswerControlRequest(id, 0x80, 6, 0x0302, 0x0409, 255).data),
            "Kessan USB Loader (simulated)");
}

// A packet's id, status and length, as the tests compare them.
using Head = std::tuple<uint64_t, int, uint32_t>;

// What the peer received, one entry per packet.
struct Event {
  explicit Event(std::string k = {}, uint64_t i = 0, uint8_t s = 0, uint32_t len = 0)
      : kind(std::move(k)), id(i), status(s), length(len) {}
  std::string kind;  // "connect", "disconnect", "ep_info", "config", "control", "bulk"
  uint64_t id = 0;
  uint8_t status = 0;
  uint32_t length = 0;
  uint16_t vendor = 0, product = 0;
  uint8_t speed = 0;
  std::vector<uint8_t> data;
  std::vector<uint8_t> epTypes;
  Head Packet() const { return {id, status, length}; }
};

// The guest's side of usbredir, as QEMU speaks it.
class Peer {
 public:
  explicit Peer(const std::string& path) {
    std::string error;
    fd_ = int(net::Connect(path, &error));
    p_ = usbredirparser_create();
    p_->priv = this;
    p_->read_func = [](void* priv, uint8_t* data, int count) -> int {
      static_cast<Peer*>(priv)->Flush();  // what the parser queued itself (a disconnect's acknowledgement)
      const ssize_t r = ::recv(static_cast<Peer*>(priv)->fd_, data, size_t(count), 0);
      return r > 0 ? int(r) : -1;
    };
    p_->write_func = [](void* priv, uint8_t* data, int count) -> int {
      return int(::send(static_cast<Peer*>(priv)->fd_, data, size_t(count), MSG_NOSIGNAL));
    };
    p_->alloc_lock_func = [] { return static_cast<void*>(new std::mutex); };
    p_->lock_func = [](void* m) { static_cast<std::mutex*>(m)->lock(); };
    p_->unlock_func = [](void* m) { static_cast<std::mutex*>(m)->unlock(); };
    p_->free_lock_func = [](void* m) { delete static_cast<std::mutex*>(m); };
    p_->log_func = [](void*, int level, const char* msg) {
      if (level <= usbredirparser_warning) ADD_FAILURE() << "peer's parser: " << msg;
    };
    p_->hello_func = [](void*, usb_redir_hello_header*) {};
    p_->interface_info_func = [](void*, usb_redir_interface_info_header*) {};
    p_->device_connect_func = [](void* priv, usb_redir_device_connect_header* h) {
      Event e{"connect"};
      e.vendor = h->vendor_id;
      e.product = h->product_id;
      e.speed = h->speed;
      static_cast<Peer*>(priv)->Add(e);
    };
    p_->device_disconnect_func = [](void* priv) { static_cast<Peer*>(priv)->Add(Event{"disconnect"}); };
    p_->ep_info_func = [](void* priv, usb_redir_ep_info_header* h) {
      Event e{"ep_info"};
      e.epTypes.assign(h->type, h->type + 32);
      static_cast<Peer*>(priv)->Add(e);
    };
    p_->configuration_status_func = [](void* priv, uint64_t id, usb_redir_configuration_status_header* h) {
      static_cast<Peer*>(priv)->Add(Event{"config", id, h->status, h->configuration});  // length: the configuration
    };
    p_->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                                 int len) { AddPacket(priv, Event{"control", id, h->status, h->length}, data, len); };
    p_->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int len) {
      AddPacket(priv, Event{"bulk", id, h->status, uint32_t(h->length) | uint32_t(h->length_high) << 16}, data, len);
    };
    uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
    for (const int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                          usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                          usb_redir_cap_32bits_bulk_length})
      usbredirparser_caps_set_cap(caps, cap);
    usbredirparser_init(p_, "test peer", caps, USB_REDIR_CAPS_SIZE, 0);
    Flush();
    reader_ = std::thread([this] {
      while (usbredirparser_do_read(p_) == 0) {
      }
    });
  }

  ~Peer() {
    ::shutdown(fd_, SHUT_RDWR);
    reader_.join();
    usbredirparser_destroy(p_);
    ::close(fd_);
  }

  void Flush() {
    while (usbredirparser_has_data_to_write(p_))
      if (usbredirparser_do_write(p_) != 0) break;
  }

  // The serial number, read with GET_DESCRIPTOR.
  std::string Serial(uint64_t id) {
    usb_redir_control_packet_header h = {0x80, 6, 0x80, 0, 0x0303, 0, 255};
    usbredirparser_send_control_packet(p_, id, &h, nullptr, 0);
    Flush();
    return Utf16Text(Next("control").data);
  }
  void SetConfiguration(uint64_t id, uint8_t configuration) {
    usb_redir_set_configuration_header h = {configuration};
    usbredirparser_send_set_configuration(p_, id, &h);
    Flush();
  }
  void BulkOut(uint64_t id, std::vector<uint8_t> bytes) {
    usb_redir_bulk_packet_header h = {kPipeOut, 0, uint16_t(bytes.size()), 0, 0};
    usbredirparser_send_bulk_packet(p_, id, &h, bytes.data(), int(bytes.size()));
    Flush();
  }
  void BulkIn(uint64_t id, uint16_t length) {
    usb_redir_bulk_packet_header h = {kPipeIn, 0, length, 0, 0};
    usbredirparser_send_bulk_packet(p_, id, &h, nullptr, 0);
    Flush();
  }
  void Cancel(uint64_t id) {
    usbredirparser_send_cancel_data_packet(p_, id);
    Flush();
  }

  // Waits for the next event of a kind (earlier ones of other kinds are skipped).
  Event Next(const std::string& kind, int timeoutMs = 10000) {
    std::unique_lock<std::mutex> l(mu_);
    Event e;
    cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] {
      while (seen_ < events_.size()) {
        if (events_[seen_++].kind == kind) {
          e = events_[seen_ - 1];
          return true;
        }
      }
      return false;
    });
    return e;
  }
  // Waits for an event not looked at yet; true when none came within timeoutMs.
  bool NothingWithin(int timeoutMs) {
    std::unique_lock<std::mutex> l(mu_);
    return !cv_.wait_for(l, std::chrono::milliseconds(timeoutMs), [&] { return seen_ < events_.size(); });
  }

 private:
  static void AddPacket(void* priv, Event e, uint8_t* data, int len) {
    auto* self = static_cast<Peer*>(priv);
    e.data.assign(data, data + len);
    if (data) usbredirparser_free_packet_data(self->p_, data);
    self->Add(e);
  }
  void Add(const Event& e) {
    std::lock_guard<std::mutex> l(mu_);
    events_.push_back(e);
    cv_.notify_all();
  }

  int fd_ = -1;
  usbredirparser* p_ = nullptr;
  std::thread reader_;
  std::mutex mu_;
  std::condition_variable cv_;
  std::vector<Event> events_;
  size_t seen_ = 0;
};

TEST(UsbredirSession, EnumeratesExchangesCancelsAndReplugs) {
  const std::string path = vxtest::TempName("usbredir.sock");
  LocatorConfig cfg;
  cfg.bPlugged = true;
  Locator locator(cfg);
  UsbredirFrontend frontend(locator, path);
  std::string error;
  ASSERT_TRUE(frontend.Start(&error)) << error;
  Peer peer(path);

  // Hello, then the interface and endpoints, then the device: high speed, the locator's ids.
  const Event endpoints = peer.Next("ep_info");
  ASSERT_EQ(endpoints.epTypes.size(), 32u);
  EXPECT_EQ(endpoints.epTypes[2], usb_redir_type_bulk);
  EXPECT_EQ(endpoints.epTypes[18], usb_redir_type_bulk);
  EXPECT_EQ(endpoints.epTypes[1], usb_redir_type_invalid);
  const Event connect = peer.Next("connect");
  ASSERT_EQ(connect.kind, "connect");
  EXPECT_EQ(connect.speed, usb_redir_speed_high);
  EXPECT_EQ(connect.vendor, kDefaultVendorId);
  EXPECT_EQ(connect.product, 9);

  const std::string firstSerial = peer.Serial(1);
  EXPECT_FALSE(firstSerial.empty());
  peer.SetConfiguration(2, 1);
  const Event config = peer.Next("config");
  EXPECT_EQ(config.status, usb_redir_success);
  EXPECT_EQ(config.length, 1u);
  EXPECT_EQ(peer.Next("ep_info").kind, "ep_info");  // endpoints again for the new configuration

  // One exchange: the identification read.
  peer.BulkOut(3, ToBytes(WithSum({3, 7, 408})));
  EXPECT_EQ(peer.Next("bulk").Packet(), Head(3, usb_redir_success, 16));
  peer.BulkIn(4, 32);
  Event in = peer.Next("bulk");
  ASSERT_EQ(in.Packet(), Head(4, usb_redir_success, 32));
  EXPECT_EQ(ToWords(in.data.data(), 32), WithSum({7, 0, 0, 'Q', 'R', 'Y', 2}));

  // An IN with no response waits; an OUT is not held up by it and its response ends the
  // wait. A second IN with nothing to deliver is answered only when cancelled.
  peer.BulkIn(5, 32);
  EXPECT_TRUE(peer.NothingWithin(100)) << "an IN without a response must stay pending";
  peer.BulkOut(6, ToBytes(WithSum({3, 3, 405})));
  Event out = peer.Next("bulk");
  in = peer.Next("bulk");
  if (out.id == 5) std::swap(out, in);  // the two endpoints complete in either order
  EXPECT_EQ(out.id, 6u);
  EXPECT_EQ(in.id, 5u);
  EXPECT_EQ(ToWords(in.data.data(), in.length), WithSum({3, 1, 0}));
  peer.BulkIn(7, 32);
  EXPECT_TRUE(peer.NothingWithin(100)) << "an IN without a response must stay pending until cancelled";
  peer.Cancel(7);
  EXPECT_EQ(peer.Next("bulk").Packet(), Head(7, usb_redir_cancelled, 0));

  // Unplug and plug in again: a disconnect, then a new device with a new serial number.
  locator.Unplug();
  EXPECT_EQ(peer.Next("disconnect").kind, "disconnect");
  locator.Plug();
  EXPECT_EQ(peer.Next("connect").kind, "connect");
  const std::string secondSerial = peer.Serial(8);
  EXPECT_FALSE(secondSerial.empty());
  EXPECT_NE(secondSerial, firstSerial);

  // A locator that goes right after answering (a fault): the answer, then the disconnect.
  locator.AddFault(ParseFault("unplugafter@x=3").value());
  peer.BulkOut(9, ToBytes(WithSum({3, 7, 408})));
  EXPECT_EQ(peer.Next("bulk").id, 9u);
  peer.BulkIn(10, 32);
  EXPECT_EQ(peer.Next("bulk").Packet(), Head(10, usb_redir_success, 32));
  EXPECT_EQ(peer.Next("disconnect").kind, "disconnect");

  // The trace holds what crossed the bus, the cancelled IN as a transfer that moved nothing.
  const std::vector<TraceEntry> trace = locator.Trace();
  ASSERT_EQ(trace.size(), 7u);
  EXPECT_TRUE(trace[0].bOut);
  EXPECT_EQ(trace[3].bytes, 16u);
  EXPECT_FALSE(trace[4].bOut);
  EXPECT_EQ(trace[4].bytes, 0u);
  frontend.Stop();
}

}  // namespace
