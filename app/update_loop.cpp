#include "app/update_loop.h"

#include <cstdio>

#include "app/manifest.h"
#include "device/commands.h"
#include "device/device_ops.h"
#include "platform/os/os.h"
#include "usb/usb_message.h"

namespace {

constexpr const char* kOverallVersionText = "Overall Version %d\n";
constexpr const char* kImageText = "%s %d\n";
constexpr const char* kConnectPrompt =
    "\nConnect Valtor locator and switch on while holding the f and up buttons...\r\n";
constexpr const char* kNotConnectedText = "USB Device NOT Connected\n";
constexpr const char* kEraseInfoFailedText = "\nError erasing sector 0x%X\n";
constexpr const char* kAttemptFailedText = "Prd1 file download failed - Error code = %d";
constexpr const char* kCompleteText = "Download Complete\r\n";
constexpr const char* kAsteriskLine =
    "************************************************************\r\n\r\n";

constexpr DWORD kPromptPauseMs = 1000;

constexpr int32_t kErrInfoRead = -1;
constexpr int32_t kErrInfoErase = -2;
constexpr int32_t kErrDownload = -3;

// The closing record of every attempt: 1, overall version, 0 at EEPROM 0x1000.
void WriteOverallVersionRecord(int32_t nOverallVersion) {
  const uint32_t au32Record[] = {1, static_cast<uint32_t>(nOverallVersion), 0};  // OverallVersionRecord
  WriteEepromWords(kOverallVersionAddress, au32Record, sizeof(OverallVersionRecord) / 4);  // a failed record write is not reported
}

}  // namespace

UpdateLoopState PrepareUpdateLoop() {
  // Values the manifest does not give stay 0 and empty.
  VersionManifest manifest{};
  ReadVersionManifest(manifest);

  UpdateLoopState state;
  state.nOverallVersion = manifest.nOverallVersion;
  state.nImageVersion = manifest.nVersionType1;
  state.sImageFile = WideToAnsi(manifest.wszFileType1);

  printf(kOverallVersionText, state.nOverallVersion);
  printf(kImageText, state.sImageFile.c_str(), state.nImageVersion);
  OsSleep(kPromptPauseMs);
  printf("%s", kConnectPrompt);
  return state;
}

int32_t RunUpdateAttempt(const UpdateLoopState& state) {
  FirmwareInfoBlock infoBlock{};
  uint32_t u32ImageCrc = 0;
  uint32_t u32ImageLength = 0;
  int32_t nError = 0;

  if (ReadFirmwareInfo(infoBlock.au32Words) != 0) {
    nError = kErrInfoRead;
  } else if (DownloadFirmwareImage(state.sImageFile.c_str(), u32ImageCrc, u32ImageLength) != 0) {
    nError = kErrDownload;
  } else {
    infoBlock.au32Words[0] = static_cast<uint32_t>(state.nOverallVersion);
    infoBlock.au32Words[1] = static_cast<uint32_t>(state.nImageVersion);
    infoBlock.au32Words[2] = u32ImageCrc;
    infoBlock.au32Words[3] = u32ImageLength;
    if (EraseFlashSector(kInfoSector) == 0) {
      printf(kEraseInfoFailedText, kInfoSector);
      nError = kErrInfoErase;
    } else {
      nError = WriteFirmwareInfo(infoBlock.au32Words);
      // The download returns 0 on a CRC mismatch too, leaving the length 0 (an empty image is
      // refused, so a verified one is never 0 long). The info block is written all the same,
      // with CRC and length 0; the attempt has still failed, and says so last.
      if (nError == 0 && u32ImageLength == 0) nError = kErrDownload;
    }
  }

  if (nError != 0) printf(kAttemptFailedText, nError);
  WriteOverallVersionRecord(state.nOverallVersion);
  // The keys pressed while the attempt ran are dropped before its end is shown, so that a
  // key pressed on seeing "Download Complete" starts the next attempt.
  ConsoleEndAttempt();
  printf("%s", kCompleteText);
  printf("%s", kAsteriskLine);
  return nError;
}

void RunUpdateLoopPass(const UpdateLoopState& state) {
  const bool bConnectedNow = PollConnection();
  if (!ConsoleKeyWaiting()) return;
  ConsoleReadKey();  // any key; its value is not used
  if (!bConnectedNow) {
    printf("%s", kNotConnectedText);
    return;
  }
  ConsoleBeginAttempt();
  RunUpdateAttempt(state);  // ends with ConsoleEndAttempt
}

void RunUpdateLoop() {
  const UpdateLoopState state = PrepareUpdateLoop();
  for (;;) RunUpdateLoopPass(state);
}
