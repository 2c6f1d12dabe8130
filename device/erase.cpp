// Flash sector erase: one erase request, then status requests 100 ms apart until the loader
// reports the erase finished or the last of 66 status requests has been answered.
#include <cstdio>

#include "device/commands.h"
#include "device/device_ops.h"
#include "platform/os/os.h"
#include "usb/usb_message.h"

namespace {

constexpr const char* kErasingText = "\nErasing Flash Sector : 0x%X";
constexpr DWORD kStatusPauseMs = 100;
constexpr uint32_t kStatusCountdown = 65;  // 66 status requests at most

}  // namespace

int32_t EraseFlashSector(uint32_t u32Sector) {
  printf(kErasingText, u32Sector);
  ClearBuffers();
  uint32_t* pu32Request = pCUsbMessage->pu32Request;
  pu32Request[0] = kEraseSectorWords;
  pu32Request[1] = kEraseSectorReplyWords;
  pu32Request[2] = CMD_ERASE_SECTOR;
  pu32Request[3] = u32Sector;
  int32_t nResult = Transact();
  // A link failure is no erase: its code must not be taken for a finished one.
  if (LastTransactFailedInLink()) return 0;
  if (nResult != kEraseAccepted) return nResult;

  // The status request reuses the buffer: only words 0 to 2 change (word 3 is not sent).
  pu32Request[0] = kEraseStatusWords;
  pu32Request[1] = kEraseStatusReplyWords;
  pu32Request[2] = CMD_ERASE_STATUS;
  uint32_t nCountdown = kStatusCountdown;
  for (;;) {
    OsSleep(kStatusPauseMs);
    nResult = Transact();
    if (LastTransactFailedInLink()) return 0;
    // The countdown is tested first: the 66th answer ends the poll whatever it is.
    if (nCountdown == 0) break;
    --nCountdown;
    if (nResult != kEraseRunning) break;
  }
  return nResult;
}
