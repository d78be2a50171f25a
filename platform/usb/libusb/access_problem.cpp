#include "access_problem.h"

#include "libusb_context.h"

#include <grp.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <vector>

namespace usb::libusb {
namespace {

std::string Describe(libusb_device *device, std::uint16_t vendor, std::uint16_t product) {
  char text[96];
  std::snprintf(text, sizeof text, "USB device %04x:%04x at /dev/bus/usb/%03u/%03u", vendor, product,
                libusb_get_bus_number(device), libusb_get_device_address(device));
  return text;
}

bool RuleInstalled() {
  for (const char *directory : {"/etc/udev/rules.d", "/usr/lib/udev/rules.d", "/lib/udev/rules.d",
                                "/run/udev/rules.d"}) {
    std::error_code error;
    if (std::filesystem::exists(std::filesystem::path(directory) / kUdevRuleName, error)) return true;
  }
  return false;
}

bool UserInGroup(gid_t group) {
  if (getegid() == group) return true;
  int count = getgroups(0, nullptr);
  if (count <= 0) return false;
  std::vector<gid_t> groups(static_cast<std::size_t>(count));
  count = getgroups(count, groups.data());
  for (int i = 0; i < count; ++i) {
    if (groups[static_cast<std::size_t>(i)] == group) return true;
  }
  return false;
}

}  // namespace

std::string AccessAdvice(bool ruleInstalled, bool groupExists, bool userInGroup) {
  std::string advice;
  if (!ruleInstalled) {
    advice += std::string(" The udev rule ") + kUdevRuleName +
              " is not installed: copy it into /etc/udev/rules.d and run"
              " `sudo udevadm control --reload && sudo udevadm trigger`.";
  }
  if (!groupExists) {
    advice += std::string(" There is no group '") + kAccessGroup + "': `sudo groupadd --system " + kAccessGroup + "`.";
  }
  if (!userInGroup) {
    advice += std::string(" You are not in the group '") + kAccessGroup + "': `sudo usermod -aG " + kAccessGroup +
              " $USER`, then log in again.";
  }
  if (advice.empty()) advice = " The rule and the group are in place: unplug the instrument and plug it in again.";
  return advice;
}

std::string CannotOpen(libusb_device *device, std::uint16_t vendor, std::uint16_t product, int error) {
  std::string message = Describe(device, vendor, product) + " cannot be opened: " + ErrorText(error) + ".";
  if (error != LIBUSB_ERROR_ACCESS) return message;
  const group *tavrin = getgrnam(kAccessGroup);
  return message + AccessAdvice(RuleInstalled(), tavrin != nullptr, tavrin != nullptr && UserInGroup(tavrin->gr_gid));
}

std::string HeldByKernelDriver(libusb_device *device, std::uint16_t vendor, std::uint16_t product, int interface) {
  return Describe(device, vendor, product) + " is left alone: a kernel driver has bound its interface " +
         std::to_string(interface) + ". Add \"detach\" after its pair in usb-ids.conf (or TAVRIN_USB_IDS) to take it over.";
}

std::string Unreadable(libusb_device *device, std::uint16_t vendor, std::uint16_t product) {
  return Describe(device, vendor, product) + " does not answer its descriptor requests.";
}

}  // namespace usb::libusb
