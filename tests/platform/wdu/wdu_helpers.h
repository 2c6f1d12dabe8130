// Helpers of the layer's tests: frames, and a recorder of hot-plug handler calls.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/wdu/wdu.h"
#include "sim/locator.h"
#include "tests/support/words.h"

namespace wdutest {

constexpr DWORD kTimeoutMs = 3000;
constexpr auto kEventWait = std::chrono::seconds(10);  // bound on waiting for a hot-plug report

inline std::vector<uint8_t> Frame(std::vector<uint32_t> words) { return vxtest::ToBytes(vxtest::WithSum(std::move(words))); }
inline uint32_t Word(const uint8_t* p, size_t i) { return vxtest::ToWords(p + 4 * i, 4)[0]; }

// What the handlers of one registration saw, in order. With bSelect the attach handler
// selects interface 0 as the channel does; with bTransfer it also sends 16 bytes on the OUT
// pipe. bAccept is what it answers.
struct Recorder {
  std::mutex mtx;
  std::condition_variable cv;
  std::vector<std::string> log;
  std::vector<WDU_DEVICE_HANDLE> handles;
  std::vector<DWORD> setIfStatus;
  DWORD dwTransferStatus = ~0u;
  bool bSelect = true, bTransfer = false, bAccept = true;
  bool bOtherThreads = true;
  std::thread::id caller = std::this_thread::get_id();

  void Add(const std::string& s, WDU_DEVICE_HANDLE h) {
    std::lock_guard<std::mutex> lk(mtx);
    log.push_back(s);
    handles.push_back(h);
    if (std::this_thread::get_id() == caller) bOtherThreads = false;
    cv.notify_all();
  }
  bool WaitCount(size_t n) {
    std::unique_lock<std::mutex> lk(mtx);
    return cv.wait_for(lk, kEventWait, [&] { return log.size() >= n; });
  }
  std::vector<std::string> Log() {
    std::lock_guard<std::mutex> lk(mtx);
    return log;
  }
  WDU_DEVICE_HANDLE Handle(size_t i) {
    std::lock_guard<std::mutex> lk(mtx);
    return handles.at(i);
  }
};

inline std::string AttachText(unsigned uVendor, unsigned uProduct) {
  char sz[32];
  std::snprintf(sz, sizeof sz, "A%04X:%u", uVendor, uProduct);
  return sz;
}

inline bool OnAttach(WDU_DEVICE_HANDLE h, WDU_DEVICE* pInfo, void* pUser) {
  auto& r = *static_cast<Recorder*>(pUser);
  if (r.bSelect) {
    const DWORD dw = WDU_SetInterface(h, 0, 0);
    std::lock_guard<std::mutex> lk(r.mtx);
    r.setIfStatus.push_back(dw);
  }
  if (r.bTransfer) {
    uint8_t buf[16] = {};
    DWORD dwMoved = 0;
    r.dwTransferStatus = WDU_Transfer(h, 0x02, 0, 0, buf, sizeof buf, &dwMoved, nullptr, 3000);
  }
  r.Add(AttachText(pInfo->Descriptor.idVendor, pInfo->Descriptor.idProduct), h);
  return r.bAccept;
}

inline void OnDetach(WDU_DEVICE_HANDLE h, void* pUser) { static_cast<Recorder*>(pUser)->Add("D", h); }

inline const std::string kAttach9 = AttachText(vxsim::kDefaultVendorId, 9);

// Registers the recorder's handlers for the locator's loader (product 9).
inline DWORD RegisterLoader(Recorder* pRec) {
  WDU_MATCH_TABLE m{};
  m.wVendorId = vxsim::kDefaultVendorId;
  m.wProductId = 9;
  WDU_EVENT_TABLE e{&OnAttach, &OnDetach, nullptr, pRec};
  WDU_DRIVER_HANDLE h = nullptr;
  return WDU_Init(&h, &m, 1, &e, 1);
}

}  // namespace wdutest
