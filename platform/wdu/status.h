// The USB driver library's statuses, the only ones its calls and backends return.
#pragma once

#include "platform/os/os.h"

constexpr DWORD WD_STATUS_SUCCESS = 0x00000000u;
constexpr DWORD WD_WINDRIVER_STATUS_ERROR = 0x20000000u;  // a failure with no closer status
constexpr DWORD WD_INVALID_HANDLE = 0x20000001u;
constexpr DWORD WD_INVALID_PARAMETER = 0x20000003u;
constexpr DWORD WD_NO_DRIVER_NAME = 0x20000007u;  // WD_DriverName was not given a name
constexpr DWORD WD_NOT_IMPLEMENTED = 0x2000000Au;
constexpr DWORD WD_DEVICE_NOT_FOUND = 0x2000000Bu;
constexpr DWORD WD_INSUFFICIENT_RESOURCES = 0x20000010u;
constexpr DWORD WD_OPERATION_FAILED = 0x20000013u;
constexpr DWORD WD_TIME_OUT_EXPIRED = 0x20000015u;
constexpr DWORD WD_USBD_STATUS_STALL = 0xC0000004u;
constexpr DWORD WD_USBD_STATUS_XACT_ERROR = 0xC0000011u;       // the transfer failed on the bus
constexpr DWORD WD_USBD_STATUS_BABBLE_DETECTED = 0xC0000012u;  // the device sent more than asked
