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
#include <io.h>
#include <process.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include "device/device_ops.h"
#include "device/firmware_folder.h"
#include "platform/os/os.h"
#include "platform/wdu/backend.h"
#include "platform/wdu/sim_backend.h"
#include "sim/locator.h"
#include "usb/usb_message.h"

namespace {

#if defined(_WIN32)
constexpr const char* kNullDevice = "NUL";
int Pid() { return _getpid(); }
#else
constexpr const char* kNullDevice = "/dev/null";
int Pid() { return static_cast<int>(getpid()); }
#endif

void NoSleep(DWORD) {}

// Standard output goes to the null device while the object lives.
class QuietStdout {
 public:
  QuietStdout() {
    fflush(stdout);
#if defined(_WIN32)
    nSaved_ = _dup(_fileno(stdout));
    FILE* pNull = fopen(kNullDevice, "wb");
    _dup2(_fileno(pNull), _fileno(stdout));
    fclose(pNull);
#else
    nSaved_ = dup(fileno(stdout));
    const int fd = open(kNullDevice, O_WRONLY);
    dup2(fd, fileno(stdout));
    close(fd);
#endif
  }
  ~QuietStdout() {
    fflush(stdout);
#if defined(_WIN32)
    _dup2(nSaved_, _fileno(stdout));
    _close(nSaved_);
#else
    dup2(nSaved_, fileno(stdout));
    close(nSaved_);
#endif
  }

 private:
  int nSaved_ = -1;
};

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
