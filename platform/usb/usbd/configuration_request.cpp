// Building the select-configuration URB for a list of interfaces. The URB is
// the header of _URB_SELECT_CONFIGURATION followed by one interface record
// per listed interface, each with room for bNumEndpoints pipes; the bus
// driver fills in the handles and pipe details when the URB is submitted.
// The URB comes from non-paged pool in the calling driver's name, and the
// driver frees it with ExFreePool.
#include "readable.h"

#include <usbdlib.h>

#include <cstring>
#include <limits>

namespace {

constexpr ULONG kUrbTag = 0x44425355;  // 'USBD'

// The interface descriptor of a list entry, when all 9 of its bytes are
// there; only those 9 bytes are read, never the endpoints that follow.
const std::uint8_t *WholeInterface(const USB_INTERFACE_DESCRIPTOR *descriptor) {
  std::span<const std::uint8_t> bytes = usbd::Readable(descriptor, sizeof(USB_INTERFACE_DESCRIPTOR));
  if (bytes.size() < sizeof(USB_INTERFACE_DESCRIPTOR) || bytes[0] < sizeof(USB_INTERFACE_DESCRIPTOR)) {
    return nullptr;
  }
  return bytes.data();
}

}  // namespace

PURB NTAPI USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                             PUSBD_INTERFACE_LIST_ENTRY InterfaceList) {
  if (ConfigurationDescriptor == nullptr || InterfaceList == nullptr) return nullptr;

  // A list in pool must end inside its block; elsewhere the size limit
  // below ends a list that has no terminator.
  std::size_t listRoom = km::PoolBytesFrom(InterfaceList);
  std::size_t maximumEntries =
      listRoom != 0 ? listRoom / sizeof(USBD_INTERFACE_LIST_ENTRY) : std::numeric_limits<std::size_t>::max();

  // Size the URB; Hdr.Length is 16 bits, so a URB that would not fit is refused.
  std::size_t size = offsetof(struct _URB_SELECT_CONFIGURATION, Interface);
  std::size_t count = 0;
  for (;; ++count) {
    if (count == maximumEntries) return nullptr;
    PUSB_INTERFACE_DESCRIPTOR listed = InterfaceList[count].InterfaceDescriptor;
    if (listed == nullptr) break;
    const std::uint8_t *descriptor = WholeInterface(listed);
    if (descriptor == nullptr) return nullptr;
    size += GET_USBD_INTERFACE_SIZE(std::size_t{descriptor[4]});
    if (size > std::numeric_limits<USHORT>::max()) return nullptr;
  }
  if (count == 0) return nullptr;

  auto *urb = static_cast<PURB>(ExAllocatePoolWithTag(NonPagedPool, size, kUrbTag));
  if (urb == nullptr) return nullptr;
  std::memset(urb, 0, size);
  urb->UrbSelectConfiguration.Hdr.Length = static_cast<USHORT>(size);
  urb->UrbSelectConfiguration.Hdr.Function = URB_FUNCTION_SELECT_CONFIGURATION;
  urb->UrbSelectConfiguration.ConfigurationDescriptor = ConfigurationDescriptor;

  auto *record = reinterpret_cast<std::uint8_t *>(&urb->UrbSelectConfiguration.Interface);
  for (std::size_t k = 0; k < count; ++k) {
    const auto *descriptor = reinterpret_cast<const std::uint8_t *>(InterfaceList[k].InterfaceDescriptor);
    std::uint8_t pipes = descriptor[4];
    auto *info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(record);
    info->Length = static_cast<USHORT>(GET_USBD_INTERFACE_SIZE(std::size_t{pipes}));
    info->InterfaceNumber = descriptor[2];
    info->AlternateSetting = descriptor[3];
    info->NumberOfPipes = pipes;
    // Pipes[] is declared with one element; the record holds `pipes` of them.
    auto *pipe = reinterpret_cast<PUSBD_PIPE_INFORMATION>(record + offsetof(USBD_INTERFACE_INFORMATION, Pipes));
    for (std::uint8_t p = 0; p < pipes; ++p) {
      pipe[p].MaximumTransferSize = USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE;
      pipe[p].PipeFlags = 0;
    }
    InterfaceList[k].Interface = info;
    record += info->Length;
  }
  return urb;
}
