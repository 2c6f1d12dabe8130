// The version manifest "pcversions.txt" in the firmware folder: the overall version on its
// first line, then lines "version,image type,file name" for image types 1 to 10.
#pragma once

#include <cstdint>

constexpr uint32_t kManifestLineChars = 79;  // one read takes at most this many characters
constexpr uint32_t kManifestNameChars = 80;  // a file name fits one read, with its terminator

struct VersionManifest {
  int32_t nOverallVersion;
  // Image versions, in this order of image types.
  int32_t nVersionType1, nVersionType2, nVersionType3, nVersionType6, nVersionType7;
  int32_t nVersionType5, nVersionType4, nVersionType10, nVersionType8, nVersionType9;
  // Image file names, in the same order.
  wchar_t wszFileType1[kManifestNameChars], wszFileType2[kManifestNameChars];
  wchar_t wszFileType3[kManifestNameChars], wszFileType6[kManifestNameChars];
  wchar_t wszFileType7[kManifestNameChars], wszFileType5[kManifestNameChars];
  wchar_t wszFileType4[kManifestNameChars], wszFileType10[kManifestNameChars];
  wchar_t wszFileType8[kManifestNameChars], wszFileType9[kManifestNameChars];
};

// The entry of one image type (1 to 10); nullptr for any other type.
int32_t* ManifestImageVersion(VersionManifest& manifest, int32_t nImageType);
wchar_t* ManifestFileName(VersionManifest& manifest, int32_t nImageType);

// Reads the manifest into `manifest`, overwriting only what the file gives. Returns false,
// with `manifest` unchanged, when the file cannot be opened. Prints nothing.
bool ReadVersionManifest(VersionManifest& manifest);

// The same from a path of its own (the manifest's path is fixed; tests use this).
bool ReadVersionManifestFrom(const char* pszPath, VersionManifest& manifest);
