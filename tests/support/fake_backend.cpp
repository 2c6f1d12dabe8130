#include "tests/support/fake_backend.h"

#include <algorithm>
#include <cstring>

namespace vxtest {

FakeBackend::FakeBackend() : backend_{"fake", this, &Open, &Close, &SetInterface, &Transfer, &Rematch} {
  ScriptTransfers([](uint64_t, bool bRead, uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved) -> DWORD {
    if (bRead) std::memset(pBuffer, 0xA5, dwBytes);
    *pdwMoved = dwBytes;
    return WD_STATUS_SUCCESS;
  });
}

void FakeBackend::Plug(uint64_t uId, uint16_t uProduct, uint16_t uVendor) {
  WDU_DEVICE_DESCRIPTOR d{};
  d.bLength = 18;
  d.bDescriptorType = 1;
  d.idVendor = uVendor;
  d.idProduct = uProduct;
  const WduSink* pSink = nullptr;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    present_.push_back({uId, d});
    pSink = pSink_;
  }
  if (pSink != nullptr) pSink->Arrived(pSink->pLayer, uId, &d);
}

void FakeBackend::Unplug(uint64_t uId) {
  const WduSink* pSink = nullptr;
  {
    std::lock_guard<std::mutex> lk(mtx_);
    std::erase_if(present_, [&](const auto& p) { return p.first == uId; });
    pSink = pSink_;
  }
  if (pSink != nullptr) pSink->Left(pSink->pLayer, uId);
}

void FakeBackend::FailOpen(DWORD dwStatus) {
  std::lock_guard<std::mutex> lk(mtx_);
  dwOpenStatus_ = dwStatus;
}

void FakeBackend::FailSetInterface(uint64_t uId, DWORD dwStatus) {
  std::lock_guard<std::mutex> lk(mtx_);
  setIfStatus_[uId] = dwStatus;
}

void FakeBackend::ScriptTransfers(TransferScript script) {
  std::lock_guard<std::mutex> lk(mtx_);
  transfer_ = std::move(script);
}

DWORD FakeBackend::WellFormedResponse(uint64_t, bool bRead, uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved) {
  *pdwMoved = dwBytes;
  if (!bRead) return WD_STATUS_SUCCESS;
  const uint32_t nWords = dwBytes / 4;
  if (nWords < 4) return WD_USBD_STATUS_STALL;
  std::vector<uint32_t> frame(nWords, 0);
  frame[0] = nWords - 1;
  frame[nWords - 1] = nWords - 1;  // checksum of [count, 0, 0, ...]
  std::memcpy(pBuffer, frame.data(), dwBytes);
  return WD_STATUS_SUCCESS;
}

std::vector<FakeBackend::Call> FakeBackend::Calls() {
  std::lock_guard<std::mutex> lk(mtx_);
  return calls_;
}

int FakeBackend::Count(CallKind kind, uint64_t uId) {
  std::lock_guard<std::mutex> lk(mtx_);
  return int(std::count_if(calls_.begin(), calls_.end(), [&](const Call& c) { return c.kind == kind && c.uId == uId; }));
}

bool FakeBackend::Wants(uint16_t uVendor, uint16_t uProduct) {
  std::lock_guard<std::mutex> lk(mtx_);
  return pSink_ != nullptr && pSink_->Wants(pSink_->pLayer, uVendor, uProduct);
}

DWORD FakeBackend::Open(void* pCtx, const WduSink* pSink) {
  auto& self = *static_cast<FakeBackend*>(pCtx);
  std::vector<std::pair<uint64_t, WDU_DEVICE_DESCRIPTOR>> present;
  {
    std::lock_guard<std::mutex> lk(self.mtx_);
    ++self.nOpens;
    if (self.dwOpenStatus_ != WD_STATUS_SUCCESS) return self.dwOpenStatus_;
    self.pSink_ = pSink;
    present = self.present_;
  }
  for (const auto& [uId, d] : present) pSink->Arrived(pSink->pLayer, uId, &d);
  return WD_STATUS_SUCCESS;
}

void FakeBackend::Close(void* pCtx) {
  auto& self = *static_cast<FakeBackend*>(pCtx);
  std::lock_guard<std::mutex> lk(self.mtx_);
  self.pSink_ = nullptr;
  ++self.nCloses;
}

DWORD FakeBackend::SetInterface(void* pCtx, uint64_t uId, DWORD, DWORD) {
  auto& self = *static_cast<FakeBackend*>(pCtx);
  std::lock_guard<std::mutex> lk(self.mtx_);
  self.calls_.push_back({kSetInterface, uId});
  const auto it = self.setIfStatus_.find(uId);
  return it == self.setIfStatus_.end() ? WD_STATUS_SUCCESS : it->second;
}

DWORD FakeBackend::Transfer(void* pCtx, uint64_t uId, DWORD, bool bRead, DWORD, uint8_t* pBuffer, DWORD dwBytes,
                            DWORD* pdwMoved, DWORD) {
  auto& self = *static_cast<FakeBackend*>(pCtx);
  TransferScript script;
  {
    std::lock_guard<std::mutex> lk(self.mtx_);
    self.calls_.push_back({bRead ? kIn : kOut, uId});
    script = self.transfer_;
  }
  return script(uId, bRead, pBuffer, dwBytes, pdwMoved);
}

void FakeBackend::Rematch(void* pCtx) { ++static_cast<FakeBackend*>(pCtx)->nRematches; }

}  // namespace vxtest
