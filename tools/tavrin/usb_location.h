// Where on this computer's USB an instrument is plugged in, found in sysfs
// by the identifiers and serial number its descriptors give. A simulated
// instrument has no such place.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tavrin_cli {

struct UsbLocation {
  unsigned bus = 0;
  unsigned address = 0;  // the device number lsusb shows
};

// The USB device with this vendor, product and serial number among
// `devicesDirectory`'s entries (/sys/bus/usb/devices); nullopt when none
// matches or the serial number is empty.
std::optional<UsbLocation> FindUsbLocation(std::uint16_t vendor, std::uint16_t product, const std::string &serial,
                                           const std::string &devicesDirectory = "/sys/bus/usb/devices");

}  // namespace tavrin_cli
