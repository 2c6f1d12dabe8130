// The firmware info block: 20 words at flash 0x3000, word 19 the sum of words 0 to 18.
#include <cstdio>

#include "device/commands.h"
#include "device/device_ops.h"
#include "usb/usb_message.h"

namespace {

constexpr const char* kReadFailedText = "\nRead from Flash Sector 0x%X - failed, nRetCode = %d\n";
constexpr const char* kChecksumsMatchText = "\nChecksums match\n";
constexpr const char* kChecksumsDifferText = "\nChecksums do NOT match\n";
constexpr const char* kNullPointerText = "\npu32FmInfo - NULL pointer\n";
constexpr const char* kWriteFailedText = "\nWrite to Flash Sector 0x%X - failed, nRetCode = %d\n";
constexpr const char* kVerifyFailedText = "\nVerify of Flash Sector 0x%X - failed, word %u\n";

constexpr uint32_t kChecksumWord = 19;
constexpr uint32_t kClearedWords[] = {16, 17, 18};
constexpr uint32_t kResponseDataWord = 3;  // first data word of a read response
constexpr uint32_t kWriteDataWord = 6;     // first data word of a write request

}  // namespace

int32_t ReadFirmwareInfo(uint32_t* pu32FmInfo) {
  ClearBuffers();
  uint32_t* pu32Request = pCUsbMessage->pu32Request;
  pu32Request[0] = kReadFlashWords;
  pu32Request[1] = kInfoBlockWords + 3;
  pu32Request[2] = CMD_READ_FLASH;
  pu32Request[3] = kInfoBlockWords;
  pu32Request[4] = kInfoSector;
  const int32_t nResult = Transact();
  if (nResult != 0) {
    printf(kReadFailedText, kInfoSector, nResult);
    return -4;
  }

  const uint32_t* pu32Record = pCUsbMessage->pu32Response + kResponseDataWord;
  // The verdict is told, not acted on: an erased or stale block is still handed back.
  printf("%s", WordSum(pu32Record, kChecksumWord) == pu32Record[kChecksumWord] ? kChecksumsMatchText
                                                                                : kChecksumsDifferText);
  if (pu32FmInfo != nullptr) {
    for (uint32_t i = 0; i < kInfoBlockWords; ++i) pu32FmInfo[i] = pu32Record[i];
  }
  return 0;
}

int32_t WriteFirmwareInfo(uint32_t* pu32FmInfo) {
  if (pu32FmInfo == nullptr) {
    printf("%s", kNullPointerText);
    return -1;
  }
  ClearBuffers();
  uint32_t* pu32Request = pCUsbMessage->pu32Request;
  pu32Request[0] = kWriteFlashHeaderWords + kInfoBlockWords;
  pu32Request[1] = kPlainReplyWords;
  pu32Request[2] = CMD_WRITE_FLASH;
  pu32Request[3] = kInfoBlockWords;
  pu32Request[4] = kInfoSector;
  pu32Request[5] = 0;
  for (uint32_t i : kClearedWords) pu32FmInfo[i] = 0;

  // The words written, kept for the comparison with the read-back (the read clears the
  // request buffer). The checksum goes into the request only; the caller's word 19 stays.
  uint32_t au32Written[kInfoBlockWords];
  for (uint32_t i = 0; i < kInfoBlockWords; ++i) au32Written[i] = pu32FmInfo[i];
  au32Written[kChecksumWord] = WordSum(au32Written, kChecksumWord);
  for (uint32_t i = 0; i < kInfoBlockWords; ++i) pu32Request[kWriteDataWord + i] = au32Written[i];

  const int32_t nResult = Transact();
  if (nResult != 0) {
    printf(kWriteFailedText, kInfoSector, nResult);
    return -4;
  }

  uint32_t au32ReadBack[kInfoBlockWords];
  const int32_t nReadResult = ReadFirmwareInfo(au32ReadBack);
  if (nReadResult != 0) return nReadResult;
  for (uint32_t i = 0; i < kInfoBlockWords; ++i) {
    if (au32ReadBack[i] != au32Written[i]) {
      printf(kVerifyFailedText, kInfoSector, i);
      return -4;
    }
  }
  return 0;
}
