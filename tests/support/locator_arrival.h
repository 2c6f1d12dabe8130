// For hand-written backends in tests, benchmarks and fuzz targets: reports the arrival of a
// locator (our vendor id, the given product id) to the layer's sink.
#pragma once

#include <cstdint>

#include "platform/wdu/backend.h"
#include "usb/usb_message.h"

inline void ReportLocatorArrival(const WduSink& sink, uint64_t uDeviceId, uint16_t uProductId) {
  WDU_DEVICE_DESCRIPTOR d{};
  d.bLength = 18;
  d.bDescriptorType = 1;
  d.idVendor = kLocatorVendorId;
  d.idProduct = uProductId;
  sink.Arrived(sink.pLayer, uDeviceId, &d);
}
