// Fuzzes the USBD library routines with configuration descriptor sets as a
// device may send them: the bytes sit in a pool block of exactly their size,
// as a driver reads them, and every routine must stay inside it whatever the
// lengths in the descriptors claim.
#include <km/standin.h>
#include <usb.h>
extern "C" {
#include <usbdlib.h>
}

#include <fuzzer/FuzzedDataProvider.h>

#include <cstring>
#include <vector>

namespace {

constexpr ULONG kTag = 0x7A7A7546;  // 'Fuzz'

void ParseEverything(PUSB_CONFIGURATION_DESCRIPTOR configuration, ULONG length, FuzzedDataProvider &choices) {
  // Every descriptor type the input names, walked from the start.
  for (int type = 0; type < 4 && choices.remaining_bytes() != 0; ++type) {
    LONG wanted = choices.ConsumeIntegral<std::uint8_t>();
    PVOID from = configuration;
    for (int found = 0; found < 64; ++found) {
      PUSB_COMMON_DESCRIPTOR descriptor = USBD_ParseDescriptors(configuration, length, from, wanted);
      if (descriptor == nullptr) break;
      from = reinterpret_cast<PUCHAR>(descriptor) + (descriptor->bLength != 0 ? descriptor->bLength : 1);
    }
  }
  // Interfaces by the filters the input chooses (-1: any), then a
  // select-configuration request for what was found.
  std::vector<USBD_INTERFACE_LIST_ENTRY> list;
  PVOID from = configuration;
  for (int found = 0; found < 8; ++found) {
    auto filter = [&] { return choices.ConsumeBool() ? -1 : static_cast<LONG>(choices.ConsumeIntegral<std::uint8_t>()); };
    LONG number = filter(), alternate = filter(), interfaceClass = filter(), subClass = filter(), protocol = filter();
    PUSB_INTERFACE_DESCRIPTOR interface = USBD_ParseConfigurationDescriptorEx(
        configuration, from, number, alternate, interfaceClass, subClass, protocol);
    if (interface == nullptr) break;
    list.push_back({interface, nullptr});
    from = reinterpret_cast<PUCHAR>(interface) + (interface->bLength != 0 ? interface->bLength : 1);
    if (!choices.ConsumeBool()) break;
  }
  list.push_back({nullptr, nullptr});
  PURB urb = USBD_CreateConfigurationRequestEx(configuration, list.data());
  if (urb != nullptr) {
    // What a driver reads back: each interface record, with its pipes, lies
    // whole inside the request block.
    PUSBD_INTERFACE_INFORMATION info = &urb->UrbSelectConfiguration.Interface;
    for (std::size_t k = 0; k + 1 < list.size(); ++k) {
      if (info->Length < GET_USBD_INTERFACE_SIZE(info->NumberOfPipes) || km::PoolBytesFrom(info) < info->Length) {
        __builtin_trap();
      }
      info = reinterpret_cast<PUSBD_INTERFACE_INFORMATION>(reinterpret_cast<PUCHAR>(info) + info->Length);
    }
    ExFreePool(urb);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider input(data, size);
  // The first bytes choose the filters; the rest is the descriptor set.
  std::vector<std::uint8_t> choiceBytes = input.ConsumeBytes<std::uint8_t>(24);
  std::vector<std::uint8_t> descriptor = input.ConsumeRemainingBytes<std::uint8_t>();
  if (descriptor.size() < sizeof(USB_CONFIGURATION_DESCRIPTOR)) return 0;
  auto *block = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, descriptor.size(), kTag));
  if (block == nullptr) return 0;
  std::memcpy(block, descriptor.data(), descriptor.size());
  auto *configuration = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(block);
  FuzzedDataProvider choices(choiceBytes.data(), choiceBytes.size());
  // The length the caller states is either what was read or what the
  // descriptor claims.
  ULONG length = choices.ConsumeBool() ? static_cast<ULONG>(descriptor.size()) : configuration->wTotalLength;
  ParseEverything(configuration, length, choices);
  ExFreePool(block);
  return 0;
}
