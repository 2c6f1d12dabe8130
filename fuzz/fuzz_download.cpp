// The image download on arbitrary file contents, with arbitrary locator answers to the page
// writes and the CRC request (the erases and record writes are answered as the loader would).
// Whatever the file and the answers: what cannot be an image is refused before anything is
// sent; pages go out in order, at most one write per page; and a CRC and length are handed
// back only for an image whose CRC the locator confirmed.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

#include "device/commands.h"
#include "device/device_ops.h"
#include "fuzz_channel.h"
#include "sim/locator.h"
#include "tests/support/locator_arrival.h"

namespace {

vxfuzz::Input g_input;

// What the fake locator saw and knows.
std::vector<uint32_t> g_request;
uint32_t g_nOutTransfers = 0;
uint32_t g_nPageWrites = 0;
bool g_bPageOutOfOrder = false;
uint32_t g_u32FileCrc = 0;  // the loader's CRC of the padded file

DWORD Open(void*, const WduSink* pSink) {
  ReportLocatorArrival(*pSink, 1, 9);
  return WD_STATUS_SUCCESS;
}
void Close(void*) {}
DWORD SetInterface(void*, uint64_t, DWORD, DWORD) { return WD_STATUS_SUCCESS; }

DWORD Transfer(void*, uint64_t, DWORD, bool bRead, DWORD, uint8_t* pBuffer, DWORD dwBytes, DWORD* pdwMoved, DWORD) {
  if (!bRead) {
    ++g_nOutTransfers;
    g_request.assign(dwBytes / 4, 0);
    std::memcpy(g_request.data(), pBuffer, dwBytes / 4 * 4);
    if (g_request.size() > 5 && g_request[2] == CMD_WRITE_FLASH && g_request[4] == kImageBase) {
      if (g_request[5] != kPageUnits * g_nPageWrites) g_bPageOutOfOrder = true;
      ++g_nPageWrites;
    }
    *pdwMoved = dwBytes;
    return WD_STATUS_SUCCESS;
  }
  const uint32_t u32Cmd = g_request.size() > 2 ? g_request[2] : 0;
  const uint32_t m = g_request.size() > 1 && g_request[1] >= 3 && g_request[1] < 128 ? g_request[1] : 3;
  std::vector<uint32_t> w(m + 1, 0);
  w[0] = m;
  if (u32Cmd == CMD_ERASE_SECTOR || u32Cmd == CMD_ERASE_STATUS) w[1] = 1;
  if (u32Cmd == CMD_FLASH_CRC) w[3] = g_u32FileCrc;
  if (u32Cmd == CMD_WRITE_FLASH || u32Cmd == CMD_FLASH_CRC) {
    switch (g_input.Byte() % 5) {
      case 0: break;  // as the loader answers
      case 1: w[1] = g_input.Word(); break;
      case 2: w[3 % m] = g_input.Word(); break;
      case 3: {  // any bytes at all
        const DWORD dwLen = std::min<DWORD>(g_input.Byte(), dwBytes);
        for (DWORD i = 0; i < dwLen; ++i) pBuffer[i] = g_input.Byte();
        *pdwMoved = dwLen;
        return WD_STATUS_SUCCESS;
      }
      default: *pdwMoved = 0; return WD_TIME_OUT_EXPIRED;
    }
  }
  for (uint32_t i = 0; i < m; ++i) w[m] += w[i];
  const DWORD dwLen = std::min<DWORD>(dwBytes, (m + 1) * 4);
  std::memcpy(pBuffer, w.data(), dwLen);
  *pdwMoved = dwLen;
  return WD_STATUS_SUCCESS;
}

const WduBackend kBackend{"fuzz", nullptr, &Open, &Close, &SetInterface, &Transfer};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const bool bConnected = vxfuzz::ConnectChannel(&kBackend);
  static const std::string sPath = (vxfuzz::FirmwareFolder() / "fuzz.bin").string();
  if (!bConnected) __builtin_trap();
  g_input.Reset(pData, nSize);

  // Byte 0 picks a file beyond the image area; bytes 1 and 2 the file's length (below 4 KB,
  // 16 pages: every page costs an exchange); the file's bytes follow, then the answers.
  const bool bTooLarge = (g_input.Byte() & 0x80) != 0;
  size_t nFile = g_input.Byte();
  nFile |= size_t(g_input.Byte() & 0x0F) << 8;
  std::vector<uint8_t> file(nFile, 0);
  for (size_t i = 0; i < nFile; ++i) file[i] = g_input.Byte();
  FILE* pFile = std::fopen(sPath.c_str(), "wb");
  if (pFile == nullptr) __builtin_trap();
  if (!file.empty() && std::fwrite(file.data(), 1, file.size(), pFile) != file.size()) __builtin_trap();
  std::fclose(pFile);
  // A file beyond the image area: the same bytes, then zeros (a hole) past its end.
  if (bTooLarge) {
    std::filesystem::resize_file(sPath, kImageAreaBytes + 1 + nFile);
    file.resize(kImageAreaBytes + 1 + nFile, 0);
  }

  const size_t nWritten = file.size();
  const size_t nPages = (file.size() + kPageBytes - 1) / kPageBytes;
  file.resize(nPages * kPageBytes, 0);
  g_u32FileCrc = 0xFFFF;
  for (size_t i = 0; !bTooLarge && i < file.size(); i += 2) g_u32FileCrc = vxsim::LoaderCrcStep(g_u32FileCrc, file[i]);
  g_nOutTransfers = 0;
  g_nPageWrites = 0;
  g_bPageOutOfOrder = false;

  uint32_t u32Crc = 0xA5A5A5A5, u32Length = 0xA5A5A5A5;
  const int32_t nResult = DownloadFirmwareImage("fuzz.bin", u32Crc, u32Length);

  // The image file is only read.
  const std::vector<uint8_t> written = file;
  if (std::filesystem::file_size(sPath) != nWritten) __builtin_trap();
  if (bTooLarge) {
    // Refused before a byte of it was read: its size, checked above, is all there is to check.
  } else if (FILE* pBack = std::fopen(sPath.c_str(), "rb")) {
    std::vector<uint8_t> back(nWritten);
    const size_t nBack = back.empty() ? 0 : std::fread(back.data(), 1, back.size(), pBack);
    std::fclose(pBack);
    if (nBack != nWritten || !std::equal(back.begin(), back.end(), written.begin())) __builtin_trap();
  } else {
    __builtin_trap();
  }

  if (nPages == 0 || bTooLarge) {
    if (nResult != kErrNotAnImage || g_nOutTransfers != 0) __builtin_trap();
    return 0;
  }
  if (g_bPageOutOfOrder || g_nPageWrites > nPages) __builtin_trap();
  const bool bHandedBack = u32Length != 0 && u32Length != 0xA5A5A5A5;
  if (bHandedBack && (nResult != 0 || u32Length != kPageUnits * nPages || u32Crc != g_u32FileCrc)) __builtin_trap();
  if (!bHandedBack && u32Crc != 0 && u32Crc != 0xA5A5A5A5) __builtin_trap();
  return 0;
}
