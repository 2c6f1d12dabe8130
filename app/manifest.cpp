#include "app/manifest.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <string>

#include "device/firmware_folder.h"
#include "platform/os/os.h"

int32_t* ManifestImageVersion(VersionManifest& manifest, int32_t nImageType) {
  switch (nImageType) {
    case 1: return &manifest.nVersionType1;
    case 2: return &manifest.nVersionType2;
    case 3: return &manifest.nVersionType3;
    case 4: return &manifest.nVersionType4;
    case 5: return &manifest.nVersionType5;
    case 6: return &manifest.nVersionType6;
    case 7: return &manifest.nVersionType7;
    case 8: return &manifest.nVersionType8;
    case 9: return &manifest.nVersionType9;
    case 10: return &manifest.nVersionType10;
    default: return nullptr;
  }
}

wchar_t* ManifestFileName(VersionManifest& manifest, int32_t nImageType) {
  switch (nImageType) {
    case 1: return manifest.wszFileType1;
    case 2: return manifest.wszFileType2;
    case 3: return manifest.wszFileType3;
    case 4: return manifest.wszFileType4;
    case 5: return manifest.wszFileType5;
    case 6: return manifest.wszFileType6;
    case 7: return manifest.wszFileType7;
    case 8: return manifest.wszFileType8;
    case 9: return manifest.wszFileType9;
    case 10: return manifest.wszFileType10;
    default: return nullptr;
  }
}

namespace {

constexpr char kUtf8ByteOrderMark[] = "\xEF\xBB\xBF";

// A number field: the atoi rules over the field's text as 8-bit text (white space, an
// optional sign, decimal digits up to the first other character; no digits give 0). A value
// beyond 32 bits, undefined for atoi itself, is held at the nearest limit.
int32_t FieldNumber(const std::wstring& field) {
  const std::string text = WideToAnsi(field.c_str());
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

// Splits `text` at its first comma: the field before it, and the rest after it (the whole
// text when there is no comma, whose field is then empty).
void SplitAtComma(const std::wstring& text, std::wstring& field, std::wstring& rest) {
  const size_t comma = text.find(L',');
  if (comma == std::wstring::npos) {
    field.clear();
    rest = text;
  } else {
    field = text.substr(0, comma);
    rest = text.substr(comma + 1);
  }
}

void ParseEntryLine(const std::wstring& line, VersionManifest& manifest) {
  std::wstring field, rest, name;
  SplitAtComma(line, field, rest);
  const int32_t nVersion = FieldNumber(field);
  SplitAtComma(rest, field, name);
  const int32_t nImageType = FieldNumber(field);
  int32_t* pnVersion = ManifestImageVersion(manifest, nImageType);
  if (pnVersion == nullptr) return;

  while (!name.empty() && name.back() == L'\n') name.pop_back();
  while (!name.empty() && name.back() == L'\r') name.pop_back();

  *pnVersion = nVersion;
  wchar_t* pwszName = ManifestFileName(manifest, nImageType);
  const size_t nChars = name.size() < kManifestNameChars - 1 ? name.size() : kManifestNameChars - 1;
  wmemcpy(pwszName, name.data(), nChars);
  pwszName[nChars] = L'\0';
}

}  // namespace

bool ReadVersionManifestFrom(const char* pszPath, VersionManifest& manifest) {
  FilePtr file(OsOpenFile(pszPath, "r"));
  if (!file) return false;

  char szLine[kManifestLineChars + 1];
  bool bFirstLine = true;
  while (std::fgets(szLine, sizeof szLine, file.get()) != nullptr) {
    if (bFirstLine) {
      bFirstLine = false;
      // Notepad begins UTF-8 text with a byte-order mark; it is no part of the first line.
      const char* pszLine = std::strncmp(szLine, kUtf8ByteOrderMark, 3) == 0 ? szLine + 3 : szLine;
      const std::wstring line = AnsiToWide(pszLine);
      std::wstring field, rest;
      SplitAtComma(line, field, rest);
      manifest.nOverallVersion = FieldNumber(field);
    } else {
      ParseEntryLine(AnsiToWide(szLine), manifest);
    }
  }
  return true;
}

bool ReadVersionManifest(VersionManifest& manifest) {
  return ReadVersionManifestFrom(FirmwareFilePath("pcversions.txt").c_str(), manifest);
}
