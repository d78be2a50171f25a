// Searching configuration descriptors: a descriptor of one type, or an
// interface descriptor that matches the caller's criteria. The search walks
// the descriptors from the start of the buffer with the bus's safe walker,
// so a descriptor shorter than 2 bytes or one that runs past the readable
// bytes ends it, and a StartPosition that does not fall on a descriptor
// boundary still finds the next whole descriptor.
#include "readable.h"

#include <usb/descriptor_walk.h>
#include <usbdlib.h>

namespace {

// The first whole descriptor of `bytes` that starts at or after `from` and
// satisfies `match`; null when there is none.
template <typename Match>
const std::uint8_t *FirstAtOrAfter(std::span<const std::uint8_t> bytes, std::size_t from, Match match) {
  const std::uint8_t *found = nullptr;
  usb::ForEachDescriptor(bytes, [&](std::span<const std::uint8_t> descriptor) {
    if (static_cast<std::size_t>(descriptor.data() - bytes.data()) >= from && match(descriptor)) {
      found = descriptor.data();
      return false;
    }
    return true;
  });
  return found;
}

// A criterion of -1 matches any value.
bool Matches(LONG criterion, std::uint8_t value) { return criterion == -1 || criterion == value; }

}  // namespace

PUSB_COMMON_DESCRIPTOR NTAPI USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                                   LONG DescriptorType) {
  if (DescriptorBuffer == nullptr || StartPosition == nullptr) return nullptr;
  std::span<const std::uint8_t> bytes = usbd::Readable(DescriptorBuffer, TotalLength);
  std::optional<std::size_t> from = usbd::OffsetIn(bytes, StartPosition);
  if (!from) return nullptr;
  const std::uint8_t *found = FirstAtOrAfter(bytes, *from, [DescriptorType](std::span<const std::uint8_t> d) {
    return d[1] == DescriptorType;
  });
  // The result points into the caller's own (writable) buffer.
  return reinterpret_cast<PUSB_COMMON_DESCRIPTOR>(const_cast<std::uint8_t *>(found));
}

PUSB_INTERFACE_DESCRIPTOR NTAPI USBD_ParseConfigurationDescriptorEx(
    PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PVOID StartPosition, LONG InterfaceNumber,
    LONG AlternateSetting, LONG InterfaceClass, LONG InterfaceSubClass, LONG InterfaceProtocol) {
  if (ConfigurationDescriptor == nullptr || StartPosition == nullptr) return nullptr;
  // wTotalLength is read from the descriptor itself, so its 9 bytes must be there.
  std::span<const std::uint8_t> header =
      usbd::Readable(ConfigurationDescriptor, sizeof(USB_CONFIGURATION_DESCRIPTOR));
  if (header.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return nullptr;
  std::size_t totalLength = header[2] | (header[3] << 8);
  std::span<const std::uint8_t> bytes = usbd::Readable(ConfigurationDescriptor, totalLength);
  std::optional<std::size_t> from = usbd::OffsetIn(bytes, StartPosition);
  if (!from) return nullptr;
  const std::uint8_t *found = FirstAtOrAfter(bytes, *from, [&](std::span<const std::uint8_t> d) {
    // An interface descriptor shorter than its 9 bytes is skipped, never read past.
    return d[1] == USB_INTERFACE_DESCRIPTOR_TYPE && d.size() >= sizeof(USB_INTERFACE_DESCRIPTOR) &&
           Matches(InterfaceNumber, d[2]) && Matches(AlternateSetting, d[3]) && Matches(InterfaceClass, d[5]) &&
           Matches(InterfaceSubClass, d[6]) && Matches(InterfaceProtocol, d[7]);
  });
  return reinterpret_cast<PUSB_INTERFACE_DESCRIPTOR>(const_cast<std::uint8_t *>(found));
}
