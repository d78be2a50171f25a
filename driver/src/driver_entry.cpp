// Driver entry, add-device with the sixteen one-character unit numbers, and the
// create and close requests through which user mode gets a handle.
#include "tavrin.h"

namespace {

const char kDeviceNameText[] = "\\Device\\Tavrin-0";
const char kLinkNameText[] = "\\DosDevices\\Tavrin-0";

// Copies an ASCII name into `Name` with its last character replaced by the
// unit character, 0x30 + unit.
void MakeName(WCHAR *Name, const char *Text, ULONG Chars, ULONG Unit) {
  for (ULONG i = 0; i < Chars; ++i) Name[i] = static_cast<WCHAR>(Text[i]);
  Name[Chars - 1] = static_cast<WCHAR>(0x30 + Unit);
  Name[Chars] = 0;
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS TavrinCreate(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  // A device whose removal is pending takes no new handles, as on Windows.
  if (ReadFlag(&extension->SurpriseRemoved)) return CompleteRequest(Irp, STATUS_DELETE_PENDING);
  if (!ReadFlag(&extension->Started)) return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

// A handle's cleanup cancels the requests that came on it, and only those.
// A running stream is the device's, not the handle's: it runs on, for the
// next handle to read, until the stop code or removal ends it.
NTSTATUS TavrinCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PFILE_OBJECT file = IoGetCurrentIrpStackLocation(Irp)->FileObject;
  if (file != NULL) CancelHandleRequests(ExtensionOf(DeviceObject), file);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

NTSTATUS TavrinClose(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  UNREFERENCED_PARAMETER(DeviceObject);
  return CompleteRequest(Irp, STATUS_SUCCESS);
}

VOID TavrinUnload(PDRIVER_OBJECT DriverObject) { UNREFERENCED_PARAMETER(DriverObject); }

// Builds a device object created for a unit: the extension, the flags and
// the attachment to the bus driver's stack. FALSE when the stack below is
// going away (nothing is attached then).
BOOLEAN BuildDevice(PDEVICE_OBJECT DeviceObject, PDEVICE_OBJECT PhysicalDeviceObject, const WCHAR *LinkName) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  RtlCopyMemory(extension->LinkName, LinkName, sizeof extension->LinkName);
  SetFlag(&extension->Started, FALSE);
  extension->LinkCreated = FALSE;
  extension->ConfigurationHandle = NULL;
  extension->DeviceDescriptor = NULL;
  extension->InterfaceRecord = NULL;
  extension->LastUsbdStatus = 0;
  extension->PendingIoCount = 1;
  KeInitializeEvent(&extension->RemoveEvent, NotificationEvent, FALSE);
  KeInitializeSpinLock(&extension->RecordLock);
  InitializeStreamState(extension);
  InitializeHandleRequests(extension);
  DeviceObject->Flags &= ~DO_DEVICE_INITIALIZING;
  DeviceObject->Flags |= DO_DIRECT_IO;
  DeviceObject->Flags |= DO_POWER_PAGABLE;
  extension->PhysicalDeviceObject = PhysicalDeviceObject;
  extension->LowerDeviceObject = IoAttachDeviceToDeviceStack(DeviceObject, PhysicalDeviceObject);
  return extension->LowerDeviceObject != NULL;
}

// The first unit whose device and link can both be made is the device's.
// The link, through which user mode opens the device, is made last: an open
// never finds a device that is still being built, only one that is not
// started yet (refused) or started.
NTSTATUS TavrinAddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject) {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  WCHAR deviceName[TAVRIN_DEVICE_NAME_CHARS + 1];
  WCHAR linkName[TAVRIN_LINK_NAME_CHARS + 1];
  UNICODE_STRING deviceText;
  UNICODE_STRING linkText;

  for (ULONG unit = 0; unit < TAVRIN_UNIT_COUNT; ++unit) {
    MakeName(deviceName, kDeviceNameText, TAVRIN_DEVICE_NAME_CHARS, unit);
    MakeName(linkName, kLinkNameText, TAVRIN_LINK_NAME_CHARS, unit);
    RtlInitUnicodeString(&deviceText, deviceName);
    RtlInitUnicodeString(&linkText, linkName);
    PDEVICE_OBJECT deviceObject = NULL;
    status = IoCreateDevice(DriverObject, sizeof(DeviceExtension), &deviceText, FILE_DEVICE_UNKNOWN, 0, FALSE,
                            &deviceObject);
    if (!NT_SUCCESS(status)) continue;
    if (!BuildDevice(deviceObject, PhysicalDeviceObject, linkName)) {
      // The stack below is going away: leave no device behind.
      IoDeleteDevice(deviceObject);
      return STATUS_NO_SUCH_DEVICE;
    }
    status = IoCreateSymbolicLink(&linkText, &deviceText);
    if (NT_SUCCESS(status)) {
      // Removal deletes every link add-device made, started or not.
      ExtensionOf(deviceObject)->LinkCreated = TRUE;
      return STATUS_SUCCESS;
    }
    // The device object of a unit whose link failed does not linger.
    IoDetachDevice(ExtensionOf(deviceObject)->LowerDeviceObject);
    IoDeleteDevice(deviceObject);
  }
  return status;
}

}  // namespace

PVOID AllocateZeroed(SIZE_T Bytes) {
  PVOID block = ExAllocatePoolWithTag(NonPagedPool, Bytes, TAVRIN_POOL_TAG);
  if (block != NULL) RtlZeroMemory(block, Bytes);
  return block;
}

VOID FreePool(PVOID Block) {
  if (Block != NULL) ExFreePool(Block);
}

extern "C" TAVRIN_DRIVER_ENTRY NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  DriverObject->DriverUnload = TavrinUnload;
  DriverObject->MajorFunction[IRP_MJ_CREATE] = TavrinCreate;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = TavrinCleanup;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = TavrinClose;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = TavrinDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_POWER] = TavrinPower;
  DriverObject->MajorFunction[IRP_MJ_PNP] = TavrinPnp;
  DriverObject->MajorFunction[IRP_MJ_SYSTEM_CONTROL] = TavrinSystemControl;
  DriverObject->DriverExtension->AddDevice = TavrinAddDevice;
  return STATUS_SUCCESS;
}
