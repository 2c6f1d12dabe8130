// Host-side time per page of a 1024-page download against the zero-latency in-process
// simulated locator (erase times 0, pauses not slept, standard output to the null device).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <process.h>
#else
#include <unistd.h>
#endif

#include "bench_support.h"
#include "device/device_ops.h"
#include "device/firmware_folder.h"
#include "platform/os/os.h"
#include "platform/wdu/sim_backend.h"
#include "platform/wdu/testing.h"
#include "sim/locator.h"
#include "usb/usb_message.h"

namespace {

#if defined(_WIN32)
int Pid() { return _getpid(); }
#else
int Pid() { return static_cast<int>(getpid()); }
#endif

void NoSleep(DWORD) {}

void BM_DownloadPerPage(benchmark::State& state) {
  constexpr size_t kPages = 1024;
#if !defined(_WIN32)
  const std::filesystem::path root = std::filesystem::temp_directory_path() / ("vx_bench_" + std::to_string(Pid()));
  setenv("PROGRAMDATA", root.string().c_str(), 1);
#endif
  const std::filesystem::path folder = OsMapPath(WideToAnsi(kFirmwareFolder).c_str());
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  const std::string sName = "vx_bench_" + std::to_string(Pid()) + ".bin";
  {
    std::vector<char> image(kPages * 256);
    for (size_t i = 0; i < image.size(); ++i) image[i] = static_cast<char>(i * 31 + (i >> 8));
    std::ofstream(folder / sName, std::ios::binary).write(image.data(), static_cast<std::streamsize>(image.size()));
  }

  vxsim::Locator locator{vxsim::LocatorConfig{}};
  OsSetSleepHook(&NoSleep);
  WduSelectBackend(WduSimBackend(&locator));
  pCUsbMessage = new CUsbMessage;
  bool bConnected = false;
  {
    QuietStdout quiet;
    if (OpenChannel() == 0) {
      locator.Plug();
      WduWaitIdle(5000);
      for (int i = 0; i < 100 && !bConnected; ++i) bConnected = PollConnection();
    }
  }
  if (!bConnected) {
    state.SkipWithError("the simulated locator did not connect");
  } else {
    int32_t nResult = 0;
    {
      QuietStdout quiet;
      for (auto _ : state) {
        uint32_t u32Crc = 0, u32Length = 0;
        nResult |= DownloadFirmwareImage(sName.c_str(), u32Crc, u32Length);
        if (u32Length != kPages * 128) nResult |= 1;
      }
    }
    if (nResult != 0) state.SkipWithError("a download failed");
    state.counters["per_page"] =
        benchmark::Counter(static_cast<double>(kPages), benchmark::Counter::kIsIterationInvariantRate |
                                                            benchmark::Counter::kInvert);
  }

  CUsbMessage* pChannel = pCUsbMessage;
  ResetChannelState();
  delete pChannel;
  WduSelectBackend(nullptr);
  OsSetSleepHook(nullptr);
  std::filesystem::remove(folder / sName, ec);
#if !defined(_WIN32)
  std::filesystem::remove_all(root, ec);
#endif
}
BENCHMARK(BM_DownloadPerPage)->Unit(benchmark::kMillisecond);

}  // namespace
