// The arrival and departure logic of the real-bus backends (libusb, winusb), apart from
// the bus itself: which devices of the wanted vendor and products are present, opening
// each new one off the bus library's own threads, looking again at a device that cannot be
// used yet, telling the operator once per arrival why a device cannot be used (and only
// once that has lasted), and reporting opened devices to the layer's sink. The bus side is
// a table of calls (UsbWatchOps), so that the logic runs in tests without a device.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/wdu/backend.h"

// What stands between a device and its use: a listing's verdict (kReady, or a state that
// no open can change) or an open's outcome (kOpened, or why it failed).
enum class UsbState {
  kReady,         // listed: may be opened
  kOpened,        // opened and claimed
  kSettingUp,     // the system is still setting it up; looked at again, never told
  kGone,          // it went while it was being opened; looked at again while it is listed
  kNotReady,      // it has no interface 0 yet (the kernel is still choosing the configuration)
  kNoPermission,  // this user may not open it
  kBusy,          // another program holds it
  kFailed,        // opening failed for another reason (the open's text says which)
  kNoDriver,      // no working driver (uProblem: the system's problem code)
  kOtherDriver,   // another driver serves it (sService, sDriverInf)
  kDisabled,      // disabled by an administrator (uProblem)
  kNeedsRestart,  // the system must restart before it can use it (uProblem)
  kNotStarted,    // the system could not start it (uProblem)
};

// One presence of a device of the wanted vendor, as a listing or notification gives it.
struct UsbCandidate {
  std::string sKey;  // identifies this presence: a device plugged in again gets another key
  uint16_t wVendorId = 0;
  uint16_t wProductId = 0;
  unsigned nBus = 0;      // where the operator's lines say it was found; bus 0: not said
  unsigned nAddress = 0;
  UsbState eListed = UsbState::kReady;
  uint32_t uProblem = 0;    // the system's problem code, for the states that carry one
  std::string sService;     // kOtherDriver: the driver's service
  std::string sDriverInf;   // kOtherDriver: its package in the driver store ("" unknown)
  std::wstring wsPath;      // winusb: the device interface path to open
  void* pDevice = nullptr;  // the bus library's reference, handed back to Open and Drop
};

// How arrivals are found.
enum class UsbListing {
  kHotplug,  // the bus library's notifications call Arrived and Left
  kPoll,     // Scan, every poll period
  kOnWake,   // Scan whenever Wake is called (a system notification)
};

struct UsbWatchOps {
  void* pCtx;
  // Brings the bus up. Returns false when it cannot yet (no USB bus): tried again later.
  bool (*Start)(void* pCtx, UsbListing* peListing);
  // Listing: the candidates present now. False when the system gave no listing this time
  // (nothing is concluded from it).
  bool (*Scan)(void* pCtx, std::vector<UsbCandidate>* pNow);
  // Opens a kReady candidate and claims its interface, under the id the layer will know it
  // by. Returns kOpened or why it failed; for kFailed and kNotReady *psWhy names the error.
  UsbState (*Open)(void* pCtx, const UsbCandidate& c, uint64_t uId, WDU_DEVICE_DESCRIPTOR* pDescriptor,
                   std::string* psWhy);
  // Releases an opened device once no transfer on it is in progress.
  void (*Close)(void* pCtx, uint64_t uId);
  // Releases a candidate's library reference (pDevice may be null).
  void (*Drop)(void* pCtx, void* pDevice);
  // Stops the bus after the watch thread has ended.
  void (*Stop)(void* pCtx);
};

struct UsbWatchTiming {
  std::chrono::milliseconds poll{250};         // listing period of kPoll
  std::chrono::milliseconds retry{200};        // between looks at a device that cannot be used yet
  std::chrono::milliseconds settle{1000};      // how long a state must last before it is told;
                                               // the period of later looks
  std::chrono::milliseconds permission{2000};  // the same for permission and configuration,
                                               // which udev and the kernel may take longer over
  std::chrono::milliseconds restart{1000};     // between attempts to bring the bus up
};

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

  // Safe from any thread, including the bus library's and the system's callbacks: they
  // only queue. Arrived takes over c.pDevice; the same key arriving again is the same
  // presence.
  void Arrived(const UsbCandidate& c);
  void Left(const std::string& sKey);
  // An opened device's handle failed as a departed device's does: that presence is over
  // (a listing that still shows the device opens it again).
  void Lost(uint64_t uId);
  // kOnWake: something changed, list again.
  void Wake();
  // The registrations' match entries changed: look again at devices they did not want.
  void Rematch();

 private:
  enum class Phase { kUnwanted, kWaiting, kOpened };
  struct Known {
    UsbCandidate c;
    Phase phase = Phase::kWaiting;
    uint64_t uId = 0;
    UsbState eLast = UsbState::kReady;  // at the last look, with its line
    std::string sLastLine;
    std::chrono::steady_clock::time_point since, next;
    std::set<std::string> told;  // each line at most once per arrival
  };
  enum class EventKind { kArrived, kLeft, kLost, kRematch };
  struct Event {
    EventKind kind;
    UsbCandidate c;  // kArrived; sKey alone for kLeft
    uint64_t uId;    // kLost
  };

  void Run();
  void Handle(const Event& ev);
  void Track(const UsbCandidate& c);
  void Forget(const std::string& sKey);
  void Look(Known& k);
  void List();
  void CloseAll();
  void Queue(Event ev);

  UsbWatchOps ops_;
  UsbWatchTiming timing_;
  WduSink sink_{};
  std::thread thread_;
  std::mutex mtx_;  // guards queue_, bWake_ and bStop_
  std::condition_variable cv_;
  std::deque<Event> queue_;
  bool bWake_ = false;
  bool bStop_ = false;
  // Watch thread only.
  bool bStarted_ = false;
  UsbListing eListing_ = UsbListing::kPoll;
  std::map<std::string, Known> known_;
  uint64_t uNextId_ = 1;
};

// The operator's lines, one per arrival and state that keeps a device from use. Each takes
// where it was found (" (USB bus 1, device 5)" or ""), then its details.
extern const char* const kUsbNoPermissionText;
extern const char* const kUsbBusyText;
extern const char* const kUsbOpenFailedText;   // the error
extern const char* const kUsbNoDriverText;     // the problem code
extern const char* const kUsbOtherDriverText;  // the service, then kUsbPnputilText or ""
extern const char* const kUsbPnputilText;      // the driver package
extern const char* const kUsbDisabledText;     // the problem code
extern const char* const kUsbRestartText;      // the problem code
extern const char* const kUsbNotStartedText;   // the problem code
