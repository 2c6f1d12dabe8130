// Arbitrary sequences of plug, unplug, faults and requests against the in-process simulated
// locator, through the real channel, hot-plug handlers and transport: every request ends
// with a result, the channel's view of the connection follows the locator's once the
// handlers have run, and nothing hangs.
#include <cstddef>
#include <cstdint>

#include "device/commands.h"
#include "device/device_ops.h"
#include "fuzz_channel.h"
#include "platform/wdu/sim_backend.h"
#include "sim/locator.h"

namespace {

const uint8_t* g_pInput = nullptr;
size_t g_nInput = 0;

uint8_t NextByte() {
  if (g_nInput == 0) return 0;
  --g_nInput;
  return *g_pInput++;
}

uint32_t NextWord() {
  uint32_t u = 0;
  for (int i = 0; i < 4; ++i) u |= uint32_t(NextByte()) << (8 * i);
  return u;
}

constexpr DWORD kTimeoutMs = 2;  // transfers a fault holds wait this long
constexpr uint32_t kCommands[] = {CMD_ERASE_SECTOR, CMD_ERASE_STATUS, CMD_READ_FLASH_CFI, CMD_READ_FLASH,
                                  CMD_WRITE_FLASH,  CMD_FLASH_CRC,    CMD_WRITE_EEPROM};

vxsim::Locator& TheLocator() {
  static vxsim::Locator* pLocator = new vxsim::Locator;  // lives as long as the layer
  return *pLocator;
}

// A request of a known command with arbitrary counts and arguments.
void RawRequest() {
  ClearBuffers();
  uint32_t* pu32 = pCUsbMessage->pu32Request;
  const uint8_t byShape = NextByte();
  pu32[0] = (byShape & 1) != 0 ? NextByte() % 128 : 3 + NextByte() % 8;
  pu32[1] = (byShape & 2) != 0 ? NextByte() % 128 : 3 + NextByte() % 8;
  pu32[2] = kCommands[NextByte() % std::size(kCommands)];
  for (uint32_t i = 3; i < 12; ++i) pu32[i] = (byShape & 4) != 0 ? NextWord() : NextByte();
  Transact();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  vxsim::Locator& locator = TheLocator();
  static const bool bOpened = [&] {
    const bool bUp = [&] {
      locator.Plug();
      return vxfuzz::ConnectChannel(WduSimBackend(&locator));
    }();
    pCUsbMessage->dwTimeoutMs = kTimeoutMs;
    return bUp;
  }();
  if (!bOpened) __builtin_trap();
  g_pInput = pData;
  g_nInput = nSize;
  locator.ClearFaults();

  for (int nStep = 0; nStep < 64 && g_nInput > 0; ++nStep) {
    switch (NextByte() % 10) {
      case 0: locator.Plug(); break;
      case 1: locator.Unplug(); break;
      case 2: PollConnection(); break;
      case 3: RawRequest(); break;
      case 4: ReadFirmwareInfo(nullptr); break;
      case 5: EraseFlashSector(kImageSectors[NextByte() % 4]); break;
      case 6: {
        uint32_t au32Info[kInfoBlockWords] = {};
        WriteFirmwareInfo(au32Info);
        break;
      }
      case 7: {
        const uint32_t au32Words[3] = {1, NextWord(), 0};
        WriteEepromWords(NextWord() % 0x40100, au32Words, 3);
        break;
      }
      case 8: {
        vxsim::Fault fault;
        fault.kind = static_cast<vxsim::FaultKind>(NextByte() % 11);
        fault.value = NextByte();
        fault.exchange = locator.FaultExchangeCount() + 1 + NextByte() % 4;
        fault.times = 1 + NextByte() % 3;
        locator.AddFault(fault);
        break;
      }
      default:
        if (!WduWaitIdle(5000)) __builtin_trap();
        break;
    }
  }
  // Once the handlers have run, the connection poll reports what the locator is.
  locator.ClearFaults();
  if (!WduWaitIdle(5000)) __builtin_trap();
  PollConnection();
  if (PollConnection() != locator.IsPlugged()) __builtin_trap();
  return 0;
}
