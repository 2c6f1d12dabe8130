#include "sim/gadget_frontend.h"

#include <linux/usb/functionfs.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <thread>
#include <utility>

#include <fcntl.h>
#include <pthread.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vxsim {
namespace {

constexpr uint16_t kHighSpeedPacket = 512;
constexpr uint16_t kFullSpeedPacket = 64;
constexpr uint32_t kMaxPlaceholders = 13;  // endpoint numbers 1..15, two of them the locator's
constexpr size_t kMaxFrameBytes = 512;     // the largest request and response, one high-speed packet

void PutLe32(std::vector<uint8_t>* pOut, uint32_t v) {
  for (int i = 0; i < 4; ++i) pOut->push_back(uint8_t(v >> (8 * i)));
}

// The descriptors of one speed: the interface, then every endpoint.
void PutSpeed(std::vector<uint8_t>* pOut, const GadgetPlaceholders& ph, uint16_t maxPacket) {
  const uint32_t endpoints = ph.out + ph.in + 2;
  pOut->insert(pOut->end(), {9, 4, 0, 0, uint8_t(endpoints), 0xFF, 0, 0, 0});
  const auto endpoint = [&](uint8_t address) {
    pOut->insert(pOut->end(), {7, 5, address, 2, uint8_t(maxPacket), uint8_t(maxPacket >> 8), 0});
  };
  // The placeholders' numbers skip 2, the number the locator's endpoints are meant to get;
  // without FUNCTIONFS_VIRTUAL_ADDR the numbers only name the endpoints to FunctionFS.
  const auto number = [](uint32_t i) { return uint8_t(i == 0 ? 1 : i + 2); };
  for (uint32_t i = 0; i < ph.out; ++i) endpoint(number(i));
  for (uint32_t i = 0; i < ph.in; ++i) endpoint(uint8_t(0x80 | number(i)));
  endpoint(kPipeOut);
  endpoint(kPipeIn);
}

}  // namespace

GadgetPlaceholders PlaceholdersForDriver(const std::string& driver) {
  if (driver == "dummy_udc") return {3, 0};
  if (driver == "dwc2" || driver == "dwc3") return {1, 1};
  return {};
}

std::optional<GadgetPlaceholders> ParsePlaceholders(const std::string& text) {
  unsigned in = 0, out = 0;
  char tail = 0;
  if (text.find_first_not_of("0123456789,") != std::string::npos ||
      std::sscanf(text.c_str(), "%u,%u%c", &in, &out, &tail) != 2 || in + out > kMaxPlaceholders)
    return std::nullopt;
  return GadgetPlaceholders{in, out};
}

std::vector<uint8_t> FunctionFsDescriptors(const GadgetPlaceholders& ph) {
  std::vector<uint8_t> speeds;
  PutSpeed(&speeds, ph, kFullSpeedPacket);
  PutSpeed(&speeds, ph, kHighSpeedPacket);
  const uint32_t perSpeed = 1 + ph.out + ph.in + 2;  // descriptors, not bytes
  std::vector<uint8_t> d;
  PutLe32(&d, FUNCTIONFS_DESCRIPTORS_MAGIC_V2);
  PutLe32(&d, uint32_t(20 + speeds.size()));
  PutLe32(&d, FUNCTIONFS_HAS_FS_DESC | FUNCTIONFS_HAS_HS_DESC);
  PutLe32(&d, perSpeed);
  PutLe32(&d, perSpeed);
  d.insert(d.end(), speeds.begin(), speeds.end());
  return d;
}

std::vector<uint8_t> FunctionFsStrings() {
  std::vector<uint8_t> s;
  PutLe32(&s, FUNCTIONFS_STRINGS_MAGIC);
  PutLe32(&s, 16);
  PutLe32(&s, 0);  // strings
  PutLe32(&s, 0);  // languages
  return s;
}

uint32_t LocatorOutFile(const GadgetPlaceholders& ph) { return ph.out + ph.in + 1; }
uint32_t LocatorInFile(const GadgetPlaceholders& ph) { return ph.out + ph.in + 2; }

std::string GadgetDir(const GadgetLayout& layout) { return layout.configfs + "/usb_gadget/" + layout.name; }

std::vector<GadgetStep> GadgetSetupSteps(const GadgetLayout& l) {
  const std::string g = GadgetDir(l);
  const std::string function = "ffs." + l.name;
  char vendor[8], product[8];
  std::snprintf(vendor, sizeof vendor, "0x%04x", l.vendorId);
  std::snprintf(product, sizeof product, "0x%04x", l.productId);
  std::vector<GadgetStep> s = {
      {GadgetStep::kMkdir, g, ""},
      {GadgetStep::kWrite, g + "/idVendor", vendor},
      {GadgetStep::kWrite, g + "/idProduct", product},
      {GadgetStep::kWrite, g + "/bcdDevice", "0x0100"},
      {GadgetStep::kWrite, g + "/bcdUSB", "0x0200"},
      {GadgetStep::kWrite, g + "/bDeviceClass", "0xff"},
      {GadgetStep::kWrite, g + "/bDeviceSubClass", "0x00"},
      {GadgetStep::kWrite, g + "/bDeviceProtocol", "0x00"},
      {GadgetStep::kWrite, g + "/bMaxPacketSize0", "64"},
      // High speed at most: the locator has no SuperSpeed descriptors.
      {GadgetStep::kWrite, g + "/max_speed", "high-speed"},
      {GadgetStep::kMkdir, g + "/strings/0x409", ""},
      {GadgetStep::kWrite, g + "/strings/0x409/manufacturer", kManufacturer},
      {GadgetStep::kWrite, g + "/strings/0x409/product", ProductName(l.productId)},
      {GadgetStep::kMkdir, g + "/configs/c.1", ""},
      {GadgetStep::kWrite, g + "/configs/c.1/bmAttributes", "0x80"},
      {GadgetStep::kWrite, g + "/configs/c.1/MaxPower", "100"},
      {GadgetStep::kMkdir, g + "/functions/" + function, ""},
      {GadgetStep::kSymlink, g + "/configs/c.1/" + function, g + "/functions/" + function},
      {GadgetStep::kMkdir, l.mountPoint, ""},
      {GadgetStep::kMount, l.mountPoint, l.name},
  };
  if (!l.bMaxSpeed)
    s.erase(std::find_if(s.begin(), s.end(), [](const GadgetStep& t) { return t.path.ends_with("/max_speed"); }));
  return s;
}

std::vector<GadgetStep> GadgetUndoSteps(const std::vector<GadgetStep>& steps, size_t done) {
  std::vector<GadgetStep> undo;
  for (size_t i = std::min(done, steps.size()); i-- > 0;) {
    const GadgetStep& s = steps[i];
    if (s.kind != GadgetStep::kWrite) undo.push_back(s);  // a mount is unmounted, a link unlinked, a directory removed
  }
  return undo;
}

GadgetChoice ChooseController(const GadgetHostFacts& f) {
  GadgetChoice c;
  bool bNameThem = false;
  if (!f.bRoot) {
    c.error = "--gadget needs root: it configures the gadget in configfs and mounts FunctionFS (run it with sudo)";
  } else if (!f.bConfigfsKnown) {
    c.error = "this kernel has no configfs: modprobe configfs (scripts/gadget/setup.sh loads it)";
  } else if (!f.bConfigfsMounted) {
    c.error = "configfs is not mounted: mount -t configfs none /sys/kernel/config (scripts/gadget/setup.sh does)";
  } else if (!f.bGadgetDir) {
    c.error = "the USB gadget configfs (libcomposite) is not loaded: modprobe libcomposite "
              "(scripts/gadget/setup.sh loads it)";
  } else if (f.controllers.empty()) {
    c.error = "no USB device controller (/sys/class/udc is empty): on a Raspberry Pi add "
              "dtoverlay=dwc2,dr_mode=peripheral to config.txt and modprobe dwc2; on a machine without one, "
              "modprobe dummy_hcd";
  } else if (!f.wanted.empty()) {
    if (std::find(f.controllers.begin(), f.controllers.end(), f.wanted) != f.controllers.end()) {
      c.controller = f.wanted;
    } else {
      c.error = "no USB device controller \"" + f.wanted + "\"; present:";
      bNameThem = true;
    }
  } else if (f.controllers.size() == 1) {
    c.controller = f.controllers.front();
  } else {
    c.error = "several USB device controllers: choose one with --udc; present:";
    bNameThem = true;
  }
  for (size_t i = 0; bNameThem && i < f.controllers.size(); ++i) c.error += (i == 0 ? " " : ", ") + f.controllers[i];
  return c;
}

namespace {

// The locator's transfers, as the updater gives them, time out after this; an OUT the
// locator holds (a short write) is held as long.
constexpr uint32_t kHostTimeoutMs = 3000;
// A response is waited for at most this long (the host's IN waits for it, as a device
// NAKs); a new request ends the wait.
constexpr uint32_t kResponseHoldMs = 10 * 60 * 1000;
// How long a response the host does not take may sit in the controller before a new request
// makes the front-end take it back (the host reads a response before it sends the next
// request, so a write it took ends well within this).
constexpr auto kTakenBack = std::chrono::milliseconds(20);
// Interrupts the front-end's threads out of blocking reads and writes of the endpoints.
constexpr int kWakeSignal = SIGUSR1;

void OnWakeSignal(int) {}

bool WriteText(const std::string& path, const std::string& text, int* pErrno) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  if (fd < 0) {
    *pErrno = errno;
    return false;
  }
  const ssize_t n = ::write(fd, text.data(), text.size());
  *pErrno = n == ssize_t(text.size()) ? 0 : (n < 0 ? errno : EIO);
  ::close(fd);
  return *pErrno == 0;
}

std::string ReadAll(const std::string& path) {
  std::ifstream in(path);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool FileExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

GadgetHostFacts ReadHostFacts(const GadgetLayout& layout, const std::string& wanted) {
  GadgetHostFacts f;
  f.bRoot = ::geteuid() == 0;
  f.bConfigfsKnown = ReadAll("/proc/filesystems").find("\tconfigfs\n") != std::string::npos;
  std::istringstream mounts(ReadAll("/proc/mounts"));
  for (std::string line; std::getline(mounts, line);) {
    std::istringstream fields(line);
    std::string dev, dir, type;
    fields >> dev >> dir >> type;
    if (dir == layout.configfs && type == "configfs") f.bConfigfsMounted = true;
  }
  f.bGadgetDir = FileExists(layout.configfs + "/usb_gadget");
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator("/sys/class/udc", ec)) {
    f.controllers.push_back(e.path().filename().string());
  }
  std::sort(f.controllers.begin(), f.controllers.end());
  f.wanted = wanted;
  return f;
}

std::string ControllerDriver(const std::string& controller) {
  std::error_code ec;
  const auto target = std::filesystem::read_symlink("/sys/class/udc/" + controller + "/device/driver", ec);
  return ec ? std::string() : target.filename().string();
}

// Runs one step; false (and errno) when it fails.
bool RunStep(const GadgetStep& s) {
  int err = 0;
  switch (s.kind) {
    case GadgetStep::kMkdir: return ::mkdir(s.path.c_str(), 0755) == 0;
    case GadgetStep::kWrite:
      if (WriteText(s.path, s.value, &err)) return true;
      errno = err;
      return false;
    case GadgetStep::kSymlink: return ::symlink(s.value.c_str(), s.path.c_str()) == 0;
    case GadgetStep::kMount: return ::mount(s.value.c_str(), s.path.c_str(), "functionfs", 0, nullptr) == 0;
  }
  return false;
}

// Undoes one step (see GadgetUndoSteps); what is already gone counts as undone.
bool UndoStep(const GadgetStep& s) {
  const int r = s.kind == GadgetStep::kMkdir     ? ::rmdir(s.path.c_str())
                : s.kind == GadgetStep::kSymlink ? ::unlink(s.path.c_str())
                : s.kind == GadgetStep::kMount   ? ::umount2(s.path.c_str(), 0)
                                                 : 0;  // a write goes with its directory
  if (r != 0 && s.kind == GadgetStep::kMount && errno == EINVAL) return true;  // not mounted
  return r == 0 || errno == ENOENT;
}

std::string StepText(const GadgetStep& s) {
  switch (s.kind) {
    case GadgetStep::kMkdir: return "mkdir " + s.path;
    case GadgetStep::kWrite: return "write \"" + s.value + "\" to " + s.path;
    case GadgetStep::kSymlink: return "ln -s " + s.value + " " + s.path;
    case GadgetStep::kMount: return "mount -t functionfs " + s.value + " " + s.path;
  }
  return {};
}

}  // namespace

struct GadgetFrontend::Impl {
  Locator& loc;
  Options opt;
  std::function<void(const std::string&)> log;
  std::string controller;
  GadgetPlaceholders ph;
  std::vector<GadgetStep> steps;
  size_t stepsDone = 0;
  int ep0 = -1, epOut = -1, epIn = -1;

  // Guarded by mu.
  std::mutex mu;
  std::condition_variable cv;
  bool bRunning = false;
  bool bStop = false;
  uint64_t wantedId = 0;          // the locator presence to show the host; 0: none
  uint64_t boundId = 0;           // the presence bound to the controller
  uint64_t failedId = 0;          // a presence whose bind failed: not retried
  uint64_t deferredUnplugId = 0;  // unplugged by the responder's transfer, once its write is done
  bool bEnabled = false;          // the host has configured the function
  uint64_t enableCount = 0;       // ENABLE events so far: a change ends a pause after an error
  uint64_t requests = 0;          // requests the locator accepted
  uint64_t served = 0;            // requests the responder has taken up
  uint64_t takenBackUpTo = 0;     // responses to requests up to here are no longer wanted
  bool bResponding = false;       // the responder is inside a request's response
  bool bWriting = false;          // ... writing it to the IN endpoint
  int threadsLeft = 0;
  std::thread threads[4];         // bus, ep0, requests, responses

  Impl(Locator& l, Options o) : loc(l), opt(std::move(o)) {}

  void Log(const std::string& s) {
    if (log) log(s);
  }

  std::string Path(const std::string& leaf) const { return GadgetDir(opt.layout) + "/" + leaf; }
  std::string EndpointFile(uint32_t n) const { return opt.layout.mountPoint + "/ep" + std::to_string(n); }

  // ---- The locator's presence ----
  void OnPlug(uint64_t id) {
    std::lock_guard<std::mutex> l(mu);
    wantedId = id;
    cv.notify_all();
  }

  void OnUnplug(uint64_t id) {
    std::lock_guard<std::mutex> l(mu);
    if (wantedId != id) return;
    // An unplug while a response is on its way (one that its own transfer causes, the
    // unplugafter fault) follows the response's write, as the bus orders them, so that the
    // host still gets it. The locator reports it on whichever of its callers' threads.
    if (bResponding) {
      deferredUnplugId = id;
      return;
    }
    wantedId = 0;
    cv.notify_all();
  }

  // Binds and unbinds the gadget until the controller shows what the locator is.
  void Bus() {
    std::unique_lock<std::mutex> l(mu);
    for (;;) {
      cv.wait(l, [&] { return bStop || (wantedId != boundId && (wantedId == 0 || wantedId != failedId)); });
      if (bStop) break;
      const uint64_t want = wantedId, had = boundId;
      l.unlock();
      if (had != 0) Unbind(had);
      bool bBound = false;
      if (want != 0) bBound = Bind(want);
      l.lock();
      boundId = bBound ? want : 0;
      failedId = bBound ? 0 : want;
      if (had != 0 || bBound) {
        bEnabled = false;
        cv.notify_all();
      }
    }
    const uint64_t had = boundId;
    boundId = 0;
    l.unlock();
    if (had != 0) Unbind(had);
  }

  bool Bind(uint64_t id) {
    char serial[32];
    std::snprintf(serial, sizeof serial, "VXS%05u%04u", unsigned(::getpid() % 100000), unsigned(id % 10000));
    int err = 0;
    if (!WriteText(Path("strings/0x409/serialnumber"), serial, &err) || !WriteText(Path("UDC"), controller, &err)) {
      Log("cannot bind the gadget to " + controller + ": " + std::strerror(err) +
          (err == EBUSY ? " (another gadget holds the controller)" : ""));
      return false;
    }
    Log("device " + std::to_string(id) + " bound to " + controller + " (serial " + serial + ")");
    return true;
  }

  void Unbind(uint64_t id) {
    int err = 0;
    if (!WriteText(Path("UDC"), "\n", &err)) {
      Log("cannot unbind the gadget from " + controller + ": " + std::strerror(err));
      return;
    }
    Log("device " + std::to_string(id) + " unbound from " + controller);
  }

  // ---- ep0: the function's events ----
  void Events() {
    usb_functionfs_event ev[4];
    for (;;) {
      const ssize_t n = ::read(ep0, ev, sizeof ev);
      if (Stopping()) break;
      if (n < 0) {
        if (errno != EINTR) PauseAfterError("ep0");
        continue;
      }
      for (ssize_t i = 0; i < n / ssize_t(sizeof ev[0]); ++i) OnEvent(ev[i]);
    }
  }

  void OnEvent(const usb_functionfs_event& e) {
    switch (e.type) {
      case FUNCTIONFS_ENABLE: {
        std::lock_guard<std::mutex> l(mu);
        bEnabled = true;
        ++enableCount;
        cv.notify_all();
        break;
      }
      case FUNCTIONFS_DISABLE:
      case FUNCTIONFS_UNBIND: {
        std::lock_guard<std::mutex> l(mu);
        bEnabled = false;
        cv.notify_all();
        break;
      }
      case FUNCTIONFS_SETUP: {
        // A class or vendor request to the interface or an endpoint: the loader knows none.
        // A transfer on ep0 against the request's direction stalls it.
        char none = 0;
        [[maybe_unused]] ssize_t r =
            (e.u.setup.bRequestType & USB_DIR_IN) != 0 ? ::read(ep0, &none, 0) : ::write(ep0, &none, 0);
        char text[96];
        std::snprintf(text, sizeof text, "stalled the host's request 0x%02X 0x%02X (the loader has none of its own)",
                      e.u.setup.bRequestType, e.u.setup.bRequest);
        Log(text);
        break;
      }
      default:  // bind, suspend, resume
        break;
    }
  }

  bool Stopping() {
    std::lock_guard<std::mutex> l(mu);
    return bStop;
  }

  // After a failed read or write that did not say why it ended: waits for the state to
  // change, at most 50 ms, so that a failing file is not retried in a busy loop.
  void PauseAfterError(const char* what) {
    const int err = errno;
    std::unique_lock<std::mutex> l(mu);
    const uint64_t enables = enableCount;
    const bool bWas = bEnabled;
    if (err != ESHUTDOWN && err != EINTR) Log(std::string(what) + ": " + std::strerror(err));
    cv.wait_for(l, std::chrono::milliseconds(50),
                [&] { return bStop || enableCount != enables || bEnabled != bWas; });
  }

  // ---- The OUT endpoint: one request per transfer ----
  void Requests() {
    std::vector<uint8_t> buf(kMaxFrameBytes);
    uint64_t checked = 0;  // the presence whose endpoints were looked at
    for (;;) {
      uint64_t id = 0;
      {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return bStop || (bEnabled && boundId != 0); });
        if (bStop) break;
        id = boundId;
      }
      if (id != checked) {
        checked = id;
        CheckEndpoints();
      }
      const ssize_t n = ::read(epOut, buf.data(), buf.size());
      const auto arrival = std::chrono::steady_clock::now();
      if (Stopping()) break;
      if (n < 0) {
        PauseAfterError("OUT endpoint");
        continue;
      }
      TakeBackResponse();
      uint32_t moved = 0;
      const BusStatus s = loc.Out(id, kPipeOut, buf.data(), uint32_t(n), &moved, kHostTimeoutMs, arrival);
      if (s == BusStatus::kOk) {
        std::lock_guard<std::mutex> l(mu);
        ++requests;
        cv.notify_all();
      }
    }
  }

  // Says which endpoints the controller gave the locator, once the host has configured it.
  void CheckEndpoints() {
    usb_endpoint_descriptor out = {}, in = {};
    if (::ioctl(epOut, FUNCTIONFS_ENDPOINT_DESC, &out) != 0 || ::ioctl(epIn, FUNCTIONFS_ENDPOINT_DESC, &in) != 0)
      return;  // disabled again meanwhile
    char text[320];
    if (out.bEndpointAddress == kPipeOut && in.bEndpointAddress == kPipeIn) {
      std::snprintf(text, sizeof text, "host configured the device: endpoints 0x%02X and 0x%02X, %u-byte packets",
                    out.bEndpointAddress, in.bEndpointAddress, unsigned(out.wMaxPacketSize));
    } else {
      std::snprintf(text, sizeof text,
                    "the controller gave the locator endpoints 0x%02X and 0x%02X, not 0x02 and 0x82: the updater "
                    "cannot reach it; name the placeholders this controller needs with --placeholder-eps IN,OUT "
                    "(now %u,%u)",
                    out.bEndpointAddress, in.bEndpointAddress, ph.in, ph.out);
    }
    Log(text);
  }

  // A new request replaces a response the host never took: ends the responder's wait for
  // it, or takes it back from the IN endpoint if the host did not read it within kTakenBack.
  void TakeBackResponse() {
    std::unique_lock<std::mutex> l(mu);
    takenBackUpTo = requests;
    while (bResponding && !bStop) {
      if (!bWriting) {
        l.unlock();
        loc.AbortWaits();
        l.lock();
        cv.wait_for(l, kTakenBack, [&] { return !bResponding || bWriting; });
      } else if (!cv.wait_for(l, kTakenBack, [&] { return !bResponding; })) {
        pthread_kill(threads[3].native_handle(), kWakeSignal);
      }
    }
  }

  // ---- The IN endpoint: each response once the locator has it ----
  void Responses() {
    std::vector<uint8_t> buf(kMaxFrameBytes);
    for (;;) {
      uint64_t id = 0, request = 0;
      {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return bStop || requests > served; });
        if (bStop) break;
        request = served = requests;
        id = boundId;
        bResponding = true;
      }
      uint32_t moved = 0;
      const BusStatus s = loc.In(id, kPipeIn, buf.data(), uint32_t(buf.size()), &moved, kResponseHoldMs);
      if (s == BusStatus::kOk) Respond(id, request, buf.data(), moved);
      std::lock_guard<std::mutex> l(mu);
      bResponding = false;
      if (deferredUnplugId != 0 && deferredUnplugId == wantedId) wantedId = 0;
      deferredUnplugId = 0;
      cv.notify_all();
    }
  }

  // Writes one response; again after the endpoint was re-enabled (the host selected the
  // interface anew) while the same presence is bound and no new request replaced it.
  void Respond(uint64_t id, uint64_t request, const uint8_t* pData, uint32_t len) {
    for (;;) {
      {
        std::unique_lock<std::mutex> l(mu);
        cv.wait(l, [&] { return bStop || boundId != id || takenBackUpTo >= request || bEnabled; });
        if (bStop || boundId != id || takenBackUpTo >= request) return;
        bWriting = true;
      }
      const ssize_t n = ::write(epIn, pData, len);
      const int err = errno;
      {
        std::lock_guard<std::mutex> l(mu);
        bWriting = false;
        cv.notify_all();
      }
      if (n >= 0 || err == EINTR) return;  // written, or taken back
      errno = err;
      PauseAfterError("IN endpoint");
    }
  }

  // ---- Set-up and teardown ----
  bool SetUp(std::string* pError) {
    const auto fail = [&](const std::string& why) {
      *pError = why;
      TearDown();
      return false;
    };
    opt.layout.vendorId = loc.VendorId();
    opt.layout.productId = loc.ProductId();
    if (FileExists(GadgetDir(opt.layout))) {
      RemoveLeftovers();
      Log("removed the gadget " + GadgetDir(opt.layout) + " that an earlier run left behind");
    }
    steps = GadgetSetupSteps(opt.layout);
    for (stepsDone = 0; stepsDone < steps.size(); ++stepsDone) {
      const GadgetStep& s = steps[stepsDone];
      // max_speed is newer than the rest (Linux 5.13): without it the controller's speed holds.
      if (s.path == Path("max_speed") && !FileExists(s.path)) continue;
      if (RunStep(s)) continue;
      const int err = errno;
      const bool bFunctionFs = s.kind == GadgetStep::kMount || s.path.find("/functions/") != std::string::npos;
      return fail("cannot " + StepText(s) + ": " + std::strerror(err) +
                  (bFunctionFs ? " (is FunctionFS there? modprobe usb_f_fs)" : ""));
    }
    ep0 = ::open((opt.layout.mountPoint + "/ep0").c_str(), O_RDWR | O_CLOEXEC);
    const std::vector<uint8_t> descs = FunctionFsDescriptors(ph), strings = FunctionFsStrings();
    if (ep0 < 0 || ::write(ep0, descs.data(), descs.size()) != ssize_t(descs.size()) ||
        ::write(ep0, strings.data(), strings.size()) != ssize_t(strings.size())) {
      return fail("FunctionFS refused the locator's descriptors: " + std::string(std::strerror(errno)));
    }
    epOut = ::open(EndpointFile(LocatorOutFile(ph)).c_str(), O_RDWR | O_CLOEXEC);
    epIn = ::open(EndpointFile(LocatorInFile(ph)).c_str(), O_RDWR | O_CLOEXEC);
    if (epOut < 0 || epIn < 0) {
      return fail("cannot open the FunctionFS endpoint files: " + std::string(std::strerror(errno)));
    }
    return true;
  }

  // A gadget of this name from a run that was killed: unbound (its FunctionFS closed with the
  // process) or still bound to a controller; removed whole.
  void RemoveLeftovers() {
    int err = 0;
    WriteText(Path("UDC"), "\n", &err);
    const std::vector<GadgetStep> all = GadgetSetupSteps(opt.layout);
    for (const GadgetStep& s : GadgetUndoSteps(all, all.size())) UndoStep(s);
  }

  void TearDown() {
    for (int* fd : {&epIn, &epOut, &ep0}) {
      if (*fd >= 0) ::close(*fd);
      *fd = -1;
    }
    for (const GadgetStep& s : GadgetUndoSteps(steps, stepsDone)) {
      if (!UndoStep(s)) Log("cannot undo " + StepText(s) + ": " + std::strerror(errno));
    }
    stepsDone = 0;
  }
};

GadgetFrontend::GadgetFrontend(Locator& locator, Options options)
    : m_pImpl(std::make_shared<Impl>(locator, std::move(options))) {}

GadgetFrontend::~GadgetFrontend() { Stop(); }

void GadgetFrontend::SetLog(LogFunction log) { m_pImpl->log = std::move(log); }

bool GadgetFrontend::Start(std::string* pError, const LogFunction& onReady) {
  Impl& s = *m_pImpl;
  if (s.bRunning) return true;
  const GadgetChoice choice = ChooseController(ReadHostFacts(s.opt.layout, s.opt.controller));
  if (choice.controller.empty()) {
    *pError = choice.error;
    return false;
  }
  s.controller = choice.controller;
  const std::string driver = ControllerDriver(s.controller);
  s.ph = s.opt.placeholders ? *s.opt.placeholders : PlaceholdersForDriver(driver);
  if (!s.SetUp(pError)) return false;

  struct sigaction sa = {};
  sa.sa_handler = OnWakeSignal;  // no SA_RESTART: a blocked read or write returns EINTR
  sigemptyset(&sa.sa_mask);
  sigaction(kWakeSignal, &sa, nullptr);

  char text[200];
  std::snprintf(text, sizeof text, "controller %s (driver %s): %u IN and %u OUT placeholder endpoints before the "
                "locator's", s.controller.c_str(), driver.empty() ? "unknown" : driver.c_str(), s.ph.in, s.ph.out);
  s.Log(text);
  s.bRunning = true;
  s.bStop = false;
  s.threadsLeft = 4;
  const auto run = [&s](void (Impl::*body)()) {
    return std::thread([&s, body] {
      (s.*body)();
      std::lock_guard<std::mutex> l(s.mu);
      --s.threadsLeft;
      s.cv.notify_all();
    });
  };
  s.threads[0] = run(&Impl::Bus);
  s.threads[1] = run(&Impl::Events);
  s.threads[2] = run(&Impl::Requests);
  s.threads[3] = run(&Impl::Responses);
  s.loc.SetListener(ListenerFor(m_pImpl));
  if (onReady) onReady(s.controller);
  return true;
}

void GadgetFrontend::Stop() {
  Impl& s = *m_pImpl;
  if (!s.bRunning) return;
  s.loc.SetListener({});
  {
    std::lock_guard<std::mutex> l(s.mu);
    s.bStop = true;
    s.cv.notify_all();
  }
  s.threads[0].join();  // unbinds: the endpoints' transfers end
  {
    std::unique_lock<std::mutex> l(s.mu);
    while (s.threadsLeft > 0) {
      // Repeated: a thread may enter a blocking call just after one wake-up.
      l.unlock();
      s.loc.AbortWaits();
      for (int i = 1; i < 4; ++i) pthread_kill(s.threads[i].native_handle(), kWakeSignal);
      l.lock();
      s.cv.wait_for(l, std::chrono::milliseconds(20), [&] { return s.threadsLeft == 0; });
    }
  }
  for (int i = 1; i < 4; ++i) s.threads[i].join();
  s.TearDown();
  s.bRunning = false;
  s.Log("gadget removed from configfs");
}

}  // namespace vxsim
