// The arrival and departure logic of the real-bus backends, apart from the bus itself:
// which devices of the wanted vendor are present, opening each new one off the bus
// library's own threads, retrying a device whose permissions udev may still be setting,
// telling the operator once per arrival why a device cannot be used, and reporting opened
// devices to the layer's sink. The bus side is a table of calls (UsbWatchOps), so that the
// logic runs in tests without a device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/backend.h"

// One presence of a device of the wanted vendor.
struct UsbCandidate {
  std::string sKey;  // identifies this presence: a device plugged in again gets another key
  uint16_t wVendorId = 0;
  uint16_t wProductId = 0;
  unsigned nBus = 0;
  unsigned nAddress = 0;
  void* pDevice = nullptr;  // the bus library's reference, handed back to Open and Drop
};

// Why a device could not be opened.
// kNotReady: the device has no interface 0 yet (the kernel is still configuring it).
enum class UsbOpenResult { kOpened, kNoPermission, kNotReady, kBusy, kGone, kFailed };

struct UsbWatchOps {
  void* pCtx;
  // Brings the bus up. Returns false when it cannot yet (no USB bus): tried again later.
  // *pbPolling tells whether arrivals must be found by Scan (no hot-plug notification).
  bool (*Start)(void* pCtx, bool* pbPolling);
  // Polling: the candidates present now.
  void (*Scan)(void* pCtx, std::vector<UsbCandidate>* pNow);
  // Opens the device and claims its interface, under the id the layer will know it by.
  // On failure *pszWhy names the library's error, for the operator.
  UsbOpenResult (*Open)(void* pCtx, const UsbCandidate& c, uint64_t uId, WDU_DEVICE_DESCRIPTOR* pDescriptor,
                        const char** pszWhy);
  // Releases an opened device once no transfer on it is in progress.
  void (*Close)(void* pCtx, uint64_t uId);
  // Releases a candidate's library reference (pDevice may be null).
  void (*Drop)(void* pCtx, void* pDevice);
  // Stops the bus after the watch thread has ended.
  void (*Stop)(void* pCtx);
};

struct UsbWatchTiming {
  std::chrono::milliseconds poll{250};        // enumeration period without hot-plug
  std::chrono::milliseconds retry{200};       // between attempts while permission is refused
  std::chrono::milliseconds permission{2000}; // how long permission or configuration may take
  std::chrono::milliseconds restart{1000};    // between attempts to bring the bus up
};

// The departures and arrivals between two scans. A key seen in both is the same presence.
struct UsbScanDiff {
  std::vector<std::string> left;
  std::vector<UsbCandidate> arrived;
};
UsbScanDiff DiffScan(const std::vector<std::string>& known, const std::vector<UsbCandidate>& now);

class UsbWatch {
 public:
  UsbWatch(const UsbWatchOps& ops, UsbWatchTiming timing) : ops_(ops), timing_(timing) {}
  UsbWatch(const UsbWatch&) = delete;
  UsbWatch& operator=(const UsbWatch&) = delete;
  ~UsbWatch() { Stop(); }

  void Start(const WduSink& sink);
  // Ends the watch thread, closes every opened device and stops the bus. No sink call runs
  // or starts after it returns.
  void Stop();

  // Hot-plug notifications; safe from any thread, including the bus library's callbacks:
  // they only queue. Arrived takes over c.pDevice.
  void Arrived(const UsbCandidate& c);
  void Left(const std::string& sKey);

 private:
  enum class State { kPending, kOpened, kRefused };
  struct Known {
    UsbCandidate c;
    State state = State::kPending;
    uint64_t uId = 0;
    std::chrono::steady_clock::time_point first, next;
  };
  struct Event {
    bool bArrived;
    UsbCandidate c;  // sKey alone for a departure
  };

  void Run();
  void Handle(const Event& ev);
  void HandleArrived(const UsbCandidate& c);
  void HandleLeft(const std::string& sKey);
  void Attempt(Known& k);
  void Poll();
  void CloseAll();

  UsbWatchOps ops_;
  UsbWatchTiming timing_;
  WduSink sink_{};
  std::thread thread_;
  std::mutex mtx_;  // guards queue_ and bStop_
  std::condition_variable cv_;
  std::deque<Event> queue_;
  bool bStop_ = false;
  // Watch thread only.
  bool bStarted_ = false;
  bool bPolling_ = false;
  std::map<std::string, Known> known_;
  uint64_t uNextId_ = 1;
};

// The operator's lines, one per arrival that cannot be used.
extern const char* const kUsbNoPermissionText;
extern const char* const kUsbBusyText;
extern const char* const kUsbOpenFailedText;
