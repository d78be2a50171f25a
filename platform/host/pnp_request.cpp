#include "pnp_request.h"

namespace host {
namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Sends one request the manager allocates to the top of `pdo`'s stack and
// waits for it; `fill` sets its parameters.
template <typename Fill>
NTSTATUS Send(PDEVICE_OBJECT pdo, UCHAR major, UCHAR minor, bool *sent, Fill fill) {
  if (sent != nullptr) *sent = false;
  // The reference keeps the top device in memory even when the request
  // deletes it (removal).
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) {
    ObDereferenceObject(top);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  if (sent != nullptr) *sent = true;
  // Plug and Play and power requests start out "not supported", so that a
  // driver that does not handle one passes it on unchanged.
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  fill(next);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  if (IoCallDriver(top, irp) == STATUS_PENDING) KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  ObDereferenceObject(top);
  return status;
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT pdo, UCHAR minor, PDEVICE_CAPABILITIES capabilities, bool *sent) {
  return Send(pdo, IRP_MJ_PNP, minor, sent, [&](PIO_STACK_LOCATION next) {
    next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  });
}

NTSTATUS SendPower(PDEVICE_OBJECT pdo, UCHAR minor, POWER_STATE_TYPE type, POWER_STATE state) {
  return Send(pdo, IRP_MJ_POWER, minor, nullptr, [&](PIO_STACK_LOCATION next) {
    next->Parameters.Power.Type = type;
    next->Parameters.Power.State = state;
    next->Parameters.Power.ShutdownType = PowerActionSleep;
  });
}

}  // namespace host
