// Request tracking (the dispatch references that removal waits for) and the
// power dispatch, which passes every power request down unchanged.
#include "tavrin.h"

BOOLEAN AcquireIoReference(DeviceExtension *Extension) {
  InterlockedIncrement(&Extension->PendingIoCount);
  if (!ReadFlag(&Extension->Removing)) return TRUE;
  if (InterlockedDecrement(&Extension->PendingIoCount) == 0) KeSetEvent(&Extension->RemoveEvent, 0, FALSE);
  return FALSE;
}

VOID ReleaseIoReference(DeviceExtension *Extension) {
  if (InterlockedDecrement(&Extension->PendingIoCount) == 0) KeSetEvent(&Extension->RemoveEvent, 0, FALSE);
}

NTSTATUS TavrinPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  // A wait-wake request keeps the status it came with: nothing here waits
  // for a wake, so only a driver below may answer it.
  if (IoGetCurrentIrpStackLocation(Irp)->MinorFunction != IRP_MN_WAIT_WAKE) {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = 0;
  }
  IoCopyCurrentIrpStackLocationToNext(Irp);
  PoStartNextPowerIrp(Irp);
  return PoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}

NTSTATUS TavrinSystemControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(ExtensionOf(DeviceObject)->LowerDeviceObject, Irp);
}
