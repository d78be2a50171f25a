// The driver's requests to the bus driver below: URBs sent and waited for
// (without limit, or for 1 ms and then cancelled), pipe aborts, descriptor
// reads and the port reset.
#include "tavrin.h"

namespace {

NTSTATUS SignalBusRequestDone(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the request is the sender's to free
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

// The URB goes down in a request of the driver's own (IoAllocateIrp) that
// comes back to it, so that it stays valid until the sender frees it: a
// timed wait and a handle's cleanup can cancel it at any time until then.
NTSTATUS SubmitUrbForRequest(PDEVICE_OBJECT DeviceObject, HandleRequest *Owner, PURB Urb, BOOLEAN Timed) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = Urb;
  if (Owner != NULL && !AttachBusRequest(extension, Owner, irp)) {
    IoFreeIrp(irp);  // its handle was cleaned up: nothing is sent
    return STATUS_CANCELLED;
  }
  // A plain completion routine: the sender waits for it here, inside a
  // dispatch that removal waits for (the pending-request count), so the
  // routine has only its return left once the event is set. Kernels that
  // lack IoSetCompletionRoutineEx (Wine's) can load the driver.
  IoSetCompletionRoutine(irp, SignalBusRequestDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(lower, irp);
  if (Timed) {
    LARGE_INTEGER oneMillisecond;
    oneMillisecond.QuadPart = -10000;
    if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &oneMillisecond) == STATUS_TIMEOUT) {
      IoCancelIrp(irp);  // harmless when it has just finished: it is ours until freed
    }
  }
  KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
  NTSTATUS status = irp->IoStatus.Status;
  if (Owner != NULL) DetachBusRequest(extension, Owner);
  IoFreeIrp(irp);
  return UrbOutcome(extension, Urb, status);
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb) { return SubmitUrbForRequest(DeviceObject, NULL, Urb, FALSE); }

NTSTATUS SubmitUrbTimed(PDEVICE_OBJECT DeviceObject, PURB Urb) {
  return SubmitUrbForRequest(DeviceObject, NULL, Urb, TRUE);
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
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  UsbBuildGetDescriptorRequest(urb, static_cast<USHORT>(sizeof(struct _URB_CONTROL_DESCRIPTOR_REQUEST)),
                               DescriptorType, Index, LanguageId, Buffer, NULL, Length, NULL);
  NTSTATUS status = SubmitUrb(DeviceObject, urb);
  if (NT_SUCCESS(status)) *Received = urb->UrbControlDescriptorRequest.TransferBufferLength;
  FreePool(urb);
  return status;
}

NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT lower = ExtensionOf(DeviceObject)->LowerDeviceObject;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK ioStatus;
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_RESET_PORT, lower, NULL, 0, NULL, 0, TRUE, &done,
                                           &ioStatus);
  if (irp == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Suspended, KernelMode, FALSE, NULL);
    status = ioStatus.Status;
  }
  return status;
}
