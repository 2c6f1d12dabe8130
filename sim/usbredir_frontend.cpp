#include "sim/usbredir_frontend.h"

#include <usbredirparser.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include "net/net.h"

namespace vxsim {
namespace {

constexpr uint8_t kRequestGetStatus = 0;
constexpr uint8_t kRequestClearFeature = 1;
constexpr uint8_t kRequestSetFeature = 3;
constexpr uint8_t kRequestGetDescriptor = 6;
constexpr uint8_t kRequestGetConfiguration = 8;
constexpr uint8_t kDescDevice = 1, kDescConfiguration = 2, kDescString = 3, kDescQualifier = 6,
                  kDescOtherSpeed = 7;
constexpr uint16_t kFeatureEndpointHalt = 0;
constexpr uint16_t kHighSpeedPacket = 512;
constexpr uint16_t kFullSpeedPacket = 64;
constexpr uint16_t kDeviceBcd = 0x0100;

// A bulk transfer the guest has no time-out for waits at most this long (a real device
// NAKs for ever; the guest's driver cancels long before).
constexpr uint32_t kBulkHoldMs = 10 * 60 * 1000;
// While a cancelled transfer has not ended yet, its wait is aborted this often (it may
// have entered the locator just after an abort).
constexpr int kCancelRetryMs = 20;

std::vector<uint8_t> ConfigurationBytes(uint8_t type, uint16_t maxPacket) {
  const uint8_t lo = uint8_t(maxPacket), hi = uint8_t(maxPacket >> 8);
  return {9, type, 32, 0, 1, 1, 0, 0x80, 50,      // one interface, configuration 1, bus powered, 100 mA
          9, 4, 0, 0, 2, 0xFF, 0, 0, 0,           // interface 0: two endpoints, vendor-specific
          7, 5, kPipeOut, 2, lo, hi, 0,           // bulk OUT
          7, 5, kPipeIn, 2, lo, hi, 0};           // bulk IN
}

std::vector<uint8_t> StringBytes(const std::string& text) {
  std::vector<uint8_t> d = {uint8_t(2 + 2 * text.size()), kDescString};
  for (char c : text) d.insert(d.end(), {uint8_t(c), 0});
  return d;
}

}  // namespace

ControlAnswer AnswerControlRequest(const UsbIdentity& id, uint8_t requestType, uint8_t request, uint16_t value,
                                   uint16_t index, uint16_t length) {
  ControlAnswer a;
  const auto answer = [&](std::vector<uint8_t> data) {
    if (data.size() > length) data.resize(length);
    a.data = std::move(data);
    return a;
  };
  const auto stall = [&] {
    a.status = usb_redir_stall;
    return a;
  };
  const bool bEndpoint = index == 0 || index == 0x80 || index == kPipeOut || index == kPipeIn;
  switch (requestType << 8 | request) {
    case 0x80 << 8 | kRequestGetDescriptor: {
      const uint8_t type = uint8_t(value >> 8), n = uint8_t(value);
      if (type == kDescDevice && n == 0) {
        const auto d = DeviceDescriptorBytes(id.vendorId, id.productId);
        std::vector<uint8_t> bytes(d.begin(), d.end());
        bytes[16] = 3;  // iSerialNumber
        return answer(bytes);
      }
      if (type == kDescConfiguration && n == 0) return answer(ConfigurationBytes(kDescConfiguration, kHighSpeedPacket));
      if (type == kDescOtherSpeed && n == 0) return answer(ConfigurationBytes(kDescOtherSpeed, kFullSpeedPacket));
      if (type == kDescQualifier && n == 0) return answer({10, kDescQualifier, 0x00, 0x02, 0xFF, 0, 0, 64, 1, 0});
      if (type == kDescString) {
        if (n == 0) return answer({4, kDescString, 0x09, 0x04});  // US English
        if (n == 1) return answer(StringBytes(kManufacturer));
        if (n == 2) return answer(StringBytes(ProductName(id.productId)));
        if (n == 3) return answer(StringBytes(id.serial));
      }
      return stall();
    }
    case 0x80 << 8 | kRequestGetStatus:  // bus powered, no remote wake-up
    case 0x81 << 8 | kRequestGetStatus:
      return index == 0 || requestType == 0x80 ? answer({0, 0}) : stall();
    case 0x82 << 8 | kRequestGetStatus:
      if (!bEndpoint) return stall();
      return answer({uint8_t(index == kPipeIn ? id.bHaltedIn : index == kPipeOut ? id.bHaltedOut : false), 0});
    case 0x02 << 8 | kRequestClearFeature:
    case 0x02 << 8 | kRequestSetFeature:
      return value == kFeatureEndpointHalt && bEndpoint ? answer({}) : stall();
    case 0x80 << 8 | kRequestGetConfiguration:
      return answer({id.configuration});
    default:
      return stall();
  }
}

namespace {

// The front-end whose bulk worker runs on this thread, if any.
thread_local const void* tl_pWorkerOf = nullptr;

// One bulk transfer of the guest's, queued for its endpoint's worker.
struct BulkJob {
  uint64_t id = 0;
  uint64_t deviceId = 0;
  uint8_t endpoint = 0;
  uint32_t length = 0;        // IN: bytes asked for
  std::vector<uint8_t> data;  // OUT: bytes to send
};

}  // namespace

struct UsbredirFrontend::Impl {
  Locator& loc;
  std::string path;
  std::function<void(const std::string&)> log;
  net::Acceptor acceptor;
  int wake[2] = {-1, -1};  // a pipe that wakes the connection's poll; -1 when it could not be had

  // The connection and the device as the guest sees it, with the parser, guarded by mu.
  // Parser callbacks run inside usbredirparser_do_read with mu held, hence recursive.
  // Lock order: mu, then qMu.
  std::recursive_mutex mu;
  usbredirparser* parser = nullptr;
  int fd = -1;
  bool bHello = false;
  bool bAwaitingAck = false;  // a disconnect the peer has not acknowledged yet
  uint64_t connectedId = 0;   // the locator presence the guest sees; 0: none
  uint64_t deferredUnplugId = 0;  // unplugged by a worker's transfer, not yet disconnected
  UsbIdentity identity;

  // Bulk workers, one per endpoint, so that a pending IN does not hold up an OUT.
  std::mutex qMu;
  std::condition_variable qCv;
  std::deque<BulkJob> queue[2];  // [0] OUT, [1] IN
  std::optional<uint64_t> current[2];
  bool bCancelled[2] = {false, false};
  bool bQuit = false;
  int workersDone = 0;

  Impl(Locator& l, std::string p) : loc(l), path(std::move(p)) {
    if (::pipe(wake) != 0) {
      wake[0] = wake[1] = -1;  // Start reports it
      return;
    }
    for (int end : wake) ::fcntl(end, F_SETFL, ::fcntl(end, F_GETFL) | O_NONBLOCK);
  }
  ~Impl() {
    for (int end : wake)
      if (end >= 0) ::close(end);
  }

  void Log(const std::string& s) {
    if (log) log(s);
  }

  void Wake() {
    const char c = 0;
    [[maybe_unused]] const ssize_t r = ::write(wake[1], &c, 1);  // a full pipe wakes the poll already
  }

  // Sends what the parser has queued; with mu held.
  void Flush() {
    if (parser == nullptr) return;
    usbredirparser_do_write(parser);
    if (usbredirparser_has_data_to_write(parser)) Wake();  // the poll waits for room
  }

  // ---- The device's presence, with mu held ----
  void SendInterfaceAndEndpoints() {
    usb_redir_interface_info_header ii = {};
    ii.interface_count = 1;
    ii.interface[0] = 0;
    ii.interface_class[0] = 0xFF;
    usbredirparser_send_interface_info(parser, &ii);
    usb_redir_ep_info_header ep = {};
    std::fill(std::begin(ep.type), std::end(ep.type), uint8_t(usb_redir_type_invalid));
    ep.type[0] = ep.type[16] = usb_redir_type_control;
    ep.max_packet_size[0] = ep.max_packet_size[16] = 64;
    // Index of an endpoint: (address & 0x80 ? 16 : 0) + (address & 0x0F).
    for (const int i : {kPipeOut & 0x0F, 16 + (kPipeIn & 0x0F)}) {
      ep.type[i] = usb_redir_type_bulk;
      ep.max_packet_size[i] = kHighSpeedPacket;
    }
    usbredirparser_send_ep_info(parser, &ep);
  }

  void TryConnect() {
    if (parser == nullptr || !bHello || bAwaitingAck || connectedId != 0) return;
    const uint64_t id = loc.DeviceId();
    if (id == 0) return;
    connectedId = id;
    identity.vendorId = loc.VendorId();
    identity.productId = loc.ProductId();
    identity.configuration = 0;
    identity.bHaltedIn = identity.bHaltedOut = false;
    char serial[32];
    std::snprintf(serial, sizeof serial, "VXS%05u%04u", unsigned(getpid() % 100000), unsigned(id % 10000));
    identity.serial = serial;
    SendInterfaceAndEndpoints();
    usb_redir_device_connect_header dc = {};
    dc.speed = usb_redir_speed_high;
    dc.device_class = 0xFF;
    dc.vendor_id = identity.vendorId;
    dc.product_id = identity.productId;
    dc.device_version_bcd = kDeviceBcd;
    usbredirparser_send_device_connect(parser, &dc);
    Flush();
    Log("device " + std::to_string(id) + " connected to the guest (serial " + identity.serial + ")");
  }

  void Disconnect() {
    if (parser == nullptr || connectedId == 0) return;
    Log("device " + std::to_string(connectedId) + " disconnected from the guest");
    connectedId = 0;
    usbredirparser_send_device_disconnect(parser);
    bAwaitingAck = usbredirparser_peer_has_cap(parser, usb_redir_cap_device_disconnect_ack) != 0;
    Flush();
  }

  void OnPlug(uint64_t id) {
    std::lock_guard<std::recursive_mutex> l(mu);
    if (connectedId == id) return;
    Disconnect();  // a departure not reported yet
    TryConnect();
  }

  void OnUnplug(uint64_t id) {
    std::lock_guard<std::recursive_mutex> l(mu);
    if (connectedId != id) return;
    // An unplug caused by a transfer (a fault) follows that transfer's completion on the
    // wire, as it does on the bus: its worker disconnects once it has answered.
    if (tl_pWorkerOf == this) {
      deferredUnplugId = id;
      return;
    }
    Disconnect();
  }

  // ---- Transfers ----
  // The completion of a bulk transfer: `length` bytes moved, the data of an IN with them.
  void SendBulk(uint64_t id, uint8_t endpoint, uint8_t status, uint32_t length, uint8_t* pInData = nullptr) {
    usb_redir_bulk_packet_header h = {};
    h.endpoint = endpoint;
    h.status = status;
    h.length = uint16_t(length);
    h.length_high = uint16_t(length >> 16);
    usbredirparser_send_bulk_packet(parser, id, &h, pInData, pInData != nullptr ? int(length) : 0);
    Flush();
  }

  bool& Halted(uint8_t endpoint) { return endpoint == kPipeIn ? identity.bHaltedIn : identity.bHaltedOut; }

  void OnBulkPacket(uint64_t id, const usb_redir_bulk_packet_header& h, uint8_t* pData, int len) {
    const bool bIn = (h.endpoint & 0x80) != 0;
    if (h.endpoint != (bIn ? kPipeIn : kPipeOut) || Halted(h.endpoint)) {
      SendBulk(id, h.endpoint, usb_redir_stall, 0);
      return;
    }
    BulkJob job;
    job.id = id;
    job.deviceId = connectedId;
    job.endpoint = h.endpoint;
    if (bIn) {
      job.length = std::min<uint32_t>(uint32_t(h.length) | uint32_t(h.length_high) << 16, 64 * 1024);
    } else if (len > 0) {
      job.data.assign(pData, pData + len);
    }
    std::lock_guard<std::mutex> q(qMu);
    queue[bIn].push_back(std::move(job));
    qCv.notify_all();
  }

  void OnCancel(uint64_t id) {
    std::lock_guard<std::mutex> q(qMu);
    for (int e = 0; e < 2; ++e) {
      for (auto it = queue[e].begin(); it != queue[e].end(); ++it) {
        if (it->id != id) continue;
        const uint8_t endpoint = it->endpoint;
        queue[e].erase(it);
        SendBulk(id, endpoint, usb_redir_cancelled, 0);
        return;
      }
      if (current[e] == id) bCancelled[e] = true;  // the poll loop aborts its wait
    }
  }

  bool CancelPending() {
    std::lock_guard<std::mutex> q(qMu);
    return bCancelled[0] || bCancelled[1];
  }

  void Worker(int e);
  void Serve(int sock);
  usbredirparser* CreateParser();
};

namespace {

UsbredirFrontend::Impl& Self(void* priv) { return *static_cast<UsbredirFrontend::Impl*>(priv); }

uint8_t BulkStatus(BusStatus s, bool bCancelled) {
  if (bCancelled) return usb_redir_cancelled;
  switch (s) {
    case BusStatus::kOk: return usb_redir_success;
    case BusStatus::kTimeout: return usb_redir_timeout;
    case BusStatus::kGone: return usb_redir_ioerror;
    case BusStatus::kBabble: return usb_redir_babble;
    case BusStatus::kStall:
    case BusStatus::kError: break;
  }
  return usb_redir_stall;
}

}  // namespace

void UsbredirFrontend::Impl::Worker(int e) {
  tl_pWorkerOf = this;
  const bool bIn = e == 1;
  std::vector<uint8_t> buf;
  for (;;) {
    BulkJob job;
    {
      std::unique_lock<std::mutex> q(qMu);
      qCv.wait(q, [&] { return bQuit || !queue[e].empty(); });
      if (bQuit) break;
      job = std::move(queue[e].front());
      queue[e].pop_front();
      current[e] = job.id;
      bCancelled[e] = false;
    }
    uint32_t moved = 0;
    BusStatus s;
    if (bIn) {
      buf.assign(job.length, 0);
      s = loc.In(job.deviceId, job.endpoint, buf.data(), job.length, &moved, kBulkHoldMs);
    } else {
      s = loc.Out(job.deviceId, job.endpoint, job.data.data(), uint32_t(job.data.size()), &moved, kBulkHoldMs);
    }
    std::lock_guard<std::recursive_mutex> l(mu);
    bool bCancelledNow;
    {
      std::lock_guard<std::mutex> q(qMu);
      bCancelledNow = bCancelled[e];
      current[e].reset();
      bCancelled[e] = false;
      if (bQuit) break;
    }
    // A stall halts the endpoint until the host clears it, as on a device.
    if (s == BusStatus::kStall && !bCancelledNow) Halted(job.endpoint) = true;
    SendBulk(job.id, job.endpoint, BulkStatus(s, bCancelledNow), moved, bIn ? buf.data() : nullptr);
    if (deferredUnplugId != 0 && deferredUnplugId == connectedId) Disconnect();
    deferredUnplugId = 0;
  }
  std::lock_guard<std::mutex> q(qMu);
  ++workersDone;
  qCv.notify_all();
}

usbredirparser* UsbredirFrontend::Impl::CreateParser() {
  usbredirparser* p = usbredirparser_create();
  if (p == nullptr) return nullptr;
  p->priv = this;
  p->log_func = [](void* priv, int level, const char* msg) {
    if (level <= usbredirparser_warning) Self(priv).Log(std::string("usbredir: ") + msg);
  };
  p->read_func = [](void* priv, uint8_t* data, int count) -> int {
    const ssize_t r = ::recv(Self(priv).fd, data, size_t(count), MSG_DONTWAIT);
    if (r > 0) return int(r);
    if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) return 0;
    return -1;  // the peer left (or the socket failed)
  };
  p->write_func = [](void* priv, uint8_t* data, int count) -> int {
    const ssize_t r = ::send(Self(priv).fd, data, size_t(count), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (r >= 0) return int(r);
    return errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR ? 0 : -1;
  };
  p->hello_func = [](void* priv, usb_redir_hello_header* h) {
    Impl& s = Self(priv);
    s.Log(std::string("peer says hello: ") + std::string(h->version, strnlen(h->version, sizeof h->version)));
    s.bHello = true;
    s.TryConnect();
  };
  p->device_disconnect_ack_func = [](void* priv) {
    Impl& s = Self(priv);
    s.bAwaitingAck = false;
    s.TryConnect();
  };
  p->reset_func = [](void* priv) { Self(priv).identity.configuration = 0; };
  p->set_configuration_func = [](void* priv, uint64_t id, usb_redir_set_configuration_header* h) {
    Impl& s = Self(priv);
    usb_redir_configuration_status_header st = {};
    st.configuration = s.identity.configuration;
    st.status = usb_redir_stall;
    if (s.connectedId == 0) {
      st.status = usb_redir_ioerror;
    } else if (h->configuration <= 1) {
      s.identity.configuration = h->configuration;
      st.configuration = h->configuration;
      st.status = usb_redir_success;
      s.Log("guest set configuration " + std::to_string(h->configuration));
    }
    usbredirparser_send_configuration_status(s.parser, id, &st);
    if (st.status == usb_redir_success) s.SendInterfaceAndEndpoints();
    s.Flush();
  };
  p->get_configuration_func = [](void* priv, uint64_t id) {
    Impl& s = Self(priv);
    usb_redir_configuration_status_header st = {};
    st.status = s.connectedId == 0 ? uint8_t(usb_redir_ioerror) : uint8_t(usb_redir_success);
    st.configuration = s.identity.configuration;
    usbredirparser_send_configuration_status(s.parser, id, &st);
    s.Flush();
  };
  p->set_alt_setting_func = [](void* priv, uint64_t id, usb_redir_set_alt_setting_header* h) {
    Impl& s = Self(priv);
    const BusStatus b = s.loc.SetInterface(s.connectedId, h->interface, h->alt);
    usb_redir_alt_setting_status_header st = {};
    st.status = b == BusStatus::kOk ? usb_redir_success : b == BusStatus::kGone ? usb_redir_ioerror : usb_redir_stall;
    st.interface = h->interface;
    st.alt = b == BusStatus::kOk ? h->alt : 0xFF;
    usbredirparser_send_alt_setting_status(s.parser, id, &st);
    s.Flush();
  };
  p->get_alt_setting_func = [](void* priv, uint64_t id, usb_redir_get_alt_setting_header* h) {
    Impl& s = Self(priv);
    usb_redir_alt_setting_status_header st = {};
    st.status = h->interface == 0 ? usb_redir_success : usb_redir_stall;
    st.interface = h->interface;
    st.alt = h->interface == 0 ? 0 : 0xFF;
    usbredirparser_send_alt_setting_status(s.parser, id, &st);
    s.Flush();
  };
  p->control_packet_func = [](void* priv, uint64_t id, usb_redir_control_packet_header* h, uint8_t* data,
                              int len) {
    Impl& s = Self(priv);
    if (data) usbredirparser_free_packet_data(s.parser, data);
    usb_redir_control_packet_header r = *h;
    ControlAnswer a;
    if (s.connectedId == 0) {
      a.status = usb_redir_ioerror;
    } else {
      a = AnswerControlRequest(s.identity, h->requesttype, h->request, h->value, h->index, h->length);
      const bool bHaltFeature = h->requesttype == 0x02 && h->value == kFeatureEndpointHalt &&
                                (h->index == kPipeIn || h->index == kPipeOut);
      if (a.status == usb_redir_success && bHaltFeature &&
          (h->request == kRequestClearFeature || h->request == kRequestSetFeature)) {
        const bool bHalt = h->request == kRequestSetFeature;
        char line[80];
        std::snprintf(line, sizeof line, "guest %s the halt of endpoint 0x%02X", bHalt ? "set" : "cleared", h->index);
        s.Log(line);
        s.Halted(uint8_t(h->index)) = bHalt;
      }
    }
    r.status = a.status;
    const bool bIn = (h->endpoint & 0x80) != 0;
    r.length = bIn ? uint16_t(a.data.size()) : uint16_t(a.status == usb_redir_success ? len : 0);
    usbredirparser_send_control_packet(s.parser, id, &r, bIn ? a.data.data() : nullptr,
                                       bIn ? int(a.data.size()) : 0);
    s.Flush();
  };
  p->bulk_packet_func = [](void* priv, uint64_t id, usb_redir_bulk_packet_header* h, uint8_t* data, int len) {
    Impl& s = Self(priv);
    s.OnBulkPacket(id, *h, data, len);
    if (data) usbredirparser_free_packet_data(s.parser, data);
  };
  p->cancel_data_packet_func = [](void* priv, uint64_t id) { Self(priv).OnCancel(id); };
  // The parser calls a handler for every packet a guest may send; the device has no
  // isochronous or interrupt endpoints and no streams, so these requests are refused.
  p->start_iso_stream_func = [](void* priv, uint64_t id, usb_redir_start_iso_stream_header* h) {
    usb_redir_iso_stream_status_header st = {usb_redir_inval, h->endpoint};
    usbredirparser_send_iso_stream_status(Self(priv).parser, id, &st);
  };
  p->stop_iso_stream_func = [](void*, uint64_t, usb_redir_stop_iso_stream_header*) {};
  p->start_interrupt_receiving_func = [](void* priv, uint64_t id, usb_redir_start_interrupt_receiving_header* h) {
    usb_redir_interrupt_receiving_status_header st = {usb_redir_inval, h->endpoint};
    usbredirparser_send_interrupt_receiving_status(Self(priv).parser, id, &st);
  };
  p->stop_interrupt_receiving_func = [](void*, uint64_t, usb_redir_stop_interrupt_receiving_header*) {};
  p->alloc_bulk_streams_func = [](void* priv, uint64_t id, usb_redir_alloc_bulk_streams_header* h) {
    usb_redir_bulk_streams_status_header st = {h->endpoints, 0, usb_redir_inval};
    usbredirparser_send_bulk_streams_status(Self(priv).parser, id, &st);
  };
  p->free_bulk_streams_func = [](void*, uint64_t, usb_redir_free_bulk_streams_header*) {};
  p->start_bulk_receiving_func = [](void* priv, uint64_t id, usb_redir_start_bulk_receiving_header* h) {
    usb_redir_bulk_receiving_status_header st = {h->stream_id, h->endpoint, usb_redir_inval};
    usbredirparser_send_bulk_receiving_status(Self(priv).parser, id, &st);
  };
  p->stop_bulk_receiving_func = [](void*, uint64_t, usb_redir_stop_bulk_receiving_header*) {};
  p->iso_packet_func = [](void* priv, uint64_t, usb_redir_iso_packet_header*, uint8_t* data, int) {
    if (data) usbredirparser_free_packet_data(Self(priv).parser, data);
  };
  p->interrupt_packet_func = [](void* priv, uint64_t, usb_redir_interrupt_packet_header*, uint8_t* data, int) {
    if (data) usbredirparser_free_packet_data(Self(priv).parser, data);
  };
  p->filter_reject_func = [](void*) {};
  p->filter_filter_func = [](void*, usbredirfilter_rule* rules, int) { free(rules); };

  uint32_t caps[USB_REDIR_CAPS_SIZE] = {};
  for (const int cap : {usb_redir_cap_connect_device_version, usb_redir_cap_device_disconnect_ack,
                        usb_redir_cap_ep_info_max_packet_size, usb_redir_cap_64bits_ids,
                        usb_redir_cap_32bits_bulk_length})
    usbredirparser_caps_set_cap(caps, cap);
  usbredirparser_init(p, "vx_locator_sim", caps, USB_REDIR_CAPS_SIZE, usbredirparser_fl_usb_host);
  return p;
}

void UsbredirFrontend::Impl::Serve(int sock) {
  {
    std::lock_guard<std::recursive_mutex> l(mu);
    fd = sock;
    bHello = false;
    bAwaitingAck = false;
    connectedId = 0;
    deferredUnplugId = 0;
    parser = CreateParser();  // queues our hello
    if (parser == nullptr) {
      fd = -1;
      ::close(sock);
      Log("out of memory for a usbredir parser");
      return;
    }
  }
  {
    std::lock_guard<std::mutex> q(qMu);
    bQuit = false;
    workersDone = 0;
    for (auto& qe : queue) qe.clear();
  }
  Log("usbredir peer connected");
  std::thread workers[2] = {std::thread([this] { Worker(0); }), std::thread([this] { Worker(1); })};

  bool bWantWrite = true;
  bool bCancelling = false;
  for (;;) {
    pollfd fds[2] = {{sock, short(POLLIN | (bWantWrite ? POLLOUT : 0)), 0}, {wake[0], POLLIN, 0}};
    const int n = ::poll(fds, 2, bCancelling ? kCancelRetryMs : -1);
    if (acceptor.StopFlag()) break;
    if (n < 0 && errno != EINTR) break;
    if (fds[1].revents & POLLIN) {
      char drain[64];
      while (::read(wake[0], drain, sizeof drain) == ssize_t(sizeof drain)) {
      }
    }
    bool bEnd = false;
    {
      std::lock_guard<std::recursive_mutex> l(mu);
      if (fds[0].revents & (POLLIN | POLLHUP | POLLERR)) {
        const int r = usbredirparser_do_read(parser);
        if (r == usbredirparser_read_io_error) bEnd = true;
        if (r == usbredirparser_read_parse_error) Log("usbredir: a malformed packet was skipped");
      }
      if (!bEnd && usbredirparser_do_write(parser) == usbredirparser_write_io_error) bEnd = true;
      bWantWrite = usbredirparser_has_data_to_write(parser) > 0;
    }
    if (bEnd) break;
    bCancelling = CancelPending();
    if (bCancelling) loc.AbortWaits();
  }

  // The peer left: no more reports to it; end the workers and their waiting transfers.
  {
    std::lock_guard<std::recursive_mutex> l(mu);
    if (connectedId != 0) Log("device " + std::to_string(connectedId) + " left with the peer");
    connectedId = 0;
    bHello = false;
  }
  {
    std::unique_lock<std::mutex> q(qMu);
    bQuit = true;
    for (auto& qe : queue) qe.clear();
    qCv.notify_all();
    while (workersDone < 2) {
      loc.AbortWaits();  // repeated: a worker may enter a transfer just after one abort
      qCv.wait_for(q, std::chrono::milliseconds(kCancelRetryMs));
    }
  }
  for (auto& w : workers) w.join();
  {
    std::lock_guard<std::recursive_mutex> l(mu);
    usbredirparser_destroy(parser);
    parser = nullptr;
    fd = -1;
  }
  ::shutdown(sock, SHUT_RDWR);
  ::close(sock);
  Log("usbredir peer left");
}

UsbredirFrontend::UsbredirFrontend(Locator& locator, std::string socketPath)
    : m_pImpl(std::make_shared<Impl>(locator, std::move(socketPath))) {}

UsbredirFrontend::~UsbredirFrontend() { Stop(); }

void UsbredirFrontend::SetLog(LogFunction log) { m_pImpl->log = std::move(log); }

bool UsbredirFrontend::Start(std::string* pError, const LogFunction& onReady) {
  Impl& s = *m_pImpl;
  if (s.path.rfind("tcp:", 0) == 0) {
    if (pError) *pError = "the usbredir front-end takes a Unix socket path";
    return false;
  }
  if (s.wake[0] < 0) {
    if (pError) *pError = "cannot create a pipe";
    return false;
  }
  return s.acceptor.Start(
      s.path, [p = &s](net::Handle h) { p->Serve(int(h)); }, pError,
      [&](const std::string& bound) {
        s.loc.SetListener(ListenerFor(m_pImpl));
        if (onReady) onReady(bound);
      });
}

void UsbredirFrontend::Stop() {
  Impl& s = *m_pImpl;
  s.acceptor.Stop([&s] {
    s.loc.SetListener({});
    s.Wake();
  });
}

}  // namespace vxsim
