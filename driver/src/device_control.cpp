// The device-control dispatch: every request takes a dispatch reference, runs
// its code's handler and is completed before the dispatch returns.
#include "tavrin.h"
#include "tavrin_version.h"

namespace {

NTSTATUS InterfaceRecordRequest(ControlCall *Call) {
  ULONG length;
  NTSTATUS status = CopyInterfaceRecord(Call->Extension, Call->SystemBuffer, Call->OutputLength, &length);
  Call->Information = length;
  return status;
}

NTSTATUS LastUsbdStatusRequest(ControlCall *Call) {
  if (Call->OutputLength < sizeof(ULONG)) return STATUS_UNSUCCESSFUL;
  ULONG status = static_cast<ULONG>(Call->Extension->LastUsbdStatus);
  RtlCopyMemory(Call->SystemBuffer, &status, sizeof status);
  Call->Information = sizeof status;
  return STATUS_SUCCESS;
}

NTSTATUS DriverVersionRequest(ControlCall *Call) {
  if (Call->OutputLength < sizeof(DriverVersion)) return STATUS_UNSUCCESSFUL;
  DriverVersion version = {TAVRIN_VERSION_MAJOR, TAVRIN_VERSION_MINOR, TAVRIN_VERSION_BUILD};
  RtlCopyMemory(Call->SystemBuffer, &version, sizeof version);
  Call->Information = sizeof version;
  return STATUS_SUCCESS;
}

NTSTATUS SelectInterfaceRequest(ControlCall *Call) {
  if (Call->InputLength < sizeof(InterfaceSelection)) return STATUS_INVALID_PARAMETER;
  InterfaceSelection selection;
  RtlCopyMemory(&selection, Call->SystemBuffer, sizeof selection);
  // The caller learns the outcome from the interface record.
  SelectInterface(Call->Device, selection.InterfaceNumber, selection.AlternateSetting);
  return STATUS_SUCCESS;
}

NTSTATUS RunHandler(ControlCall *Call) {
  switch (Call->Code) {
    case IOCTL_INSTR_GET_INTERFACE_RECORD:
      return InterfaceRecordRequest(Call);
    case IOCTL_INSTR_GET_DEVICE_DESCRIPTOR:
      return DeviceDescriptorRequest(Call);
    case IOCTL_INSTR_GET_CONFIG_DESCRIPTOR:
      return ConfigurationDescriptorRequest(Call);
    case IOCTL_INSTR_VENDOR_DEVICE_REQUEST:
      return VendorDeviceRequestCall(Call);
    case IOCTL_INSTR_NOP:
    case IOCTL_INSTR_NOP_DIRECT:
      return STATUS_SUCCESS;
    case IOCTL_INSTR_RESET_PORT:
      return ResetPortRequest(Call);
    case IOCTL_INSTR_RESET_PIPE:
      return ResetPipeRequest(Call);
    case IOCTL_INSTR_ABORT_PIPE:
      return AbortPipeRequest(Call);
    case IOCTL_INSTR_SELECT_INTERFACE:
      return SelectInterfaceRequest(Call);
    case IOCTL_INSTR_GET_STRING_DESCRIPTOR:
      return StringDescriptorCall(Call);
    case IOCTL_INSTR_BULK_READ:
    case IOCTL_INSTR_BULK_WRITE:
    case IOCTL_INSTR_BULK_READ_TIMED:
      return BulkOrInterruptTransfer(Call);
    case IOCTL_INSTR_GET_FRAME_NUMBER:
      return FrameNumberRequest(Call);
    case IOCTL_INSTR_CONTROL_REQUEST:
      return ClassOrVendorRequest(Call);
    case IOCTL_INSTR_GET_LAST_USBD_STATUS:
      return LastUsbdStatusRequest(Call);
    case IOCTL_INSTR_GET_DRIVER_VERSION:
      return DriverVersionRequest(Call);
    case IOCTL_INSTR_SET_FEATURE:
      return SetFeatureRequest(Call);
    case IOCTL_INSTR_ISO_READ:
    case IOCTL_INSTR_ISO_WRITE:
      return IsoTransferCall(Call);
    case IOCTL_INSTR_START_ISO_STREAM:
      return StartIsoStreamCall(Call);
    case IOCTL_INSTR_STOP_ISO_STREAM:
      return StopIsoStreamCall(Call);
    case IOCTL_INSTR_READ_ISO_STREAM:
      return ReadIsoStreamCall(Call);
    default:
      return STATUS_INVALID_PARAMETER;
  }
}

}  // namespace

NTSTATUS TavrinDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  Irp->IoStatus.Information = 0;
  if (!AcquireIoReference(extension)) {
    Irp->IoStatus.Status = STATUS_DELETE_PENDING;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_DELETE_PENDING;
  }
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(Irp);
  ControlCall call;
  call.Device = DeviceObject;
  call.Extension = extension;
  call.Irp = Irp;
  call.Code = location->Parameters.DeviceIoControl.IoControlCode;
  call.InputLength = location->Parameters.DeviceIoControl.InputBufferLength;
  call.OutputLength = location->Parameters.DeviceIoControl.OutputBufferLength;
  call.SystemBuffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  call.Information = 0;

  // A request that races its handle's close is not served.
  NTSTATUS status = BeginHandleRequest(&call);
  if (NT_SUCCESS(status)) {
    status = RunHandler(&call);
    EndHandleRequest(&call);
  }
  Irp->IoStatus.Status = status;
  Irp->IoStatus.Information = NT_SUCCESS(status) ? call.Information : 0;
  ReleaseIoReference(extension);
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return status;
}
