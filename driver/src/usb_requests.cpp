// The driver's requests to the bus driver below: URBs sent and waited for
// (without limit, or for 1 ms and then cancelled), pipe aborts, descriptor
// reads and the port reset.
#include "tavrin.h"

namespace {

// An internal device-control request to the lower device, built for one use.
struct BusRequest {
  KEVENT Done;
  IO_STATUS_BLOCK Status;
  PIRP Irp;
};

NTSTATUS Send(PDEVICE_OBJECT DeviceObject, ULONG Code, PURB Urb, BusRequest *Request) {
  PDEVICE_OBJECT lower = ExtensionOf(DeviceObject)->LowerDeviceObject;
  KeInitializeEvent(&Request->Done, NotificationEvent, FALSE);
  Request->Irp = IoBuildDeviceIoControlRequest(Code, lower, NULL, 0, NULL, 0, TRUE, &Request->Done, &Request->Status);
  if (Request->Irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(Request->Irp)->Parameters.Others.Argument1 = Urb;
  return IoCallDriver(lower, Request->Irp);
}

// A failed URB leaves its USBD status behind; a successful call whose URB
// failed is a failure.
NTSTATUS UrbOutcome(DeviceExtension *Extension, PURB Urb, NTSTATUS Status) {
  USBD_STATUS usbd = Urb->UrbHeader.Status;
  if (USBD_ERROR(usbd)) InterlockedExchange(&Extension->LastUsbdStatus, usbd);
  if (!NT_SUCCESS(Status)) return Status;
  if (USBD_ERROR(usbd)) return STATUS_UNSUCCESSFUL;
  return Status;
}

}  // namespace

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  BusRequest request;
  NTSTATUS status = Send(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, &request);
  if (request.Irp == NULL) return status;
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&request.Done, Suspended, KernelMode, FALSE, NULL);
    status = request.Status.Status;
  }
  return UrbOutcome(ExtensionOf(DeviceObject), Urb, status);
}

NTSTATUS SubmitUrbTimed(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  BusRequest request;
  NTSTATUS status = Send(DeviceObject, IOCTL_INTERNAL_USB_SUBMIT_URB, Urb, &request);
  if (request.Irp == NULL) return status;
  if (status == STATUS_PENDING) {
    LARGE_INTEGER oneMillisecond;
    oneMillisecond.QuadPart = -10000;
    if (KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, &oneMillisecond) == STATUS_TIMEOUT) {
      // At APC_LEVEL the request cannot finish and be freed between the
      // check and the cancel.
      KIRQL oldIrql;
      KeRaiseIrql(APC_LEVEL, &oldIrql);
      if (KeReadStateEvent(&request.Done) == 0) IoCancelIrp(request.Irp);
      KeLowerIrql(oldIrql);
      KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, NULL);
    }
    status = request.Status.Status;
  }
  return UrbOutcome(ExtensionOf(DeviceObject), Urb, status);
}

USHORT PipeRequestLength() {
  USBD_VERSION_INFORMATION version;
  USBD_GetUSBDIVersion(&version);
  USHORT length = sizeof(struct _URB_PIPE_REQUEST);
  return version.USBDI_Version < 0x101 ? static_cast<USHORT>(length - 4) : length;
}

NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle) {
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_PIPE_REQUEST)));
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  urb->UrbHeader.Length = PipeRequestLength();
  urb->UrbHeader.Function = URB_FUNCTION_ABORT_PIPE;
  urb->UrbPipeRequest.PipeHandle = PipeHandle;
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  FreePool(urb);
  return status;
}

NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId,
                        PVOID Buffer, ULONG Length, ULONG *Received) {
  *Received = 0;
  if (Buffer == NULL) return STATUS_INVALID_PARAMETER;
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)));
  if (urb == NULL) return STATUS_NO_MEMORY;
  UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                               DescriptorType, Index, LanguageId, Buffer, NULL, Length, NULL);
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status)) *Received = urb->UrbControlDescriptorRequest.TransferBufferLength;
  FreePool(urb);
  return status;
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
  BusRequest request;
  NTSTATUS status = Send(DeviceObject, IOCTL_INTERNAL_USB_RESET_PORT, NULL, &request);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&request.Done, Suspended, KernelMode, FALSE, NULL);
    status = request.Status.Status;
  }
  return status;
}
