// Controls of the USB driver library layer for tests, fuzz targets and benchmarks; the
// program itself uses none of them.
#pragma once

#include "platform/wdu/backend.h"

// Chooses the backend for the next WDU_Init (tests install the in-process simulator).
// nullptr returns to the layer's own choice.
void WduSelectBackend(const WduBackend* pBackend);

// Ends every registration, closes the backend and stops the dispatch thread, so that a
// test can start again from nothing. Device handles given out before stay valid as
// handles; their transfers fail.
void WduResetLayer();

// Waits until every report received so far has been handed to the handlers and they have
// returned, or the time-out passes. Returns true when the queue drained.
bool WduWaitIdle(DWORD dwTimeoutMs);

const WduBackend* WduNullBackend();  // reports no device; every call on a device fails
