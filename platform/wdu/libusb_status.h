// How libusb's results become the driver library's statuses: 0 success, the time-out
// status with the bytes moved before it, "device not found" for a device that is gone, the
// stall status for a halted pipe, and a distinct non-zero status for every other failure.
#pragma once

#include <libusb.h>

#include "platform/wdu/status.h"

// A completed transfer's status.
constexpr DWORD WduStatusFromTransfer(libusb_transfer_status s) {
  switch (s) {
    case LIBUSB_TRANSFER_COMPLETED: return WD_STATUS_SUCCESS;
    case LIBUSB_TRANSFER_TIMED_OUT: return WD_TIME_OUT_EXPIRED;
    case LIBUSB_TRANSFER_CANCELLED: return WD_TIME_OUT_EXPIRED;  // cancelled only when overdue
    case LIBUSB_TRANSFER_NO_DEVICE: return WD_DEVICE_NOT_FOUND;
    case LIBUSB_TRANSFER_STALL: return WD_USBD_STATUS_STALL;
    case LIBUSB_TRANSFER_OVERFLOW: return WD_USBD_STATUS_BABBLE_DETECTED;
    case LIBUSB_TRANSFER_ERROR: return WD_USBD_STATUS_XACT_ERROR;
  }
  return WD_WINDRIVER_STATUS_ERROR;
}

// A libusb call's error code.
constexpr DWORD WduStatusFromLibusbError(int rc) {
  switch (rc) {
    case LIBUSB_SUCCESS: return WD_STATUS_SUCCESS;
    case LIBUSB_ERROR_TIMEOUT: return WD_TIME_OUT_EXPIRED;
    case LIBUSB_ERROR_NO_DEVICE: return WD_DEVICE_NOT_FOUND;
    case LIBUSB_ERROR_PIPE: return WD_USBD_STATUS_STALL;
    case LIBUSB_ERROR_OVERFLOW: return WD_USBD_STATUS_BABBLE_DETECTED;
    case LIBUSB_ERROR_IO: return WD_USBD_STATUS_XACT_ERROR;
    case LIBUSB_ERROR_INVALID_PARAM: return WD_INVALID_PARAMETER;
    case LIBUSB_ERROR_NO_MEM: return WD_INSUFFICIENT_RESOURCES;
    case LIBUSB_ERROR_NOT_SUPPORTED: return WD_NOT_IMPLEMENTED;
    case LIBUSB_ERROR_NOT_FOUND:  // the interface is not claimed or has no such setting
    case LIBUSB_ERROR_ACCESS:
    case LIBUSB_ERROR_BUSY:
    case LIBUSB_ERROR_INTERRUPTED: return WD_OPERATION_FAILED;
    default: return WD_WINDRIVER_STATUS_ERROR;
  }
}
