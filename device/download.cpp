// The image download: the file from the firmware folder into flash from 0x8000, page by
// page, verified by the locator's CRC of the written range, then the ImageVersionRecord.
#include <cstdio>
#include <memory>
#include <string>

#include "device/commands.h"
#include "device/device_ops.h"
#include "device/firmware_folder.h"
#include "device/image_page.h"
#include "platform/os/os.h"
#include "usb/usb_message.h"

namespace {

constexpr const char* kNullNameText = "File Name NULL\n";
constexpr const char* kNoFileText = "\nFile : %s does NOT exist\n";
constexpr const char* kEraseErrorText = "\nError erasing sector\n";
constexpr const char* kNoBufferText = "\nError allocating page buffer for file : %s\n";
constexpr const char* kReadErrorText = "\nError reading file\n";
constexpr const char* kEmptyImageText = "\nFile : %s is empty: not a firmware image\n";
constexpr const char* kLargeImageText =
    "\nFile : %s is too large for the image area: %llu bytes, at most %u (%u pages)\n";
constexpr const char* kFileText = "\n\nFile : %s";
constexpr const char* kFileSizeText = "\nFile Size (Kilobytes) = %u";
constexpr const char* kPageSizeText = "\nFlash Page Size = %u bytes, Number Pages = %d";
constexpr const char* kStartSectorText = "\nFlash Start Sector Address = 0x%x";
constexpr const char* kDownloadingText = "\nDownloading %d Pages To Flash";
constexpr const char* kPageErrorText = "\nCommunication error during Firmware Download";
constexpr const char* kPageErrorCodeText = "\nError Code = %d, nPage = %d, Address offset = 0x%X\n";
constexpr const char* kCompletedText = "\nDownload Completed.\n";
constexpr const char* kCrcText = "\nFlashCRC = 0x%X, File CRC = 0x%X\n";
constexpr const char* kCrcEqualText = "SUCCESS, Flash and Firmware File CRCs equal\n";
constexpr const char* kCrcDifferText = "\nFAILURE, Flash and Firmware File CRCs NOT equal\n";
constexpr const char* kRecordText =
    "\nUpdating EEPROM Firmware Versions Image Type %d ver %d  CRC 0x%x Length 0x%x Status %d\n";
constexpr const char* kEepromLimitText = "Error Maximum Eeprom Address 0x%X exceeded for 256 Kbyte Eeprom\n";
constexpr const char* kEepromPageText = "Error Number of bytes greater than an Eeprom page size = %u\n";

constexpr uint32_t kInitialCrc = 0xFFFF;
constexpr uint32_t kPageDataWord = 6;  // first data word of a page write request
constexpr uint32_t kPagesPerDot = 4;
constexpr uint32_t kPagesPerLine = 256;

using PageBuffer = std::unique_ptr<uint8_t[]>;

// The image in the firmware folder; none for a name that leads out of the folder.
FilePtr OpenImageFile(const char* fileName) {
  const std::string sPath = FirmwareFilePath(fileName);
  return sPath.empty() ? nullptr : FilePtr(OsOpenFile(sPath.c_str(), "rb"));
}

// The file's size in bytes, the file left at its start; -1 when it cannot be told.
int64_t FileSize(FILE* pFile) {
#if defined(_WIN32)
  if (_fseeki64(pFile, 0, SEEK_END) != 0) return -1;
  const int64_t nSize = _ftelli64(pFile);
  if (_fseeki64(pFile, 0, SEEK_SET) != 0) return -1;
#else
  if (fseeko(pFile, 0, SEEK_END) != 0) return -1;
  const int64_t nSize = ftello(pFile);
  if (fseeko(pFile, 0, SEEK_SET) != 0) return -1;
#endif
  return nSize;
}

// Reads the whole file, at most a page at a time, into the buffer of nSize bytes. True only
// when the file held exactly nSize bytes: a read that moves nothing before then, or a byte
// beyond them (a file that grew since its size was taken), is a file not read whole.
bool ReadWholeFile(FILE* pFile, uint8_t* pu8Buffer, uint64_t nSize) {
  uint64_t nTotal = 0;
  while (nTotal < nSize) {
    const uint64_t nLeft = nSize - nTotal;
    const size_t nWant = nLeft < kPageBytes ? static_cast<size_t>(nLeft) : kPageBytes;
    const size_t nRead = fread(pu8Buffer + nTotal, 1, nWant, pFile);
    nTotal += nRead;
    if (nRead == 0 || feof(pFile)) break;
  }
  return nTotal == nSize && fgetc(pFile) == EOF && feof(pFile);
}

void WriteImageVersionRecord(const ImageHeader& header) {
  const uint32_t u32Address = ImageRecordAddress(header.u32Type);
  printf(kRecordText, static_cast<int>(header.u32Type), static_cast<int>(header.u32Version), header.u32Crc, 0u,
         static_cast<int>(kImageRecordStatus));
  // An image type without an address (type 0 among them) has no record to write.
  if (u32Address > kEepromLastAddress) {
    printf(kEepromLimitText, kEepromLastAddress);
    printf(kEepromPageText, kEepromPageBytes);
    return;
  }
  // ImageVersionRecord: ver, CRC (the header's), Length 0, Status.
  const uint32_t au32Record[] = {header.u32Version, header.u32Crc, 0, kImageRecordStatus};
  (void)WriteEepromWords(u32Address, au32Record, sizeof(ImageVersionRecord) / 4);  // a failed record write changes nothing
}

}  // namespace

int32_t DownloadFirmwareImage(const char* fileName, uint32_t& crcOut, uint32_t& lengthOut) {
  if (fileName == nullptr) {
    printf("%s", kNullNameText);
    return -1;
  }
  FilePtr pFile = OpenImageFile(fileName);
  if (!pFile) {
    printf(kNoFileText, fileName);
    return -2;
  }

  // Nothing is sent for a file that cannot be an image: an empty one would leave the image
  // area erased, a larger one would be programmed beyond it.
  const int64_t nFileSize = FileSize(pFile.get());
  if (nFileSize == 0) {
    printf(kEmptyImageText, fileName);
    return kErrNotAnImage;
  }
  if (nFileSize > static_cast<int64_t>(kImageAreaBytes)) {
    printf(kLargeImageText, fileName, static_cast<unsigned long long>(nFileSize), kImageAreaBytes,
           kImageAreaBytes / kPageBytes);
    return kErrNotAnImage;
  }

  // The whole file is read before anything is erased: a file replaced, truncated or made
  // unreadable meanwhile must not leave the locator erased, and what is programmed is what
  // was read.
  if (nFileSize < 0) {
    printf("%s", kReadErrorText);
    return -4;
  }
  const uint64_t nSize = static_cast<uint64_t>(nFileSize);
  const uint64_t nPages = nSize / kPageBytes + (nSize % kPageBytes != 0 ? 1 : 0);
  PageBuffer pu8Pages;
  if (nPages <= SIZE_MAX / kPageBytes) pu8Pages.reset(AllocatePageBuffer(static_cast<size_t>(nPages * kPageBytes)));
  if (!pu8Pages) {
    printf(kNoBufferText, fileName);
    return -4;
  }
  if (!ReadWholeFile(pFile.get(), pu8Pages.get(), nSize)) {
    printf("%s", kReadErrorText);
    return -4;
  }
  pFile.reset();

  // Every image sector must be erased before a page is programmed: a page programmed over
  // flash that kept its old contents can still match the locator's CRC, which covers only
  // the low byte of each unit.
  ClearBuffers();
  for (uint32_t u32Sector : kImageSectors) {
    if (EraseFlashSector(u32Sector) == 0) {
      printf("%s", kEraseErrorText);
      return -3;
    }
  }

  uint32_t* pu32Request = pCUsbMessage->pu32Request;
  pu32Request[0] = kWriteFlashHeaderWords + kPageWords;
  pu32Request[1] = kPlainReplyWords;
  pu32Request[2] = CMD_WRITE_FLASH;
  pu32Request[3] = kPageWords;
  pu32Request[4] = kImageBase;

  const int nPageCount = static_cast<int>(nPages);
  printf(kFileText, fileName);
  printf(kFileSizeText, static_cast<unsigned>(nSize / 1024));
  printf(kPageSizeText, kPageBytes, nPageCount);
  printf(kStartSectorText, kImageBase);
  printf(kDownloadingText, nPageCount);

  crcOut = 0;
  lengthOut = 0;
  const ImageHeader header = ReadImageHeader(pu8Pages.get(), static_cast<size_t>(nSize));

  uint32_t u32Crc = kInitialCrc;
  uint32_t u32Offset = 0;
  uint32_t u32Length = 0;
  int32_t nResult = 0;
  for (int nPage = 0; nPage < nPageCount; ++nPage) {
    if (nPage % kPagesPerDot == 0) printf(nPage % kPagesPerLine == 0 ? "\n." : ".");
    pu32Request[5] = u32Offset;
    u32Crc = PackPage(pu8Pages.get() + static_cast<size_t>(nPage) * kPageBytes, pu32Request + kPageDataWord, u32Crc);
    nResult = Transact();
    if (nResult != 0) {
      printf("%s", kPageErrorText);
      printf(kPageErrorCodeText, nResult, nPage, u32Offset);
      break;
    }
    u32Offset += kPageUnits;
    u32Length += kPageUnits;
  }

  if (nResult == 0) {
    printf("%s", kCompletedText);
    pu32Request[0] = kFlashCrcWords;
    pu32Request[1] = kFlashCrcReplyWords;
    pu32Request[2] = CMD_FLASH_CRC;
    pu32Request[3] = kImageBase;
    pu32Request[4] = u32Length;
    nResult = Transact();
    if (nResult == 0) {
      const uint32_t u32FlashCrc = pCUsbMessage->pu32Response[3];
      printf(kCrcText, u32FlashCrc, u32Crc);
      if (u32FlashCrc == u32Crc) {
        printf("%s", kCrcEqualText);
        crcOut = u32Crc;
        lengthOut = u32Length;
      } else {
        printf("%s", kCrcDifferText);
      }
    }
  }

  pu8Pages.reset();
  WriteImageVersionRecord(header);
  return nResult;
}
