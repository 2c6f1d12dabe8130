// The backend that drives an in-process simulated locator (tests and demos).
#pragma once

#include "platform/wdu/backend.h"
#include "sim/locator.h"

// Returns a backend for the locator; install it with WduSelectBackend before WDU_Init.
// The locator must outlive the layer's use of the backend (until WduResetLayer).
const WduBackend* WduSimBackend(vxsim::Locator* pLocator);
