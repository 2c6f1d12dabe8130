// A backend that reports no device, and on which every call on a device fails (tests).
#include "platform/wdu/testing.h"

namespace {

DWORD NullOpen(void*, const WduSink*) { return WD_STATUS_SUCCESS; }
void NullClose(void*) {}
DWORD NullSetInterface(void*, uint64_t, DWORD, DWORD) { return WD_DEVICE_NOT_FOUND; }
DWORD NullTransfer(void*, uint64_t, DWORD, bool, DWORD, uint8_t*, DWORD, DWORD* pdwMoved, DWORD) {
  *pdwMoved = 0;
  return WD_DEVICE_NOT_FOUND;
}

const WduBackend kNullBackend{"null", nullptr, &NullOpen, &NullClose, &NullSetInterface, &NullTransfer};

}  // namespace

const WduBackend* WduNullBackend() { return &kNullBackend; }
