// EEPROM writes: one CMD_WRITE_EEPROM request carrying whole 32-bit words.
#include "device/commands.h"
#include "device/device_ops.h"
#include "usb/usb_message.h"

int32_t WriteEepromWords(uint32_t u32Address, const uint32_t* pu32Words, uint32_t nWords) {
  ClearBuffers();
  uint32_t* pu32Request = pCUsbMessage->pu32Request;
  pu32Request[0] = kWriteEepromHeaderWords + nWords;
  pu32Request[1] = kPlainReplyWords;
  pu32Request[2] = CMD_WRITE_EEPROM;
  pu32Request[3] = nWords * 4;
  pu32Request[4] = u32Address;
  for (uint32_t i = 0; i < nWords; ++i) pu32Request[kWriteEepromHeaderWords + i] = pu32Words[i];
  return Transact();
}
