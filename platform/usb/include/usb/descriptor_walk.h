// Safe walking of USB descriptor sets that may come from a device that lies:
// each step is one descriptor whose bLength is at least 2 and lies wholly
// inside the bytes given; a shorter or overlong descriptor ends the walk.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

namespace usb {

constexpr std::uint8_t kInterfaceDescriptor = 4;
constexpr std::uint8_t kEndpointDescriptor = 5;

// Calls visit(descriptor) for each whole descriptor until visit returns false.
template <typename Visit>
void ForEachDescriptor(std::span<const std::uint8_t> bytes, Visit visit) {
  std::size_t offset = 0;
  while (offset + 2 <= bytes.size()) {
    std::size_t length = bytes[offset];
    if (length < 2 || length > bytes.size() - offset) return;
    if (!visit(bytes.subspan(offset, length))) return;
    offset += length;
  }
}

// An interface descriptor of a configuration with its endpoint descriptors.
struct InterfaceView {
  std::span<const std::uint8_t> descriptor;               // at least 9 bytes
  std::span<const std::uint8_t> endpoints[32];            // each at least 7 bytes
  std::size_t endpointCount = 0;                          // as found, at most 32
  std::uint8_t Number() const { return descriptor[2]; }
  std::uint8_t Alternate() const { return descriptor[3]; }
  std::uint8_t DeclaredEndpoints() const { return descriptor[4]; }
};

// Finds the interface descriptor with this number and alternate setting and
// the endpoint descriptors that follow it, up to the next interface.
inline std::optional<InterfaceView> FindInterface(std::span<const std::uint8_t> configuration,
                                                  std::uint8_t number, std::uint8_t alternate) {
  std::optional<InterfaceView> found;
  bool collecting = false;
  ForEachDescriptor(configuration, [&](std::span<const std::uint8_t> d) {
    if (d[1] == kInterfaceDescriptor) {
      if (collecting) return false;  // the next interface ends the search
      if (d.size() >= 9 && d[2] == number && d[3] == alternate) {
        found.emplace();
        found->descriptor = d;
        collecting = true;
      }
    } else if (collecting && d[1] == kEndpointDescriptor && d.size() >= 7 && found->endpointCount < 32) {
      found->endpoints[found->endpointCount++] = d;
    }
    return true;
  });
  return found;
}

}  // namespace usb
