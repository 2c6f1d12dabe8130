// vx_locator_sim: one simulated locator served over a local socket, for end-to-end tests
// and demos of the updater without hardware. Prints one line per event; on SIGINT or
// SIGTERM (Ctrl-C on Windows) it writes the dumps asked for and exits 0.
#include <CLI/CLI.hpp>

#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <mutex>
#include <string>
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

void Print(const std::string& line) {
  std::lock_guard<std::mutex> l(g_printMu);
  std::printf("[sim] %s\n", line.c_str());
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
  uint32_t product = 9;
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
  app.add_option("--product", product, "USB product id: 9 (the locator's loader) or 1 (the DSP board)")
      ->check(CLI::IsMember({1, 9}))
      ->capture_default_str();
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
  cfg.productId = uint16_t(product);
  cfg.smallEraseMs = vxsim::kTypicalSmallEraseMs;
  cfg.largeEraseMs = vxsim::kTypicalLargeEraseMs;
  cfg.latencyUs = latencyUs;
  cfg.timing.link = *vxsim::ParseLink(link);
  cfg.timing.pageProgramUs = programUs;
  cfg.timing.crcNsPerUnit = crcNs;
  cfg.timing.eraseSeed = eraseSeed;
  if (bFast) cfg.smallEraseMs = cfg.largeEraseMs = cfg.timing.pageProgramUs = cfg.timing.crcNsPerUnit = 0;
  if (!eraseMs.empty()) {
    const size_t comma = eraseMs.find(',');
    if (comma == std::string::npos || !ParseUnsigned(eraseMs.substr(0, comma), &cfg.smallEraseMs) ||
        !ParseUnsigned(eraseMs.substr(comma + 1), &cfg.largeEraseMs)) {
      PrintError("--erase-ms wants SMALL,LARGE in ms, e.g. 250,700; got \"" + eraseMs + "\"");
      return 2;
    }
  }
  std::vector<vxsim::Fault> faults;
  for (const std::string& text : faultTexts) {
    std::string error;
    std::optional<vxsim::Fault> f = vxsim::ParseFault(text, &error);
    if (!f) {
      PrintError(error);
      return 2;
    }
    faults.push_back(*f);
  }

  vxsim::Locator locator(cfg);
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
  for (const vxsim::Fault& f : faults) locator.AddFault(f);
  locator.SetProductionLine(bProductionLine, unplugAfterMs, replugMs);

  vxsim::Server server(locator, socketPath);
  server.SetLog(Print);
  std::string error;
  const auto announce = [&](const std::string& endpoint) {
    char line[160];
    std::snprintf(line, sizeof line, "listening on %s (product %u, erase %u/%u ms%s)", endpoint.c_str(), product,
                  cfg.smallEraseMs, cfg.largeEraseMs, bProductionLine ? ", production line" : "");
    Print(line);
    const vxsim::LinkGeometry g = vxsim::LinkGeometryOf(cfg.timing.link);
    char linkText[160] = "none";
    if (cfg.timing.link != vxsim::LinkSpeed::kNone) {
      std::snprintf(linkText, sizeof linkText, "%s (%u ns frames, %u-byte packets, %u a frame)",
                    vxsim::LinkName(cfg.timing.link), g.frameNs, g.packetBytes, g.perFrame);
    }
    const std::string eraseText = eraseSeed != 0 ? "drawn from [typical/2, 2*typical], seed " + std::to_string(eraseSeed)
                                                 : std::string("typical");
    char model[400];
    std::snprintf(model, sizeof model,
                  "timing: link %s, latency %u us, page program %u us, CRC %u ns/unit, erase %u/%u ms %s",
                  linkText, cfg.latencyUs, cfg.timing.pageProgramUs, cfg.timing.crcNsPerUnit, cfg.smallEraseMs,
                  cfg.largeEraseMs, eraseText.c_str());
    Print(model);
  };
#if defined(VX_SIM_USBREDIR)
  vxsim::UsbredirFrontend usbredir(locator, usbredirPath);
  usbredir.SetLog(Print);
#endif
  bool bStarted = false;
#if defined(VX_SIM_GADGET)
  vxsim::GadgetFrontend::Options gadgetOptions;
  gadgetOptions.controller = gadgetUdc;
  if (!placeholderText.empty() && !(gadgetOptions.placeholders = vxsim::ParsePlaceholders(placeholderText))) {
    PrintError("--placeholder-eps wants IN,OUT, e.g. 3,0; got \"" + placeholderText + "\"");
    return 2;
  }
  vxsim::GadgetFrontend gadget(locator, gadgetOptions);
  gadget.SetLog(Print);
  if (bGadget) {
    bStarted = gadget.Start(&error, [&](const std::string& udc) { announce("USB device controller " + udc); });
    if (!bStarted) error = "--gadget: " + error;
  } else
#endif
  {
#if defined(VX_SIM_USBREDIR)
    bStarted = usbredirPath.empty() ? server.Start(&error, announce) : usbredir.Start(&error, announce);
#else
    bStarted = server.Start(&error, announce);
#endif
  }
  if (!bStarted) {
    PrintError(error);
    return 1;
  }
  locator.PlugAfter(plugDelayMs);

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
  server.Stop();
#if defined(VX_SIM_USBREDIR)
  usbredir.Stop();
#endif
#if defined(VX_SIM_GADGET)
  gadget.Stop();
#endif
  int rc = 0;
  if (!flashDumpPath.empty()) {
    if (locator.DumpFlash(flashDumpPath)) {
      Print("flash written to " + flashDumpPath);
    } else {
      PrintError("cannot write \"" + flashDumpPath + "\"");
      rc = 1;
    }
  }
  if (!eepromDumpPath.empty()) {
    if (locator.DumpEeprom(eepromDumpPath)) {
      Print("EEPROM written to " + eepromDumpPath);
    } else {
      PrintError("cannot write \"" + eepromDumpPath + "\"");
      rc = 1;
    }
  }
  locator.SetEventLog({});
  return rc;
}
