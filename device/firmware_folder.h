#pragma once

// The fixed firmware folder, without a trailing backslash.
extern const wchar_t* const kFirmwareFolder;
