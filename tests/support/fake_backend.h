// A backend of the USB driver library layer whose devices and answers the test scripts: it
// reports the devices the test plugs in (those present at open first), answers every call
// as scripted, and records what it was asked.
//
//   vxtest::FakeBackend fake;
//   WduSelectBackend(fake.Backend());
//   fake.Plug(1, 9);
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <utility>
#include <vector>

#include "platform/wdu/backend.h"

namespace vxtest {

class FakeBackend {
 public:
  // A transfer's answer: its status, with *pdwMoved set. By default every byte moves, reads
  // give 0xA5 bytes, and the status is success.
  using TransferScript = std::function<DWORD(uint64_t uId, bool bRead, uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved)>;
  enum CallKind { kSetInterface, kOut, kIn };
  struct Call {
    CallKind kind;
    uint64_t uId;
    bool operator==(const Call&) const = default;
  };

  FakeBackend();
  FakeBackend(const FakeBackend&) = delete;
  FakeBackend& operator=(const FakeBackend&) = delete;
  const WduBackend* Backend() const { return &backend_; }

  // Devices: present from now on, reported to the layer at once while it is open.
  void Plug(uint64_t uId, uint16_t uProduct, uint16_t uVendor = 0x3A7C);
  void Unplug(uint64_t uId);

  // Scripts. Open returns dwStatus (and reports nothing) while it is not success.
  void FailOpen(DWORD dwStatus);
  void FailSetInterface(uint64_t uId, DWORD dwStatus);
  void ScriptTransfers(TransferScript script);
  // Answers every IN with a well-formed response of the requested size and result 0 (a
  // stall when it cannot hold one); OUTs move every byte.
  static DWORD WellFormedResponse(uint64_t uId, bool bRead, uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved);

  // What it was asked: the calls that reached it, in order, and how often it was opened,
  // closed and asked to look again at what the sink did not want.
  std::vector<Call> Calls();
  int Count(CallKind kind, uint64_t uId);
  std::atomic<int> nOpens{0}, nCloses{0}, nRematches{0};
  // What the open layer's sink says its registrations want.
  bool Wants(uint16_t uVendor, uint16_t uProduct);

 private:
  static DWORD Open(void* pCtx, const WduSink* pSink);
  static void Close(void* pCtx);
  static DWORD SetInterface(void* pCtx, uint64_t uId, DWORD, DWORD);
  static DWORD Transfer(void* pCtx, uint64_t uId, DWORD, bool bRead, DWORD, uint8_t* pBuffer, DWORD dwBytes,
                        DWORD* pdwMoved, DWORD);
  static void Rematch(void* pCtx);

  WduBackend backend_;
  std::mutex mtx_;
  const WduSink* pSink_ = nullptr;
  std::vector<std::pair<uint64_t, WDU_DEVICE_DESCRIPTOR>> present_;
  DWORD dwOpenStatus_ = WD_STATUS_SUCCESS;
  std::map<uint64_t, DWORD> setIfStatus_;
  TransferScript transfer_;
  std::vector<Call> calls_;
};

}  // namespace vxtest
