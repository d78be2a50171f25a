// Bulk and interrupt transfers (the caller's pages go to the bus through the
// request's MDL, never copied), and the pipe reset and abort codes.
#include "tavrin.h"

namespace {

BOOLEAN EndpointIsIn(UCHAR EndpointAddress) { return (EndpointAddress & 0x80) != 0; }

// The pipe index at offset 0 of the input, read only when the input holds it.
NTSTATUS PipeFromInput(ControlCall *Call, PipeSnapshot *Pipe) {
  if (Call->InputLength < sizeof(ULONG)) return STATUS_INVALID_PARAMETER;
  ULONG index;
  RtlCopyMemory(&index, Call->SystemBuffer, sizeof index);
  return ReadPipe(Call->Extension, index, Pipe);
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
  if (urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
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
