// Requests on the default control pipe that the caller describes: the vendor
// device request, class and vendor requests, and set-feature.
#include "tavrin.h"

namespace {

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

NTSTATUS VendorDeviceRequestCall(ControlCall *Call) {
  if (Call->InputLength < sizeof(VendorDeviceRequest)) return STATUS_INVALID_PARAMETER;
  VendorDeviceRequest request;
  RtlCopyMemory(&request, Call->SystemBuffer, sizeof request);
  BOOLEAN in = request.DirectionIn != 0;
  // Device-to-host data lands in the system buffer and is copied back to the
  // caller's output, which must hold all of it.
  if (in && request.Length > Call->OutputLength) return STATUS_BUFFER_TOO_SMALL;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
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
  // The request succeeds whatever the device answered (unless the request to
  // the bus could not be allocated), but reports only the bytes the bus
  // really moved: none when the request never reached a device.
  NTSTATUS status = SubmitUrb(Call->Device, urb);
  Call->Information = in && NT_SUCCESS(status) ? urb->UrbControlVendorClassRequest.TransferBufferLength : 0;
  FreePool(data);
  FreePool(urb);
  return status == STATUS_INSUFFICIENT_RESOURCES ? status : STATUS_SUCCESS;
}

NTSTATUS ClassOrVendorRequest(ControlCall *Call) {
  if (Call->InputLength != sizeof(ControlRequest)) return STATUS_INVALID_PARAMETER;
  ControlRequest request;
  RtlCopyMemory(&request, Call->SystemBuffer, sizeof request);
  // The code's buffer is read-only: it cannot take a data stage from the device.
  if (request.DirectionIn && CallerBufferIsReadOnly(Call->Code)) return STATUS_INVALID_PARAMETER;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST)));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
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
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  UsbBuildFeatureRequest(urb, URB_FUNCTION_SET_FEATURE_TO_DEVICE, request.FeatureSelector, request.Index, NULL);
  // The device's answer is the request's outcome.
  NTSTATUS status = SubmitUrb(Call->Device, urb);
  FreePool(urb);
  return status;
}
