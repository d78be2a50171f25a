// Plug and Play: start (forward, then configure), stop, capabilities, and the
// removal sequence that waits for every request inside the driver before it
// frees the device's state.
#include "tavrin.h"

namespace {

NTSTATUS PassDown(DeviceExtension *Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Extension->LowerDeviceObject, Irp);
}

NTSTATUS SignalAndReclaim(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS StartDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) {
    status = ConfigureDevice(DeviceObject);
    Irp->IoStatus.Information = 0;
  }
  // A start that fails, also one after a stop, leaves the device unstarted:
  // opens are refused and no stale interface record is served.
  SetFlag(&extension->Started, status == STATUS_SUCCESS);
  if (status != STATUS_SUCCESS) ReplaceInterfaceRecord(extension, NULL);
  Irp->IoStatus.Status = status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

// Returns the status the driver below completed the stop with: the request
// is gone by the time the device is deconfigured, so nothing that happens
// afterwards (not even a failed allocation) can be its status.
NTSTATUS StopDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  NTSTATUS status = PassDown(ExtensionOf(DeviceObject), Irp);
  // Deconfigure: a select-configuration block without a descriptor.
  PURB urb = static_cast<PURB>(AllocateZeroed(sizeof(struct _URB_SELECT_CONFIGURATION)));
  if (urb != NULL) {
    urb->UrbHeader.Length = sizeof(struct _URB_SELECT_CONFIGURATION);
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_CONFIGURATION;
    SubmitUrb(DeviceObject, urb);
    FreePool(urb);
  }
  return status;
}

NTSTATUS QueryCapabilities(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PDEVICE_CAPABILITIES capabilities = IoGetCurrentIrpStackLocation(Irp)->Parameters.DeviceCapabilities.Capabilities;
  if (capabilities == NULL || capabilities->Version == 0) return PassDown(ExtensionOf(DeviceObject), Irp);
  NTSTATUS status = ForwardAndWait(DeviceObject, Irp);
  if (NT_SUCCESS(status)) capabilities->SurpriseRemovalOK = TRUE;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  SetFlag(&extension->Removing, TRUE);

  // Aborting the pipes ends the transfers that requests inside are waiting on.
  PipeSnapshot pipe;
  for (ULONG index = 0; ReadPipe(extension, index, &pipe) == STATUS_SUCCESS; ++index) {
    AbortPipe(DeviceObject, pipe.PipeHandle);
  }
  ReleaseIoReference(extension);  // this request's own reference
  ReleaseIoReference(extension);  // the device's initial count
  KeWaitForSingleObject(&extension->RemoveEvent, Executive, KernelMode, FALSE, NULL);
  // A stream's slots hold no dispatch reference: stop it and wait until its
  // last slot has retired and freed it, before the device goes.
  EndStreamForRemoval(extension);

  FreePool(extension->DeviceDescriptor);
  extension->DeviceDescriptor = NULL;
  ReplaceInterfaceRecord(extension, NULL);
  if (extension->LinkCreated) {
    extension->LinkCreated = FALSE;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, extension->LinkName);
    IoDeleteSymbolicLink(&link);
  }
  PDEVICE_OBJECT lower = extension->LowerDeviceObject;
  IoDetachDevice(lower);
  IoDeleteDevice(DeviceObject);
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(lower, Irp);
}

}  // namespace

NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalAndReclaim, &event, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
    status = Irp->IoStatus.Status;
  }
  return status;
}

NTSTATUS TavrinPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  if (!AcquireIoReference(extension)) {
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
    case IRP_MN_START_DEVICE:
      status = StartDevice(DeviceObject, Irp);
      break;
    case IRP_MN_REMOVE_DEVICE:
      return RemoveDevice(DeviceObject, Irp);  // releases its reference itself
    case IRP_MN_STOP_DEVICE:
      status = StopDevice(DeviceObject, Irp);
      break;
    case IRP_MN_QUERY_CAPABILITIES:
      status = QueryCapabilities(DeviceObject, Irp);
      break;
    case IRP_MN_SURPRISE_REMOVAL:
      SetFlag(&extension->SurpriseRemoved, TRUE);
      status = PassDown(extension, Irp);
      break;
    default:
      status = PassDown(extension, Irp);
      break;
  }
  ReleaseIoReference(extension);
  return status;
}
