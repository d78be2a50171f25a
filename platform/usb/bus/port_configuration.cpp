// A port's control side: descriptor reads, selecting a configuration or an
// interface (which fills the caller's interface information and makes the
// pipes), and vendor, class, feature and raw control requests.
#include "usb_port.h"

#include <usb/descriptor_walk.h>

#include <algorithm>
#include <cstring>

namespace usb::bus {

NTSTATUS StatusFor(USBD_STATUS usbd);
USBD_STATUS UsbdFor(Outcome outcome);
void *DataOf(PVOID buffer, PMDL mdl);

namespace {

constexpr std::uint8_t kDeviceDescriptor = 1;
constexpr std::uint8_t kConfigurationDescriptor = 2;
constexpr std::uint8_t kStringDescriptor = 3;
constexpr std::uint8_t kRequestSetFeature = 3;
constexpr std::uint8_t kRequestClearFeature = 1;

std::uint8_t RecipientOf(USHORT function) {
  switch (function) {
    case URB_FUNCTION_VENDOR_INTERFACE:
    case URB_FUNCTION_CLASS_INTERFACE:
    case URB_FUNCTION_SET_FEATURE_TO_INTERFACE:
    case URB_FUNCTION_CLEAR_FEATURE_TO_INTERFACE:
      return 1;
    case URB_FUNCTION_VENDOR_ENDPOINT:
    case URB_FUNCTION_CLASS_ENDPOINT:
    case URB_FUNCTION_SET_FEATURE_TO_ENDPOINT:
    case URB_FUNCTION_CLEAR_FEATURE_TO_ENDPOINT:
      return 2;
    case URB_FUNCTION_VENDOR_OTHER:
    case URB_FUNCTION_CLASS_OTHER:
    case URB_FUNCTION_SET_FEATURE_TO_OTHER:
    case URB_FUNCTION_CLEAR_FEATURE_TO_OTHER:
      return 3;
    default:
      return 0;
  }
}

bool IsVendor(USHORT function) {
  return function == URB_FUNCTION_VENDOR_DEVICE || function == URB_FUNCTION_VENDOR_INTERFACE ||
         function == URB_FUNCTION_VENDOR_ENDPOINT || function == URB_FUNCTION_VENDOR_OTHER;
}

}  // namespace

USBD_STATUS UsbPort::GetDescriptor(URB *urb) {
  auto &request = urb->UrbControlDescriptorRequest;
  std::optional<Bytes> bytes;
  switch (request.DescriptorType) {
    case kDeviceDescriptor:
      bytes = model_->DeviceDescriptor();
      break;
    case kConfigurationDescriptor:
      bytes = model_->ConfigurationDescriptor(request.Index);
      break;
    case kStringDescriptor:
      bytes = model_->StringDescriptor(request.Index, request.LanguageId);
      break;
    default:
      break;
  }
  void *data = DataOf(request.TransferBuffer, request.TransferBufferMDL);
  if (data == nullptr && request.TransferBufferLength != 0) return USBD_STATUS_INVALID_PARAMETER;
  if (!bytes) {
    request.TransferBufferLength = 0;
    return USBD_STATUS_STALL_PID;
  }
  ULONG length = static_cast<ULONG>(std::min<std::size_t>(request.TransferBufferLength, bytes->size()));
  if (length != 0) std::memcpy(data, bytes->data(), length);
  request.TransferBufferLength = length;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbPort::FillInterface(USBD_INTERFACE_INFORMATION *info, std::size_t room) {
  auto view = FindInterface(configuration_, info->InterfaceNumber, info->AlternateSetting);
  if (!view) return USBD_STATUS_INTERFACE_NOT_FOUND;
  if (view->DeclaredEndpoints() != view->endpointCount) return USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR;
  std::size_t pipes = view->endpointCount;
  if (room < offsetof(USBD_INTERFACE_INFORMATION, Pipes) + pipes * sizeof(USBD_PIPE_INFORMATION)) {
    return USBD_STATUS_BUFFER_TOO_SMALL;
  }
  // Pipes of this interface from an earlier selection are gone.
  for (auto it = pipes_.begin(); it != pipes_.end();) {
    it = it->second->interfaceNumber == info->InterfaceNumber ? pipes_.erase(it) : std::next(it);
  }
  info->Class = view->descriptor[5];
  info->SubClass = view->descriptor[6];
  info->Protocol = view->descriptor[7];
  info->InterfaceHandle =
      reinterpret_cast<USBD_INTERFACE_HANDLE>(0x10000u | (info->InterfaceNumber << 8) | info->AlternateSetting);
  info->NumberOfPipes = static_cast<ULONG>(pipes);
  for (std::size_t k = 0; k < pipes; ++k) {
    std::span<const std::uint8_t> endpoint = view->endpoints[k];
    auto pipe = std::make_unique<Pipe>();
    pipe->endpoint = endpoint[2];
    pipe->type = static_cast<USBD_PIPE_TYPE>(endpoint[3] & 0x03);
    std::uint16_t maxPacket = static_cast<std::uint16_t>(endpoint[4] | (endpoint[5] << 8));
    pipe->maxPacket = maxPacket & 0x7FF;
    if (pipe->type == UsbdPipeTypeIsochronous) pipe->maxPacket *= 1 + ((maxPacket >> 11) & 0x3);
    if (pipe->maxPacket == 0) pipe->maxPacket = 1;  // a device that claims empty packets still moves bytes
    pipe->interval = endpoint[6];
    pipe->interfaceNumber = info->InterfaceNumber;
    USBD_PIPE_INFORMATION &out = info->Pipes[k];
    out.MaximumPacketSize = pipe->maxPacket;
    out.EndpointAddress = pipe->endpoint;
    out.Interval = pipe->interval;
    out.PipeType = pipe->type;
    pipe->handle = reinterpret_cast<USBD_PIPE_HANDLE>(nextPipeHandle_ += 0x10);
    out.PipeHandle = pipe->handle;
    // MaximumTransferSize and PipeFlags keep what the caller asked for.
    pipes_[pipe->endpoint] = std::move(pipe);
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbPort::SelectConfiguration(URB *urb) {
  auto &select = urb->UrbSelectConfiguration;
  Completions none;
  // Transfers on the old pipes end before the pipes go.
  if (!pipes_.empty()) {
    Completions cancelled;
    ReleaseAll(USBD_STATUS_CANCELED, STATUS_CANCELLED, cancelled);
    owner_.Worker().Post([self = shared_from_this(), cancelled] { self->Complete(cancelled); });
  }
  pipes_.clear();
  if (select.ConfigurationDescriptor == nullptr) {
    configurationValue_ = 0;
    return UsbdFor(model_->SetConfiguration(0));
  }
  std::uint8_t value = select.ConfigurationDescriptor->bConfigurationValue;
  configuration_ = model_->ConfigurationDescriptor(0);
  USBD_STATUS usbd = UsbdFor(model_->SetConfiguration(value));
  if (usbd != USBD_STATUS_SUCCESS) return usbd;
  configurationValue_ = value == 0 ? 1 : value;
  select.ConfigurationHandle = reinterpret_cast<USBD_CONFIGURATION_HANDLE>(++configurationHandle_ | 0x100000u);

  // The interface list follows the header, each entry Length bytes long.
  auto *base = reinterpret_cast<std::uint8_t *>(urb);
  std::size_t offset = offsetof(_URB_SELECT_CONFIGURATION, Interface);
  constexpr std::size_t kInterfaceHeader = offsetof(USBD_INTERFACE_INFORMATION, Pipes);
  while (offset + kInterfaceHeader <= urb->UrbHeader.Length) {
    auto *info = reinterpret_cast<USBD_INTERFACE_INFORMATION *>(base + offset);
    if (info->Length < kInterfaceHeader || info->Length > urb->UrbHeader.Length - offset) {
      return USBD_STATUS_INVALID_PARAMETER;
    }
    usbd = FillInterface(info, info->Length);
    if (usbd != USBD_STATUS_SUCCESS) return usbd;
    offset += info->Length;
  }
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbPort::SelectInterface(URB *urb) {
  auto &select = urb->UrbSelectInterface;
  if (!Configured() ||
      select.ConfigurationHandle != reinterpret_cast<USBD_CONFIGURATION_HANDLE>(configurationHandle_ | 0x100000u)) {
    return USBD_STATUS_INVALID_PARAMETER;
  }
  USBD_INTERFACE_INFORMATION &info = select.Interface;
  if (!FindInterface(configuration_, info.InterfaceNumber, info.AlternateSetting)) {
    return USBD_STATUS_INTERFACE_NOT_FOUND;
  }
  std::size_t room = std::min<std::size_t>(info.Length, urb->UrbHeader.Length - offsetof(_URB_SELECT_INTERFACE, Interface));
  Completions cancelled;
  for (auto &[endpoint, pipe] : pipes_) {
    if (pipe->interfaceNumber == info.InterfaceNumber) ReleaseWaiting(*pipe, USBD_STATUS_CANCELED, STATUS_CANCELLED, cancelled);
  }
  if (!cancelled.empty()) {
    owner_.Worker().Post([self = shared_from_this(), cancelled] { self->Complete(cancelled); });
  }
  USBD_STATUS usbd = UsbdFor(model_->SetInterface(info.InterfaceNumber, info.AlternateSetting));
  if (usbd != USBD_STATUS_SUCCESS) return usbd;
  return FillInterface(&info, room);
}

USBD_STATUS UsbPort::ControlRequest(const SetupPacket &setup, PVOID buffer, PMDL mdl, ULONG &length) {
  void *data = DataOf(buffer, mdl);
  if (data == nullptr && length != 0) return USBD_STATUS_INVALID_PARAMETER;
  ControlResult result = model_->Control(setup, {static_cast<std::uint8_t *>(data), setup.length});
  if (result.outcome != Outcome::Ok) {
    length = 0;
    return UsbdFor(result.outcome);
  }
  length = setup.DeviceToHost() ? static_cast<ULONG>(std::min<std::size_t>(result.bytes, setup.length))
                                : setup.length;
  return USBD_STATUS_SUCCESS;
}

USBD_STATUS UsbPort::VendorOrClass(URB *urb) {
  auto &request = urb->UrbControlVendorClassRequest;
  USHORT function = urb->UrbHeader.Function;
  bool in = (request.TransferFlags & USBD_TRANSFER_DIRECTION_IN) != 0;
  std::uint8_t type = IsVendor(function) ? 0x40 : 0x20;
  SetupPacket setup{static_cast<std::uint8_t>((in ? 0x80 : 0) | type | RecipientOf(function) |
                                              (request.RequestTypeReservedBits & 0x1F)),
                    request.Request, request.Value, request.Index,
                    static_cast<std::uint16_t>(std::min<ULONG>(request.TransferBufferLength, 0xFFFF))};
  return ControlRequest(setup, request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
}

USBD_STATUS UsbPort::Feature(URB *urb) {
  auto &request = urb->UrbControlFeatureRequest;
  USHORT function = urb->UrbHeader.Function;
  bool set = function == URB_FUNCTION_SET_FEATURE_TO_DEVICE || function == URB_FUNCTION_SET_FEATURE_TO_INTERFACE ||
             function == URB_FUNCTION_SET_FEATURE_TO_ENDPOINT || function == URB_FUNCTION_SET_FEATURE_TO_OTHER;
  SetupPacket setup{RecipientOf(function), set ? kRequestSetFeature : kRequestClearFeature, request.FeatureSelector,
                    request.Index, 0};
  ULONG none = 0;
  return ControlRequest(setup, nullptr, nullptr, none);
}

USBD_STATUS UsbPort::ControlTransfer(URB *urb) {
  auto &request = urb->UrbControlTransfer;
  const UCHAR *raw = request.SetupPacket;
  SetupPacket setup{raw[0], raw[1], static_cast<std::uint16_t>(raw[2] | (raw[3] << 8)),
                    static_cast<std::uint16_t>(raw[4] | (raw[5] << 8)),
                    static_cast<std::uint16_t>(std::min<ULONG>(request.TransferBufferLength, raw[6] | (raw[7] << 8)))};
  return ControlRequest(setup, request.TransferBuffer, request.TransferBufferMDL, request.TransferBufferLength);
}

}  // namespace usb::bus
