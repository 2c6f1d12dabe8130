// Whatever a device answers, the host's operations end with a result code: no overrun, no
// hang, no undefined behaviour. The input is a stream of answers; each transfer takes one
// mode byte (time-out, short OUT, the IN's length), then an IN takes its data bytes.
#include <cstddef>
#include <cstdint>

#include "device/device_ops.h"
#include "fuzz_channel.h"
#include "platform/wdu/backend.h"
#include "tests/support/locator_arrival.h"
#include "usb/usb_message.h"

namespace {

vxfuzz::Input g_input;

DWORD Open(void*, const WduSink* pSink) {
  ReportLocatorArrival(*pSink, 1, 9);
  return WD_STATUS_SUCCESS;
}
void Close(void*) {}
DWORD SetInterface(void*, uint64_t, DWORD, DWORD) { return WD_STATUS_SUCCESS; }

DWORD Transfer(void*, uint64_t, DWORD, bool bRead, DWORD, uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved,
               DWORD) {
  const uint8_t mode = g_input.Byte();
  const DWORD dwStatus = (mode & 7) == 6 ? WD_TIME_OUT_EXPIRED : WD_STATUS_SUCCESS;
  if (!bRead) {
    *pdwMoved = (mode & 7) == 7 ? dwBytes / 2 : dwBytes;
    return dwStatus;
  }
  DWORD dwLen = (DWORD(g_input.Byte()) << 2) | (mode >> 6);
  if (dwLen > dwBytes) dwLen = dwBytes;
  for (DWORD i = 0; i < dwLen; ++i) pBuffer[i] = g_input.Byte();
  *pdwMoved = dwLen;
  return dwStatus;
}

const WduBackend kBackend{"fuzz", nullptr, &Open, &Close, &SetInterface, &Transfer};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const bool bConnected = vxfuzz::ConnectChannel(&kBackend);
  if (!bConnected) __builtin_trap();
  g_input.Reset(pData, nSize);

  uint32_t au32Info[20] = {};
  ReadFirmwareInfo(au32Info);
  WriteFirmwareInfo(au32Info);
  EraseFlashSector(0x8000);
  const uint32_t au32Words[4] = {1, 2, 3, 4};
  WriteEepromWords(0x100, au32Words, 4);

  // A request of any shape, counts out of range included.
  ClearBuffers();
  pCUsbMessage->pu32Request[0] = g_input.Byte() % 130;
  pCUsbMessage->pu32Request[1] = g_input.Byte() % 130;
  pCUsbMessage->pu32Request[2] = g_input.Byte();
  Transact();
  return 0;
}
