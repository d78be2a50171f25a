// What to tell the user when an instrument of ours is on the bus but cannot
// be used: which permission, udev rule or group is missing, or which kernel
// driver holds it.
#pragma once

#include <libusb.h>

#include <cstdint>
#include <string>

namespace usb::libusb {

// The installed udev rule's file name and the group it gives access to.
inline constexpr const char *kUdevRuleName = "60-tavrin.rules";
inline constexpr const char *kAccessGroup = "tavrin";

std::string CannotOpen(libusb_device *device, std::uint16_t vendor, std::uint16_t product, int error);
std::string HeldByKernelDriver(libusb_device *device, std::uint16_t vendor, std::uint16_t product, int interface);
std::string Unreadable(libusb_device *device, std::uint16_t vendor, std::uint16_t product);

// The advice for a permission refusal, from what this machine has: whether
// the rule is installed, whether the group exists and whether this user is in
// it.
std::string AccessAdvice(bool ruleInstalled, bool groupExists, bool userInGroup);

}  // namespace usb::libusb
