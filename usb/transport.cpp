// The message transport: one verified request/response exchange with the locator.
#include "platform/wdu/wdu.h"
#include "usb/channel_lock.h"
#include "usb/usb_message.h"

namespace {

// Reads bConnected under the semaphore and, when it is true, the device handle with it:
// the handle is then the one the arrival handler stored before raising the flag, and no
// later arrival can be writing it while the semaphore is held.
int32_t ConnectedDevice(CUsbMessage* pChannel, WDU_DEVICE_HANDLE* phDevice) {
  if (!usb_detail::AcquireFlag(pChannel)) return USB_ERR_NOT_CONNECTED;
  bool bConnectedNow = pChannel->bConnected;
  if (bConnectedNow) *phDevice = pChannel->hUsbDevice;
  usb_detail::ReleaseFlag(pChannel);
  return bConnectedNow ? 0 : USB_ERR_NOT_CONNECTED;
}

// An answer that came after its exchange had failed (after the time-out, say) stays in the
// IN endpoint, and the next request's IN would take it for its own answer: with no sequence
// numbers in the frames, every later exchange would read the one before's. So before the
// first request after a failed exchange the endpoint is read empty: short IN transfers,
// their data discarded, until one brings nothing, at most kDrainReads of them, each bounded
// by kDrainReadMs; a device that does not answer costs one of them.
constexpr DWORD kDrainReadMs = 20;
constexpr int kDrainReads = 4;
uint32_t au32Discarded[128];  // main thread only: nothing is allocated per exchange

void DrainStaleAnswers(CUsbMessage* pChannel) {
  WDU_DEVICE_HANDLE hStale = pChannel->hStaleDevice;
  pChannel->hStaleDevice = nullptr;
  WDU_DEVICE_HANDLE hDevice = nullptr;
  // A device that left, or one that arrived since, holds nothing of the failed exchange.
  if (ConnectedDevice(pChannel, &hDevice) != 0 || hDevice != hStale) return;
  for (int i = 0; i < kDrainReads; ++i) {
    DWORD dwMoved = 0;
    if (WDU_Transfer(hDevice, kPipeIn, 1, 0, au32Discarded, sizeof(au32Discarded), &dwMoved, nullptr, kDrainReadMs) !=
        WD_STATUS_SUCCESS)
      return;
  }
}

// Notes, after a failed exchange whose request may have reached the device, that the
// connected device's IN endpoint is to be drained before the next request.
void NoteStale(CUsbMessage* pChannel) {
  WDU_DEVICE_HANDLE hDevice = nullptr;
  if (ConnectedDevice(pChannel, &hDevice) == 0) pChannel->hStaleDevice = hDevice;
}

int32_t TransferResult(DWORD dwStatus) {
  if (dwStatus == WD_STATUS_SUCCESS) return 0;
  if (dwStatus == WD_TIME_OUT_EXPIRED) return USB_ERR_TIMEOUT;
  return USB_ERR_TRANSFER;
}

}  // namespace

uint32_t WordSum(const uint32_t* pu32Words, uint32_t nWords) {
  uint32_t u32Sum = 0;
  for (uint32_t i = 0; i < nWords; ++i) u32Sum += pu32Words[i];
  return u32Sum;
}

int32_t CUsbMessage::SendRequest() {
  uint32_t n = au32Request[0];
  if (n < 3 || n > nMaxWords) return USB_ERR_REQUEST_LENGTH;
  uint32_t m = au32Request[1];
  if (m < 3 || m > nMaxWords) return USB_ERR_RESPONSE_LENGTH;

  // The checksum goes in before the connection test: a refused request keeps it.
  au32Request[n] = WordSum(au32Request, n);

  WDU_DEVICE_HANDLE hDevice = nullptr;
  if (int32_t nResult = ConnectedDevice(this, &hDevice); nResult != 0) return nResult;

  DWORD dwFrameBytes = (n + 1) * 4;
  DWORD dwMoved = 0;
  DWORD dwStatus = WDU_Transfer(hDevice, kPipeOut, 0, 0, au32Request, dwFrameBytes, &dwMoved, nullptr,
                                dwTimeoutMs);
  // A frame that did not go out whole is a short write, whatever the library's status.
  if (dwMoved != dwFrameBytes) return USB_ERR_SHORT_WRITE;
  return TransferResult(dwStatus);
}

int32_t CUsbMessage::ReceiveResponse(uint32_t* pu32Destination, uint32_t nBytes, DWORD dwTimeout) {
  WDU_DEVICE_HANDLE hDevice = nullptr;
  if (int32_t nResult = ConnectedDevice(this, &hDevice); nResult != 0) return nResult;

  // The byte count moved is not examined: the frame tests of Transact decide.
  DWORD dwMoved = 0;
  DWORD dwStatus = WDU_Transfer(hDevice, kPipeIn, 1, 0, pu32Destination, nBytes, &dwMoved, nullptr, dwTimeout);
  return TransferResult(dwStatus);
}

int32_t Transact() {
  CUsbMessage* pChannel = pCUsbMessage;
  if (pChannel == nullptr) return USB_ERR_NOT_CONNECTED;
  pChannel->bLastLinkFailure = true;
  if (pChannel->hStaleDevice != nullptr) DrainStaleAnswers(pChannel);

  if (int32_t nResult = pChannel->SendRequest(); nResult != 0) {
    // Refused before sending (lengths, no device): nothing reached the device.
    if (nResult != USB_ERR_REQUEST_LENGTH && nResult != USB_ERR_RESPONSE_LENGTH && nResult != USB_ERR_NOT_CONNECTED)
      NoteStale(pChannel);
    return nResult;
  }

  uint32_t m = pChannel->au32Request[1];
  uint32_t* pu32Response = pChannel->au32Response;
  for (uint32_t i = 0; i <= m; ++i) pu32Response[i] = 0;

  if (int32_t nResult = pChannel->ReceiveResponse(pu32Response, (m + 1) * 4, pChannel->dwTimeoutMs); nResult != 0) {
    NoteStale(pChannel);
    return nResult;
  }

  // Frame tests, in this order: a count too large is refused before any checksum is taken.
  // A frame that fails them may be another exchange's answer: the endpoint is drained too.
  uint32_t c = pu32Response[0];
  int32_t nFrame = 0;
  if (c > pChannel->nMaxWords)
    nFrame = USB_ERR_RESPONSE_LENGTH;
  else if (pu32Response[c] != WordSum(pu32Response, c))
    nFrame = USB_ERR_CHECKSUM;
  else if (c != m)
    nFrame = USB_ERR_RESPONSE_LENGTH;
  if (nFrame != 0) {
    NoteStale(pChannel);
    return nFrame;
  }

  pChannel->bLastLinkFailure = false;
  return static_cast<int32_t>(pu32Response[1]);
}

bool LastTransactFailedInLink() {
  return pCUsbMessage == nullptr || pCUsbMessage->bLastLinkFailure;
}
