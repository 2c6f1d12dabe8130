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

vxfuzz::Input g_input;

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
  const uint8_t byShape = g_input.Byte();
  pu32[0] = (byShape & 1) != 0 ? g_input.Byte() % 128 : 3 + g_input.Byte() % 8;
  pu32[1] = (byShape & 2) != 0 ? g_input.Byte() % 128 : 3 + g_input.Byte() % 8;
  pu32[2] = kCommands[g_input.Byte() % std::size(kCommands)];
  for (uint32_t i = 3; i < 12; ++i) pu32[i] = (byShape & 4) != 0 ? g_input.Word() : g_input.Byte();
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
  g_input.Reset(pData, nSize);
  locator.ClearFaults();

  for (int nStep = 0; nStep < 64 && !g_input.Empty(); ++nStep) {
    switch (g_input.Byte() % 10) {
      case 0: locator.Plug(); break;
      case 1: locator.Unplug(); break;
      case 2: PollConnection(); break;
      case 3: RawRequest(); break;
      case 4: ReadFirmwareInfo(nullptr); break;
      case 5: EraseFlashSector(kImageSectors[g_input.Byte() % 4]); break;
      case 6: {
        uint32_t au32Info[kInfoBlockWords] = {};
        WriteFirmwareInfo(au32Info);
        break;
      }
      case 7: {
        const uint32_t au32Words[3] = {1, g_input.Word(), 0};
        WriteEepromWords(g_input.Word() % 0x40100, au32Words, 3);
        break;
      }
      case 8: {
        vxsim::Fault fault;
        fault.kind = static_cast<vxsim::FaultKind>(g_input.Byte() % 11);
        fault.value = g_input.Byte();
        fault.exchange = locator.FaultExchangeCount() + 1 + g_input.Byte() % 4;
        fault.times = 1 + g_input.Byte() % 3;
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
