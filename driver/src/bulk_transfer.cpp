// The handlers that move data or manage pipes: bulk and interrupt transfers
// (the caller's pages go to the bus through the request's MDL, never copied),
// pipe reset and abort, port reset, descriptor reads, vendor, class and
// feature requests, and the frame number.
#include "tavrin.h"

namespace {

constexpr UCHAR kStringDescriptorType = 3;
constexpr UCHAR kDeviceDescriptorType = 1;
constexpr UCHAR kConfigurationDescriptorType = 2;
constexpr ULONG kDeviceDescriptorBytes = 18;

BOOLEAN EndpointIsIn(UCHAR EndpointAddress) { return (EndpointAddress & 0x80) != 0; }

// The pipe index at offset 0 of the input, read only when the input holds it.
NTSTATUS PipeFromInput(ControlCall *Call, PipeSnapshot *Pipe) {
  if (Call->InputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  ULONG index;
  RtlCopyMemory(&index, Call->SystemBuffer, sizeof index);
  return ReadPipe(Call->Extension, index, Pipe);
}

USHORT ControlFunctionFor(UCHAR Key) {
  switch (Key) {
    case 4:
      return URB_FUNCTION_CLASS_DEVICE;
    case 5:
      return URB_FUNCTION_CLASS_INTERFACE;
    case 6:
      return URB_FUNCTION_CLASS_ENDPOINT;
    case 7:
      return URB_FUNCTION_CLASS_OTHER;
    case 8:
      return URB_FUNCTION_VENDOR_DEVICE;
    case 9:
      return URB_FUNCTION_VENDOR_INTERFACE;
    case 10:
      return URB_FUNCTION_VENDOR_ENDPOINT;
    case 11:
      return URB_FUNCTION_VENDOR_OTHER;
    default:
      return 0;
  }
}

}  // namespace

NTSTATUS BulkOrInterruptTransfer(ControlCall *Call) {
  PipeSnapshot pipe;
  NTSTATUS status = PipeFromInput(Call, &pipe);
  if (!NT_SUCCESS(status)) return status;
  if (pipe.PipeType != UsbdPipeTypeBulk && pipe.PipeType != UsbdPipeTypeInterrupt) return STATUS_INVALID_PARAMETER;
  if (pipe.PipeHandle == NULL) return STATUS_UNSUCCESSFUL;
  ULONG length = Call->OutputLength;
  if (length > pipe.MaximumTransferSize) return STATUS_INVALID_PARAMETER;
  // The bulk write code's buffer is read-only: it cannot take an IN pipe's data.
  if (EndpointIsIn(pipe.EndpointAddress) && CallerBufferIsReadOnly(Call->Code)) return STATUS_INVALID_PARAMETER;

  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)));
  if (urb == NULL) return STATUS_NO_MEMORY;
  // The direction is the endpoint's, whatever the control code says.
  ULONG flags = EndpointIsIn(pipe.EndpointAddress) ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK)
                                                   : USBD_SHORT_TRANSFER_OK;
  UsbBuildInterruptOrBulkTransferRequest(urb, static_cast<USHORT>(sizeof(struct _URB_BULK_OR_INTERRUPT_TRANSFER)),
                                         pipe.PipeHandle, NULL, Call->Irp->MdlAddress, length, flags, NULL);
  BOOLEAN timed = Call->Code == IOCTL_INSTR_BULK_READ_TIMED;
  status = SubmitUrbForRequest(Call->Device, &Call->Request, urb, timed);
  ULONG moved = urb->UrbBulkOrInterruptTransfer.TransferBufferLength;
  // Whatever arrived before a timed read was given up on is a success.
  if (timed && status == STATUS_CANCELLED && moved > 0) status = STATUS_SUCCESS;
  if (NT_SUCCESS(status)) Call->Information = moved;
  FreePool(urb);
  return status;
}

NTSTATUS ResetPipeRequest(ControlCall *Call) {
  PipeSnapshot pipe;
  NTSTATUS status = PipeFromInput(Call, &pipe);
  if (!NT_SUCCESS(status)) return status;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_PIPE_REQUEST)));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = PipeRequestLength();
  urb->UrbHeader.Function = URB_FUNCTION_RESET_PIPE;
  urb->UrbPipeRequest.PipeHandle = pipe.PipeHandle;
  status = SubmitUrb(Call->Device, urb);
  FreePool(urb);
  return status;
}

NTSTATUS AbortPipeRequest(ControlCall *Call) {
  if (Call->InputLength < sizeof(LONG)) return STATUS_INVALID_PARAMETER;
  LONG index;
  RtlCopyMemory(&index, Call->SystemBuffer, sizeof index);
  if (index < 0) return STATUS_INVALID_PARAMETER;
  PipeSnapshot pipe;
  NTSTATUS status = ReadPipe(Call->Extension, static_cast<ULONG>(index), &pipe);
  if (!NT_SUCCESS(status)) return status;
  AbortPipe(Call->Device, pipe.PipeHandle);  // the outcome is not reported
  return STATUS_SUCCESS;
}

NTSTATUS ResetPortRequest(ControlCall *Call) {
  ResetPort(Call->Device);  // the outcome is not reported
  return STATUS_SUCCESS;
}

NTSTATUS DeviceDescriptorRequest(ControlCall *Call) {
  if (Call->OutputLength < kDeviceDescriptorBytes) return STATUS_BUFFER_TOO_SMALL;
  ULONG received;
  ReadDescriptor(Call->Device, kDeviceDescriptorType, 0, 0, Call->SystemBuffer, kDeviceDescriptorBytes, &received);
  Call->Information = received;
  return STATUS_SUCCESS;
}

NTSTATUS ConfigurationDescriptorRequest(ControlCall *Call) {
  ULONG received = 0;
  if (Call->OutputLength != 0) {
    ReadDescriptor(Call->Device, kConfigurationDescriptorType, 0, 0, Call->SystemBuffer, Call->OutputLength,
                   &received);
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
  ReadDescriptor(Call->Device, kStringDescriptorType, request.Index, request.LanguageId, Call->SystemBuffer,
                 Call->OutputLength, &received);
  if (received == 0) return STATUS_UNSUCCESSFUL;
  Call->Information = received;
  return STATUS_SUCCESS;
}

NTSTATUS VendorDeviceRequestCall(ControlCall *Call) {
  if (Call->InputLength < sizeof(VendorDeviceRequest)) return STATUS_INVALID_PARAMETER;
  VendorDeviceRequest request;
  RtlCopyMemory(&request, Call->SystemBuffer, sizeof request);
  BOOLEAN in = request.DirectionIn != 0;
  // Device-to-host data lands in the system buffer and is copied back to the
  // caller's output, which must hold all of it.
  if (in && request.Length > Call->OutputLength) return STATUS_BUFFER_TOO_SMALL;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
  if (urb == NULL) return STATUS_SUCCESS;  // reported as nothing received
  PUCHAR data = NULL;
  if (!in && request.Length != 0) {
    data = static_cast<PUCHAR>(AllocateZeroed(request.Length));
    if (data == NULL) {
      FreePool(urb);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
    if (request.Length == 1) {
      data[0] = request.Data;
    } else {
      for (ULONG k = 0; k < request.Length; ++k) data[k] = static_cast<UCHAR>(k);
    }
  }
  UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE,
                        static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                        in ? USBD_TRANSFER_DIRECTION_IN : 0, 0, request.Request, request.Value, request.Index,
                        in ? static_cast<PVOID>(Call->SystemBuffer) : static_cast<PVOID>(data), NULL,
                        request.Length, NULL);
  // The request succeeds whatever the device answered, but reports only the
  // bytes the bus really moved: none when the request never reached a device.
  NTSTATUS status = SubmitUrb(Call->Device, urb);
  Call->Information = in && NT_SUCCESS(status) ? urb->UrbControlVendorClassRequest.TransferBufferLength : 0;
  FreePool(data);
  FreePool(urb);
  return STATUS_SUCCESS;
}

NTSTATUS ClassOrVendorRequest(ControlCall *Call) {
  if (Call->InputLength != sizeof(ControlRequest)) return STATUS_INVALID_PARAMETER;
  ControlRequest request;
  RtlCopyMemory(&request, Call->SystemBuffer, sizeof request);
  // The code's buffer is read-only: it cannot take a data stage from the device.
  if (request.DirectionIn && CallerBufferIsReadOnly(Call->Code)) return STATUS_INVALID_PARAMETER;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
  if (urb == NULL) return STATUS_NO_MEMORY;
  USHORT function = ControlFunctionFor(static_cast<UCHAR>((request.RequestType << 2) | request.Recipient));
  if (function == 0) {
    FreePool(urb);
    return STATUS_INVALID_PARAMETER;
  }
  ULONG flags = request.DirectionIn ? (USBD_TRANSFER_DIRECTION_IN | USBD_SHORT_TRANSFER_OK) : USBD_SHORT_TRANSFER_OK;
  UsbBuildVendorRequest(urb, function, static_cast<USHORT>(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)),
                        flags, 0, request.Request, request.Value, request.Index, NULL, Call->Irp->MdlAddress,
                        Call->OutputLength, NULL);
  NTSTATUS status = SubmitUrb(Call->Device, urb);
  if (NT_SUCCESS(status)) Call->Information = urb->UrbControlVendorClassRequest.TransferBufferLength;
  FreePool(urb);
  return status;
}

NTSTATUS SetFeatureRequest(ControlCall *Call) {
  if (Call->InputLength != sizeof(FeatureRequest)) return STATUS_INVALID_PARAMETER;
  FeatureRequest request;
  RtlCopyMemory(&request, Call->SystemBuffer, sizeof request);
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_CONTROL_FEATURE_REQUEST)));
  if (urb == NULL) return STATUS_NO_MEMORY;
  UsbBuildFeatureRequest(urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, request.FeatureSelector, request.Index, NULL);
  // The device's answer is the request's outcome.
  NTSTATUS status = SubmitUrb(Call->Device, urb);
  FreePool(urb);
  return status;
}

NTSTATUS FrameNumberRequest(ControlCall *Call) {
  if (Call->OutputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_GET_CURRENT_FRAME_NUMBER)));
  if (urb == NULL) return STATUS_UNSUCCESSFUL;
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
