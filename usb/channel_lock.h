// Access to the channel's connected flag under its semaphore, shared by the hot-plug code
// and the transport. Every wait is bounded by kSemaphoreWaitMs.
#pragma once

#include "usb/usb_message.h"

namespace usb_detail {

// Waits for hSemaphore; false when the wait did not succeed (the access must not happen).
bool AcquireFlag(CUsbMessage* pChannel);
// Releases hSemaphore by one; a failed release stores the OS error in dwLastOsError.
void ReleaseFlag(CUsbMessage* pChannel);
// Reads bConnected; a failed wait counts as false.
bool ReadConnected(CUsbMessage* pChannel);

}  // namespace usb_detail
