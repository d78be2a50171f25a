// Requests about the device as a whole: the port reset, the device,
// configuration and string descriptors, and the bus's frame number.
#include "tavrin.h"

namespace {

constexpr UCHAR kStringDescriptorType = 3;
constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kConfigurationDescriptorType = 2;
constexpr ULONG kDeviceDescriptorBytes = 18;

}  // namespace

NTSTATUS ResetPortRequest(ControlCall *Call) {
  ResetPort(Call->Device);  // the outcome is not reported
  return STATUS_SUCCESS;
}

NTSTATUS DeviceDescriptorRequest(ControlCall *Call) {
  if (Call->OutputLength < kDeviceDescriptorBytes) return STATUS_BUFFER_TOO_SMALL;
  ULONG received;
  NTSTATUS status =
      ReadDescriptor(Call->Device, kDeviceDescriptorType, 0, 0, Call->SystemBuffer, kDeviceDescriptorBytes, &received);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  Call->Information = received;
  return STATUS_SUCCESS;
}

NTSTATUS ConfigurationDescriptorRequest(ControlCall *Call) {
  ULONG received = 0;
  if (Call->OutputLength != 0) {
    NTSTATUS status = ReadDescriptor(Call->Device, kConfigurationDescriptorType, 0, 0, Call->SystemBuffer,
                                     Call->OutputLength, &received);
    if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  }
  Call->Information = received;
  return STATUS_SUCCESS;
}

NTSTATUS StringDescriptorCall(ControlCall *Call) {
  if (Call->InputLength < sizeof(struct StringDescriptorRequest) || Call->OutputLength == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  struct StringDescriptorRequest request;
  RtlCopyMemory(&request, Call->SystemBuffer, sizeof request);
  ULONG received;
  NTSTATUS status = ReadDescriptor(Call->Device, kStringDescriptorType, request.Index, request.LanguageId,
                                   Call->SystemBuffer, Call->OutputLength, &received);
  if (status == STATUS_INSUFFICIENT_RESOURCES) return status;
  if (received == 0) return STATUS_UNSUCCESSFUL;
  Call->Information = received;
  return STATUS_SUCCESS;
}

NTSTATUS FrameNumberRequest(ControlCall *Call) {
  if (Call->OutputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER);
  urb->UrbHeader.Function = URB_FUNCTION_GET_CURRENT_FRAME_NUMBER;
  NTSTATUS status = SubmitUrb(Call->Device, urb);
  ULONG frame = urb->UrbGetCurrentFrameNumber.FrameNumber;
  FreePool(urb);
  if (!NT_SUCCESS(status) || frame == 0) return STATUS_UNSUCCESSFUL;
  RtlCopyMemory(Call->SystemBuffer, &frame, sizeof frame);
  Call->Information = sizeof frame;
  return STATUS_SUCCESS;
}
