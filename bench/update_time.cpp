// update_time: complete updates of a 1024-page image against a vx_locator_sim process, with
// the high-speed and the full-speed link model, each measured against its floor.
//
// The updater runs in this process exactly as vx_fw_load does: the same start-up (priority,
// timer period, the channel over VX_LOCATOR_SIM), the same connection poll, and one
// RunUpdateAttempt per run, timed from the key read to "Download Complete". Its console
// output goes to the null device. The floor of a run comes from the simulator's trace of that
// run: the modelled time charged to every exchange plus the 100 ms pause before every erase
// status request (vxsim::FloorOfTrace). Also reported per exchange: the process's CPU time and
// heap allocations during the attempt.
//
// The two talk over TCP on the loopback, where the simulator takes each request's arrival
// from the kernel's receive stamp, so that its own wake-up is not charged to the updater;
// --unix uses a Unix domain socket instead (arrival read when its reader wakes).
//
//   update_time [--runs-hs N] [--runs-fs N] [--unix] [--sim PATH] [-- extra vx_locator_sim options]
//
// Ends with one line per model: "hs median ratio 1.004", "fs median ratio ...".
#include <algorithm>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include <arpa/inet.h>
#include <csignal>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "counting_new.h"
#include "app/update_loop.h"
#include "tests/support/child_process.h"
#include "program_harness.h"
#include "platform/os/os.h"
#include "sim/locator.h"
#include "usb/usb_message.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

using harness::Report;

namespace {

constexpr uint32_t kPages = 1024;
constexpr const char* kImageName = "update_time.bin";

struct Settings {
  int nRunsHs = 7;
  int nRunsFs = 5;
  std::string sSimPath = VX_LOCATOR_SIM_PATH;
  std::vector<std::string> simExtra;
  fs::path dir;
  std::string sSocket;  // the endpoint: "tcp:PORT" or a socket path
  bool bUnix = false;
};
Settings g_settings;

double ProcessCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
  return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Run {
  double measuredS;
  double floorS;
  uint32_t exchanges;
  uint32_t statusRequests;
  double cpuUsPerExchange;
  double allocsPerExchange;
  int32_t nResult;
  double Ratio() const { return measuredS / floorS; }
};

std::string ReadFrom(const fs::path& path, std::streamoff offset) {
  std::ifstream in(path, std::ios::binary);
  in.seekg(offset);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::streamoff FileSize(const fs::path& path) {
  std::error_code ec;
  const auto n = fs::file_size(path, ec);
  return ec ? 0 : std::streamoff(n);
}

vxsim::TraceFloor FloorOfTraceText(const std::string& text) {
  std::vector<vxsim::TraceEntry> entries;
  size_t pos = 0;
  while (pos < text.size()) {
    size_t end = text.find('\n', pos);
    if (end == std::string::npos) end = text.size();
    if (auto e = vxsim::ParseTraceLine(text.substr(pos, end - pos))) entries.push_back(std::move(*e));
    pos = end + 1;
  }
  return vxsim::FloorOfTrace(entries);
}

// Polls as the update loop does until the connection is as wanted; false after timeoutMs.
bool PollUntil(bool bConnected, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline)
    if (PollConnection() == bConnected) return true;
  return false;
}

bool WaitForFileText(const fs::path& path, const std::string& text, int timeoutMs) {
  const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  while (Clock::now() < deadline) {
    if (ReadFrom(path, 0).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

// Runs the updates of one link model; false when the simulator or the connection failed.
bool MeasureModel(const char* pszLink, int nRuns, const UpdateLoopState& state, double* pMedian) {
  const fs::path trace = g_settings.dir / (std::string("trace_") + pszLink + ".txt");
  const fs::path log = g_settings.dir / (std::string("sim_") + pszLink + ".txt");
  ChildProcess::Options options;
  options.argv = {g_settings.sSimPath, "--socket", g_settings.sSocket, "--link", pszLink, "--plug-delay", "0",
                  "--trace", trace.string()};
  options.argv.insert(options.argv.end(), g_settings.simExtra.begin(), g_settings.simExtra.end());
  options.stdoutFile = log.string();
  ChildProcess sim(options);
  if (!sim.Started() || !WaitForFileText(log, "listening", 10000) || !PollUntil(true, 10000)) {
    Report("%s: the simulated locator did not connect (see %s)\n", pszLink, log.string().c_str());
    return false;
  }
  {
    const std::string text = ReadFrom(log, 0);
    const size_t at = text.find("timing:");
    Report("\n%s model: %s\n", pszLink, text.substr(at, text.find('\n', at) - at).c_str());
  }
  Report("%4s %10s %10s %8s %9s %7s %11s %12s %9s\n", "run", "measured", "floor", "ratio", "exchanges", "polls",
         "cpu/exch us", "allocs/exch", "KB/s");

  std::vector<Run> runs;
  for (int i = 0; i < nRuns; ++i) {
    const std::streamoff offset = FileSize(trace);
    const uint64_t nAllocs0 = AllocationCount();
    const double cpu0 = ProcessCpuSeconds();
    const auto t0 = Clock::now();
    const int32_t nResult = RunUpdateAttempt(state);
    const auto t1 = Clock::now();
    const double cpu1 = ProcessCpuSeconds();
    const uint64_t nAllocs1 = AllocationCount();
    const vxsim::TraceFloor floor = FloorOfTraceText(ReadFrom(trace, offset));
    Run r{std::chrono::duration<double>(t1 - t0).count(),
          double(floor.TotalNs()) * 1e-9,
          floor.exchanges,
          floor.statusRequests,
          (cpu1 - cpu0) * 1e6 / std::max(1u, floor.exchanges),
          double(nAllocs1 - nAllocs0) / std::max(1u, floor.exchanges),
          nResult};
    runs.push_back(r);
    Report("%4d %9.4fs %9.4fs %8.4f %9u %7u %11.1f %12.2f %9.1f%s\n", i + 1, r.measuredS, r.floorS, r.Ratio(),
           r.exchanges, r.statusRequests, r.cpuUsPerExchange, r.allocsPerExchange, kPages * 256 / 1024.0 / r.measuredS,
           nResult != 0 ? "  (update failed)" : "");
  }
  sim.Stop(SIGTERM);
  PollUntil(false, 5000);

  std::vector<double> ratios;
  for (const Run& r : runs) ratios.push_back(r.Ratio());
  std::sort(ratios.begin(), ratios.end());
  *pMedian = ratios.size() % 2 == 1 ? ratios[ratios.size() / 2]
                                    : (ratios[ratios.size() / 2 - 1] + ratios[ratios.size() / 2]) / 2;
  Report("%s ratio over %zu runs: min %.4f, median %.4f, max %.4f\n", pszLink, ratios.size(), ratios.front(),
         *pMedian, ratios.back());
  return std::all_of(runs.begin(), runs.end(), [](const Run& r) { return r.nResult == 0; });
}

int g_nExit = 0;

// "tcp:PORT" for a port that is free now (the simulator binds it again for each model).
std::string FreeLoopbackPort() {
  const int s = socket(AF_INET, SOCK_STREAM, 0);
  if (s < 0) return {};
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  const bool bOk = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
                   getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0;
  close(s);
  return bOk ? "tcp:" + std::to_string(ntohs(a.sin_port)) : std::string();
}

// Takes the update loop's place after start-up.
void Measure() {
  UpdateLoopState state{12, 3, kImageName};
  double hs = 0, fs = 0;
  const bool bHs = MeasureModel("hs", g_settings.nRunsHs, state, &hs);
  const bool bFs = MeasureModel("fs", g_settings.nRunsFs, state, &fs);
  Report("\n");
  if (bHs) Report("hs median ratio %.3f\n", hs);
  if (bFs) Report("fs median ratio %.3f\n", fs);
  g_nExit = bHs && bFs ? 0 : 1;
}

void WriteFirmwareFolder(const fs::path& programData) {
  const fs::path folder = harness::FirmwareFolder(programData);
  fs::create_directories(folder);
  std::vector<char> image(kPages * 256);
  for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>((i * 37 + 11) ^ (i >> 9));
  std::ofstream(folder / kImageName, std::ios::binary).write(image.data(), std::streamsize(image.size()));
  std::ofstream(folder / "pcversions.txt") << "12,0\n3,1," << kImageName << "\n";
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--runs-hs" && i + 1 < argc) {
      g_settings.nRunsHs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--runs-fs" && i + 1 < argc) {
      g_settings.nRunsFs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--unix") {
      g_settings.bUnix = true;
    } else if (a == "--sim" && i + 1 < argc) {
      g_settings.sSimPath = argv[++i];
    } else if (a == "--") {
      g_settings.simExtra.assign(argv + i + 1, argv + argc);
      break;
    } else {
      std::fprintf(stderr, "usage: %s [--runs-hs N] [--runs-fs N] [--unix] [--sim PATH] [-- vx_locator_sim options]\n", argv[0]);
      return 2;
    }
  }
  g_settings.dir = fs::temp_directory_path() / ("vx_update_time_" + std::to_string(getpid()));
  fs::create_directories(g_settings.dir);
  g_settings.sSocket = g_settings.bUnix ? (g_settings.dir / "locator.sock").string() : FreeLoopbackPort();
  if (g_settings.sSocket.empty()) {
    std::fprintf(stderr, "update_time: no free TCP port on the loopback\n");
    return 1;
  }
  WriteFirmwareFolder(g_settings.dir / "ProgramData");
  setenv("PROGRAMDATA", (g_settings.dir / "ProgramData").string().c_str(), 1);
  setenv("VX_LOCATOR_SIM", g_settings.sSocket.c_str(), 1);

  harness::RunAsTheProgram(argv, &Measure, [] {
    OsUnbufferedStdout();  // as the program's entry does
    Report("update_time: %u-page image, %d hs and %d fs runs; the updater at the priority and timer period of "
           "vx_fw_load\n",
           kPages, g_settings.nRunsHs, g_settings.nRunsFs);
  });

  std::error_code ec;
  fs::remove_all(g_settings.dir, ec);
  std::_Exit(g_nExit);  // the channel and its threads live until the process ends, as in the program
}
