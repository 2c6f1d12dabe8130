// Stands in for Windows' pnputil.exe, which Wine lacks, in the installer's test: prints its
// command line, as pnputil prints what it did, and ends with the exit code that
// VX_PNPUTIL_EXIT gives (decimal or 0x hexadecimal; 0 when unset).
#include <windows.h>

#include <cstdio>
#include <cstdlib>

int main() {
  std::printf("pnputil stand-in: %s\r\n", GetCommandLineA());
  const char* pszExit = std::getenv("VX_PNPUTIL_EXIT");
  return pszExit == nullptr ? 0 : static_cast<int>(std::strtoul(pszExit, nullptr, 0));
}
