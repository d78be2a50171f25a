// Which USB devices are instruments of ours: vendor:product pairs from a
// small configuration file, or from TAVRIN_USB_IDS, which replaces the file's
// list. Each entry may ask to take the device from a kernel driver that has
// bound it ("detach"); without that such a device is left alone.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace usb::libusb {

struct UsbId {
  std::uint16_t vendor = 0;
  std::uint16_t product = 0;
  bool detachKernelDriver = false;
};

struct UsbIdList {
  std::vector<UsbId> ids;
  std::string source;              // where the list came from, for messages
  std::vector<std::string> errors;  // entries that could not be read, ignored

  std::optional<UsbId> Match(std::uint16_t vendor, std::uint16_t product) const;
};

// One entry: "vvvv:pppp", optionally followed by "detach" (hexadecimal, the
// way lsusb prints them).
std::optional<UsbId> ParseUsbId(std::string_view text);

// Lines of a configuration file: one entry per line, '#' starts a comment.
UsbIdList ParseUsbIdFile(std::string_view text, std::string source);
// TAVRIN_USB_IDS: entries separated by commas; empty or "none" matches nothing.
UsbIdList ParseUsbIdVariable(std::string_view text);

// The list in force: TAVRIN_USB_IDS when set; else the file TAVRIN_USB_CONFIG
// names, or the installed usb-ids.conf; else the substitute instrument's pair.
UsbIdList ConfiguredUsbIds();

// The installed configuration file's path.
std::string DefaultUsbIdFile();

}  // namespace usb::libusb
