#pragma once
// The fixed firmware folder and the files in it, which the program only reads.
#include <cstdio>
#include <memory>
#include <string>

// The fixed firmware folder, without a trailing backslash.
extern const wchar_t* const kFirmwareFolder;

struct FileCloser {
  void operator()(FILE* pFile) const { std::fclose(pFile); }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// The Windows path of a file in the firmware folder, in the ANSI code page; empty for a
// name that reaches outside the folder through a parent component (subfolders are
// allowed). Windows drops trailing dots and blanks from a component, so ". ." and "..."
// count as "..".
std::string FirmwareFilePath(const char* fileName);
