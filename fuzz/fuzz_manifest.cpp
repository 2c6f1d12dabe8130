// Any manifest file reads without overrun, and every file name it leaves is terminated
// within its field.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>

#include "app/manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* pData, size_t nSize) {
  static const std::string path = "/tmp/vx_fuzz_manifest." + std::to_string(getpid());
  static const int nCleanup = std::atexit([] { unlink(path.c_str()); });
  (void)nCleanup;
  FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) __builtin_trap();
  std::fwrite(pData, 1, nSize, f);
  std::fclose(f);

  VersionManifest manifest{};
  if (!ReadVersionManifestFrom(path.c_str(), manifest)) __builtin_trap();
  for (int32_t nType = 1; nType <= 10; ++nType)
    if (wcsnlen(ManifestFileName(manifest, nType), kManifestNameChars) == kManifestNameChars) __builtin_trap();
  return 0;
}
