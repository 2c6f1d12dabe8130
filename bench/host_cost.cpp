// host_cost: what vx_fw_load costs the machine apart from the updates themselves.
//
//  1. Oversleep of the 30 ms poll pause and the 100 ms erase pause (OsSleep), measured in
//     this process after the program's own start-up (priority, timer period).
//  2. Time from a locator's arrival (the simulator's "locator plugged in") to the program's
//     "Press any key to start download", over several arrivals.
//  3. CPU time and resident memory of a waiting vx_fw_load over an idle period: with no
//     device (no simulator) and with an idle connected locator.
//
//   host_cost [--idle-seconds N] [--arrivals N]
#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "tests/support/child_process.h"
#include "program_harness.h"
#include "platform/os/os.h"
#include "usb/usb_message.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using harness::Report;

namespace {

int g_nIdleSeconds = 30;
int g_nArrivals = 5;
fs::path g_dir;

struct Stats {
  double min, median, p90, max, mean;
};

Stats Summarise(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  double sum = 0;
  for (double x : v) sum += x;
  return {v.front(), v[v.size() / 2], v[std::min(v.size() - 1, v.size() * 9 / 10)], v.back(), sum / double(v.size())};
}

double Since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// CPU time of every thread of a process so far, in seconds (scheduler statistics, ns).
double ProcessCpuSeconds(pid_t pid) {
  double total = 0;
  std::error_code ec;
  for (const auto& task : fs::directory_iterator("/proc/" + std::to_string(pid) + "/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    unsigned long long ns = 0;
    if (in >> ns) total += double(ns) * 1e-9;
  }
  return total;
}

// A field of /proc/PID/status in kB ("VmRSS", "VmHWM").
long StatusKb(pid_t pid, const std::string& field) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/status");
  for (std::string line; std::getline(in, line);)
    if (line.rfind(field + ":", 0) == 0) return std::atol(line.c_str() + field.size() + 1);
  return -1;
}

void MeasureOversleep() {
  for (DWORD dwMs : {30u, 100u}) {
    std::vector<double> over;
    const int n = dwMs == 30 ? 100 : 40;
    for (int i = 0; i < n; ++i) {
      const auto t0 = Clock::now();
      OsSleep(dwMs);
      over.push_back(Since(t0) * 1e6 - dwMs * 1000.0);
    }
    const Stats s = Summarise(over);
    Report("OsSleep(%u) oversleep over %d sleeps: min %.0f us, median %.0f us, p90 %.0f us, max %.0f us\n", dwMs, n,
           s.min, s.median, s.p90, s.max);
  }
}

ChildProcess::Options SimOptions(const std::string& sSocket, uint32_t plugDelayMs) {
  ChildProcess::Options o;
  o.argv = {VX_LOCATOR_SIM_PATH, "--socket", sSocket, "--link", "hs", "--plug-delay", std::to_string(plugDelayMs)};
  return o;
}

ChildProcess::Options UpdaterOptions(const std::string& sSocket) {
  ChildProcess::Options o;
  o.argv = {VX_FW_LOAD_PATH};
  o.env = {{"PROGRAMDATA", (g_dir / "ProgramData").string()}, {"VX_LOCATOR_SIM", sSocket}};
  return o;
}

void MeasureArrivalToPrompt() {
  std::vector<double> ms;
  for (int i = 0; i < g_nArrivals; ++i) {
    const std::string sSocket = (g_dir / ("arrival" + std::to_string(i) + ".sock")).string();
    ChildProcess sim(SimOptions(sSocket, 2500));  // after the updater's start-up and first prompt
    if (!sim.WaitFor("listening", 10000)) break;
    ChildProcess updater(UpdaterOptions(sSocket));
    if (!sim.WaitFor("locator plugged in", 10000)) break;
    const auto tArrival = Clock::now();
    if (!updater.WaitFor("Press any key to start download", 10000)) break;
    ms.push_back(Since(tArrival) * 1e3);
    updater.Stop(SIGTERM);
    sim.Stop(SIGTERM);
  }
  if (ms.empty()) {
    Report("arrival to prompt: not measured (the simulated locator was not announced)\n");
    return;
  }
  const Stats s = Summarise(ms);
  Report("arrival to \"Press any key to start download\" over %zu arrivals: min %.1f ms, median %.1f ms, max %.1f ms\n",
         ms.size(), s.min, s.median, s.max);
}

void MeasureIdle(bool bWithLocator) {
  const std::string sSocket = (g_dir / "idle.sock").string();
  std::unique_ptr<ChildProcess> sim;
  ChildProcess::Options updaterOptions = UpdaterOptions(sSocket);
  if (bWithLocator) {
    sim = std::make_unique<ChildProcess>(SimOptions(sSocket, 0));
    if (!sim->WaitFor("listening", 10000)) return;
  } else {
    updaterOptions.env.erase("VX_LOCATOR_SIM");  // the platform's own backend: no device here
  }
  ChildProcess updater(updaterOptions);
  const std::string sReady = bWithLocator ? "Press any key to start download" : "Connect Valtor locator";
  if (!updater.WaitFor(sReady, 15000)) {
    Report("idle (%s): the updater did not get ready\n", bWithLocator ? "connected locator" : "no device");
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(500));
  const double cpu0 = ProcessCpuSeconds(updater.Pid());
  const double simCpu0 = sim ? ProcessCpuSeconds(sim->Pid()) : 0;
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::seconds(g_nIdleSeconds));
  const double wall = Since(t0);
  const double cpu = ProcessCpuSeconds(updater.Pid()) - cpu0;
  const double simCpu = sim ? ProcessCpuSeconds(sim->Pid()) - simCpu0 : 0;
  Report("idle %.0f s, %s: vx_fw_load CPU %.1f ms = %.3f%% of one core; VmRSS %ld kB, VmHWM %ld kB", wall,
         bWithLocator ? "idle connected locator" : "no device", cpu * 1e3, cpu / wall * 100,
         StatusKb(updater.Pid(), "VmRSS"), StatusKb(updater.Pid(), "VmHWM"));
  if (sim) Report(" (the simulator: %.3f%%)", simCpu / wall * 100);
  Report("\n");
  updater.Stop(SIGTERM);
  if (sim) sim->Stop(SIGTERM);
}

// The programs measured as children start at ordinary priority, as from a shell (vx_fw_load
// raises its own); this process takes the program's priority only for the pauses.
void MeasureChildren() {
  MeasureArrivalToPrompt();
  MeasureIdle(false);
  MeasureIdle(true);
}

// Takes the update loop's place after start-up.
void Measure() { MeasureOversleep(); }

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--idle-seconds" && i + 1 < argc) {
      g_nIdleSeconds = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--arrivals" && i + 1 < argc) {
      g_nArrivals = std::max(1, std::atoi(argv[++i]));
    } else {
      std::fprintf(stderr, "usage: %s [--idle-seconds N] [--arrivals N]\n", argv[0]);
      return 2;
    }
  }
  g_dir = fs::temp_directory_path() / ("vx_host_cost_" + std::to_string(getpid()));
  const fs::path folder = harness::FirmwareFolder(g_dir / "ProgramData");
  fs::create_directories(folder);
  std::ofstream(folder / "pcversions.txt") << "12,0\n3,1,main.bin\n";
  unsetenv("VX_LOCATOR_SIM");

  harness::RunAsTheProgram(argv, &Measure, &MeasureChildren);

  std::error_code ec;
  fs::remove_all(g_dir, ec);
  std::_Exit(0);
}
