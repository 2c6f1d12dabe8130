#include "device/firmware_folder.h"

const wchar_t* const kFirmwareFolder = L"C:\\ProgramData\\Quenby Ltd\\Valtor Firmware Updater\\Firmware";
