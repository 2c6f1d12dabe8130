// vx_locator_sim: one simulated locator served over a local socket, for end-to-end tests
// and demos of the updater without hardware. Prints one line per event; on SIGINT or
// SIGTERM (Ctrl-C on Windows) it writes the dumps asked for and exits 0.
#include <CLI/CLI.hpp>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "sim/locator.h"
#include "sim/server.h"
#if defined(VX_SIM_USBREDIR)
#include "sim/usbredir_frontend.h"
#endif
#if defined(VX_SIM_GADGET)
#include "sim/gadget_frontend.h"
#endif

#if defined(_WIN32)
#include <windows.h>
#else
#include <csignal>
#include <pthread.h>
#endif

namespace {

#if defined(_WIN32)
constexpr const char* kDefaultSocket = "tcp:47600";
#else
constexpr const char* kDefaultSocket = "/tmp/vx_locator_sim.sock";
#endif

std::mutex g_printMu;
bool g_bLogTimes = false;  // set once, before any thread that prints starts
const auto g_start = std::chrono::steady_clock::now();

void Print(const std::string& line) {
  std::lock_guard<std::mutex> l(g_printMu);
  if (g_bLogTimes) {
    const std::chrono::duration<double> since = std::chrono::steady_clock::now() - g_start;
    std::printf("[sim %.6f] %s\n", since.count(), line.c_str());
  } else {
    std::printf("[sim] %s\n", line.c_str());
  }
  std::fflush(stdout);
}

void PrintError(const std::string& line) {
  std::lock_guard<std::mutex> l(g_printMu);
  std::fprintf(stderr, "vx_locator_sim: %s\n", line.c_str());
  std::fflush(stderr);
}

bool ParseUnsigned(const std::string& s, uint32_t* pValue) {
  if (s.empty() || s.find_first_not_of("0123456789abcdefABCDEFxX") != std::string::npos) return false;
  try {
    size_t used = 0;
    const unsigned long long v = std::stoull(s, &used, 0);
    if (used != s.size() || v > 0xFFFFFFFFull) return false;
    *pValue = uint32_t(v);
    return true;
  } catch (...) {
    return false;
  }
}

#if defined(_WIN32)
std::mutex g_stopMu;
std::condition_variable g_stopCv;
bool g_bStop = false;

BOOL WINAPI OnConsoleCtrl(DWORD) {
  std::lock_guard<std::mutex> l(g_stopMu);
  g_bStop = true;
  g_stopCv.notify_all();
  return TRUE;
}
#endif

// Guards the locator against the control thread once the program stops.
std::mutex g_controlMu;
bool g_bControlStopped = false;

// Reads commands for the running locator from a file or FIFO, one a line, opened again
// whenever its writer closes it: plug, unplug, ids VID PID (of the next presence),
// fault TEXT (added to the plan), clearfaults. Runs until the program stops.
void ReadControl(vxsim::Locator* pLocator, std::string path) {
  for (;;) {
    std::ifstream in(path);
    if (!in) {
      PrintError("cannot read control file \"" + path + "\"");
      return;
    }
    std::string line;
    while (std::getline(in, line)) {
      const size_t space = line.find(' ');
      const std::string command = line.substr(0, space), rest = space == std::string::npos ? "" : line.substr(space + 1);
      const size_t gap = rest.find(' ');
      uint32_t vid = 0, pid = 0;
      std::optional<vxsim::Fault> fault;
      std::string error;
      std::lock_guard<std::mutex> l(g_controlMu);
      if (g_bControlStopped) return;
      if (command == "plug") {
        pLocator->Plug();
      } else if (command == "unplug") {
        pLocator->Unplug();
      } else if (command == "ids" && gap != std::string::npos && ParseUnsigned(rest.substr(0, gap), &vid) &&
                 ParseUnsigned(rest.substr(gap + 1), &pid) && vid <= 0xFFFF && pid <= 0xFFFF) {
        pLocator->SetIds(uint16_t(vid), uint16_t(pid));
      } else if (command == "fault" && (fault = vxsim::ParseFault(rest, &error))) {
        pLocator->AddFault(*fault);
      } else if (command == "clearfaults") {
        pLocator->ClearFaults();
      } else {
        PrintError("control: cannot do \"" + line + "\"" + (error.empty() ? "" : ": " + error));
        continue;
      }
      Print("control: " + line);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
#if !defined(_WIN32)
  // Every thread started from here on leaves SIGINT and SIGTERM to sigwait below.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  std::signal(SIGPIPE, SIG_IGN);
#endif

  CLI::App app{"Simulated locator loader served over a local socket"};
  std::string socketPath = kDefaultSocket;
  uint32_t product = 9, vendor = vxsim::kDefaultVendorId;
  bool bDiscardLate = false;
  std::string controlPath;
  uint32_t plugDelayMs = 500;
  std::string eraseMs;
  bool bFast = false;
  uint32_t latencyUs = 0;
  std::string link = "none";
  uint32_t programUs = vxsim::kTypicalPageProgramUs;
  uint32_t crcNs = vxsim::kTypicalCrcNsPerUnit;
  uint32_t eraseSeed = 0;
  std::vector<std::string> faultTexts;
  std::string tracePath, flashDumpPath, eepromDumpPath;
  std::vector<std::string> flashImages;
  bool bProductionLine = false;
  uint32_t unplugAfterMs = 500, replugMs = 3000;

  app.add_option("--socket", socketPath, "Unix socket path, or tcp:PORT on 127.0.0.1")->capture_default_str();
  app.add_option("--product", product, "USB product id: 9 (the locator's loader), 1 (the Dorrin C6748 device), or another")
      ->check(CLI::Range(0, 0xFFFF))
      ->capture_default_str();
  app.add_option("--vendor", vendor, "USB vendor id")->check(CLI::Range(0, 0xFFFF))->capture_default_str();
  app.add_flag("--discard-late", bDiscardLate,
               "a new request discards a response no IN took (default: it stays for the next IN, as on a device)");
  app.add_option("--control", controlPath, "read plug, unplug, ids VID PID, fault TEXT, clearfaults from FILE (a FIFO)");
  app.add_option("--plug-delay", plugDelayMs, "ms after start at which the locator is plugged in")->capture_default_str();
  auto* pErase = app.add_option("--erase-ms", eraseMs, "erase time of a boot sector and of a large sector: SMALL,LARGE");
  app.add_option("--erase-seed", eraseSeed, "draw each erase time from [typical/2, 2*typical] with this seed (0: typical)");
  app.add_option("--link", link, "bulk link timing: fs (1 ms frames), hs (125 us microframes) or none")
      ->check(CLI::IsMember({"none", "fs", "hs"}))
      ->capture_default_str();
  auto* pProgram = app.add_option("--program-us", programUs, "time to program one 256-byte page")->capture_default_str();
  auto* pCrc = app.add_option("--crc-ns", crcNs, "the loader's CRC time per 16-bit unit")->capture_default_str();
  app.add_flag("--fast", bFast, "no device time: --erase-ms 0,0 --program-us 0 --crc-ns 0")
      ->excludes(pErase)
      ->excludes(pProgram)
      ->excludes(pCrc);
  app.add_option("--latency-us", latencyUs, "added to every transfer's link time");
  app.add_option("--fault", faultTexts, "fault plan, e.g. noanswer@x=3 or result=55@cmd=412#6 (repeatable)");
  app.add_option("--trace", tracePath, "write one line per transfer to FILE");
  app.add_option("--dump-flash", flashDumpPath, "write the flash (little-endian units) to FILE at exit");
  app.add_option("--dump-eeprom", eepromDumpPath, "write the EEPROM to FILE at exit");
  app.add_option("--flash-image", flashImages, "initial flash contents: FILE[@UNITADDR] (repeatable)");
  app.add_flag("--log-times", g_bLogTimes, "begin each line with the seconds since start, to the microsecond");
  app.add_flag("--production-line", bProductionLine,
               "after the closing EEPROM record unplug, then plug in a fresh erased locator");
  app.add_option("--unplug-after-ms", unplugAfterMs, "production line: ms from the record to the unplug")
      ->capture_default_str();
  app.add_option("--replug-ms", replugMs, "production line: ms from the unplug to the next locator")
      ->capture_default_str();
  std::string usbredirPath;
#if defined(VX_SIM_USBREDIR)
  app.add_option("--usbredir", usbredirPath,
                 "instead of --socket: be a USB device for QEMU's usb-redir, which connects to this Unix socket");
#endif
#if defined(VX_SIM_GADGET)
  bool bGadget = false;
  std::string gadgetUdc, placeholderText;
  app.add_flag("--gadget", bGadget,
               "instead of --socket: be a real USB device through this machine's device controller "
               "(configfs and FunctionFS; root)");
  app.add_option("--udc", gadgetUdc, "--gadget: the device controller (/sys/class/udc); default: the only one");
  app.add_option("--placeholder-eps", placeholderText,
                 "--gadget: bulk endpoints IN,OUT declared before the locator's so that it gets 0x02 and 0x82 "
                 "(default: by the controller's driver)");
#endif
  CLI11_PARSE(app, argc, argv);

  vxsim::LocatorConfig cfg;
  vxsim::TimingModel& t = cfg.timing;
  cfg.productId = uint16_t(product);
  cfg.vendorId = uint16_t(vendor);
  cfg.bKeepLateAnswers = !bDiscardLate;
  t.smallEraseMs = vxsim::kTypicalSmallEraseMs;
  t.largeEraseMs = vxsim::kTypicalLargeEraseMs;
  t.latencyUs = latencyUs;
  t.link = *vxsim::ParseLink(link);
  t.pageProgramUs = programUs;
  t.crcNsPerUnit = crcNs;
  t.eraseSeed = eraseSeed;
  if (bFast) t.smallEraseMs = t.largeEraseMs = t.pageProgramUs = t.crcNsPerUnit = 0;
  if (!eraseMs.empty()) {
    const size_t comma = eraseMs.find(',');
    if (comma == std::string::npos || !ParseUnsigned(eraseMs.substr(0, comma), &t.smallEraseMs) ||
        !ParseUnsigned(eraseMs.substr(comma + 1), &t.largeEraseMs)) {
      PrintError("--erase-ms wants SMALL,LARGE in ms, e.g. 250,700; got \"" + eraseMs + "\"");
      return 2;
    }
  }

  vxsim::Locator locator(cfg);
  for (const std::string& text : faultTexts) {
    std::string error;
    const std::optional<vxsim::Fault> f = vxsim::ParseFault(text, &error);
    if (!f) {
      PrintError(error);
      return 2;
    }
    locator.AddFault(*f);
  }
  locator.SetEventLog(Print);
  for (const std::string& option : flashImages) {
    std::string path = option;
    uint32_t unit = 0;
    const size_t at = option.rfind('@');
    if (at != std::string::npos) {
      path = option.substr(0, at);
      if (!ParseUnsigned(option.substr(at + 1), &unit) || unit >= vxsim::kFlashUnits) {
        PrintError("bad unit address in --flash-image \"" + option + "\"");
        return 2;
      }
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
      PrintError("cannot read flash image \"" + path + "\"");
      return 2;
    }
    const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), {});
    locator.LoadFlash(unit, bytes);
    char buf[64];
    std::snprintf(buf, sizeof buf, " (%zu bytes) at 0x%X", bytes.size(), unit);
    Print("flash image " + path + buf);
  }
  if (!tracePath.empty() && !locator.SetTraceFile(tracePath)) {
    PrintError("cannot write trace file \"" + tracePath + "\"");
    return 2;
  }
  locator.SetProductionLine(bProductionLine, unplugAfterMs, replugMs);

  std::string error;
  const auto announce = [&](const std::string& endpoint) {
    char line[160];
    std::snprintf(line, sizeof line, "listening on %s (vendor 0x%04X, product %u, erase %u/%u ms%s%s)",
                  endpoint.c_str(), vendor, product, t.smallEraseMs, t.largeEraseMs,
                  bProductionLine ? ", production line" : "", bDiscardLate ? ", late answers discarded" : "");
    Print(line);
    const vxsim::LinkGeometry g = vxsim::LinkGeometryOf(t.link);
    char linkText[160] = "none";
    if (t.link != vxsim::LinkSpeed::kNone) {
      std::snprintf(linkText, sizeof linkText, "%s (%u ns frames, %u-byte packets, %u a frame)",
                    vxsim::LinkName(t.link), g.frameNs, g.packetBytes, g.perFrame);
    }
    const std::string eraseText = eraseSeed != 0 ? "drawn from [typical/2, 2*typical], seed " + std::to_string(eraseSeed)
                                                 : std::string("typical");
    char model[400];
    std::snprintf(model, sizeof model,
                  "timing: link %s, latency %u us, page program %u us, CRC %u ns/unit, erase %u/%u ms %s",
                  linkText, t.latencyUs, t.pageProgramUs, t.crcNsPerUnit, t.smallEraseMs, t.largeEraseMs,
                  eraseText.c_str());
    Print(model);
  };
  // One front-end: the gadget, a QEMU guest's usbredir socket, or the updater's socket.
  std::unique_ptr<vxsim::Frontend> frontend;
  vxsim::LogFunction onReady = announce;
  std::string errorPrefix;
#if defined(VX_SIM_GADGET)
  vxsim::GadgetFrontend::Options gadgetOptions;
  gadgetOptions.controller = gadgetUdc;
  if (!placeholderText.empty() && !(gadgetOptions.placeholders = vxsim::ParsePlaceholders(placeholderText))) {
    PrintError("--placeholder-eps wants IN,OUT, e.g. 3,0; got \"" + placeholderText + "\"");
    return 2;
  }
  if (bGadget) {
    frontend = std::make_unique<vxsim::GadgetFrontend>(locator, gadgetOptions);
    onReady = [&](const std::string& udc) { announce("USB device controller " + udc); };
    errorPrefix = "--gadget: ";
  }
#endif
#if defined(VX_SIM_USBREDIR)
  if (!frontend && !usbredirPath.empty()) frontend = std::make_unique<vxsim::UsbredirFrontend>(locator, usbredirPath);
#endif
  if (!frontend) frontend = std::make_unique<vxsim::Server>(locator, socketPath);
  frontend->SetLog(Print);
  if (!frontend->Start(&error, onReady)) {
    PrintError(errorPrefix + error);
    return 1;
  }
  locator.PlugAfter(plugDelayMs);
  if (!controlPath.empty()) std::thread(ReadControl, &locator, controlPath).detach();

#if defined(_WIN32)
  SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
  {
    std::unique_lock<std::mutex> l(g_stopMu);
    g_stopCv.wait(l, [] { return g_bStop; });
  }
#else
  int sig = 0;
  sigwait(&stopSignals, &sig);
#endif
  Print("stopping");
  {
    std::lock_guard<std::mutex> l(g_controlMu);
    g_bControlStopped = true;
  }
  frontend->Stop();
  int rc = 0;
  const auto dump = [&](const std::string& path, bool (vxsim::Locator::*write)(const std::string&) const,
                        const std::string& what) {
    if (path.empty()) return;
    if ((locator.*write)(path)) return Print(what + " written to " + path);
    PrintError("cannot write \"" + path + "\"");
    rc = 1;
  };
  dump(flashDumpPath, &vxsim::Locator::DumpFlash, "flash");
  dump(eepromDumpPath, &vxsim::Locator::DumpEeprom, "EEPROM");
  locator.SetEventLog({});
  return rc;
}
