#include "usb_location.h"

#include <filesystem>
#include <fstream>

namespace tavrin_cli {
namespace {

// An attribute's first line, as sysfs gives it.
std::string Attribute(const std::filesystem::path &device, const char *name) {
  std::ifstream file(device / name);
  std::string line;
  std::getline(file, line);
  return line;
}

std::optional<unsigned long> Number(const std::string &text, int base) {
  if (text.empty()) return std::nullopt;
  std::size_t used = 0;
  try {
    unsigned long value = std::stoul(text, &used, base);
    return used == text.size() ? std::optional<unsigned long>(value) : std::nullopt;
  } catch (const std::exception &) {
    return std::nullopt;
  }
}

}  // namespace

std::optional<UsbLocation> FindUsbLocation(std::uint16_t vendor, std::uint16_t product, const std::string &serial,
                                           const std::string &devicesDirectory) {
  if (serial.empty()) return std::nullopt;
  std::error_code error;
  for (const auto &entry : std::filesystem::directory_iterator(devicesDirectory, error)) {
    // Interfaces ("1-1:1.0") sit beside the devices; only devices have these.
    const std::filesystem::path &device = entry.path();
    if (device.filename().string().find(':') != std::string::npos) continue;
    if (Number(Attribute(device, "idVendor"), 16) != vendor) continue;
    if (Number(Attribute(device, "idProduct"), 16) != product) continue;
    if (Attribute(device, "serial") != serial) continue;
    auto bus = Number(Attribute(device, "busnum"), 10);
    auto address = Number(Attribute(device, "devnum"), 10);
    if (bus && address) return UsbLocation{static_cast<unsigned>(*bus), static_cast<unsigned>(*address)};
  }
  return std::nullopt;
}

}  // namespace tavrin_cli
