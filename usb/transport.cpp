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

  if (int32_t nResult = pChannel->SendRequest(); nResult != 0) return nResult;

  uint32_t m = pChannel->au32Request[1];
  uint32_t* pu32Response = pChannel->au32Response;
  for (uint32_t i = 0; i <= m; ++i) pu32Response[i] = 0;

  if (int32_t nResult = pChannel->ReceiveResponse(pu32Response, (m + 1) * 4, pChannel->dwTimeoutMs); nResult != 0)
    return nResult;

  // Frame tests, in this order: a count too large is refused before any checksum is taken.
  uint32_t c = pu32Response[0];
  if (c > pChannel->nMaxWords) return USB_ERR_RESPONSE_LENGTH;
  if (pu32Response[c] != WordSum(pu32Response, c)) return USB_ERR_CHECKSUM;
  if (c != m) return USB_ERR_RESPONSE_LENGTH;

  pChannel->bLastLinkFailure = false;
  return static_cast<int32_t>(pu32Response[1]);
}

bool LastTransactFailedInLink() {
  return pCUsbMessage == nullptr || pCUsbMessage->bLastLinkFailure;
}
