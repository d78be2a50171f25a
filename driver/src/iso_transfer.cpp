// The blocking isochronous transfer (IOCTL_INSTR_ISO_READ and
// IOCTL_INSTR_ISO_WRITE): PacketCount packets moved straight through the
// caller's locked pages in chunks of P packets, T chunks in flight, chunk c
// on slot c mod T; each packet's descriptor lands after the data.
#include "isochronous.h"

namespace {

constexpr ULONG kDescriptorBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);

// The waiter frees the slot's request and block once its handle can no
// longer cancel them.
VOID FinishBlockingSlot(IsoTransferSlot *Slot) {
  KeSetEvent(&Slot->Done, EVENT_INCREMENT, FALSE);  // the waiter may free the slot from here on
}

// A round that came back cancelled (its handle cleaned up, its pipe aborted)
// or from a device that is gone ends the whole transfer: sending the next
// round would only wait for data nobody will take, or fail again.
BOOLEAN RoundEndsTransfer(NTSTATUS Status) {
  return Status == STATUS_CANCELLED || Status == STATUS_DEVICE_NOT_CONNECTED || Status == STATUS_NO_SUCH_DEVICE ||
         Status == STATUS_DELETE_PENDING;
}

NTSTATUS EndTransferEarly(IsoTransferSlot *Slot, NTSTATUS Status) {
  InterlockedCompareExchange(&Slot->Context->EndStatus, Status, STATUS_SUCCESS);
  return ContinueSlot(Slot, SlotRetire, FinishBlockingSlot);
}

NTSTATUS BlockingCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  IsoTransferSlot *slot = static_cast<IsoTransferSlot *>(Context);
  IsoStreamContext *context = slot->Context;
  ULONG packets = context->PacketsPerTransfer;
  if (context->DescriptorArea != NULL) {
    RtlCopyMemory(context->DescriptorArea + static_cast<SIZE_T>(slot->NextPacket) * kDescriptorBytes,
                  &slot->Urb->UrbIsochronousTransfer.IsoPacket[0], static_cast<SIZE_T>(packets) * kDescriptorBytes);
  }
  // Any other failed chunk is followed by the next; its packets say how they fared.
  NTSTATUS status = Irp->IoStatus.Status;
  if (RoundEndsTransfer(status)) return EndTransferEarly(slot, status);
  if (InterlockedCompareExchange(&context->EndStatus, 0, 0) != STATUS_SUCCESS) {
    return ContinueSlot(slot, SlotRetire, FinishBlockingSlot);  // another slot ended it
  }
  slot->NextPacket += context->TransferCount * packets;
  if (slot->NextPacket >= context->PacketCount) return ContinueSlot(slot, SlotRetire, FinishBlockingSlot);

  // Cleanup holds the request (it is cancelling it) or has begun: stop.
  if (InterlockedCompareExchange(&slot->Pin, SlotPinRebuild, SlotPinFree) != SlotPinFree) {
    return EndTransferEarly(slot, STATUS_CANCELLED);
  }
  if (RequestCancelled(context->Owner)) {
    InterlockedExchange(&slot->Pin, SlotPinFree);
    return EndTransferEarly(slot, STATUS_CANCELLED);
  }
  RebuildSlot(slot);
  if (InterlockedExchange(&slot->Pin, SlotPinFree) == SlotPinCancelWanted) {
    return EndTransferEarly(slot, STATUS_CANCELLED);  // cleanup came during the rebuild
  }
  return ContinueSlot(slot, SlotResend, FinishBlockingSlot);
}

VOID FreeTransfer(IsoStreamContext *Context, ULONG BuiltSlots) {
  for (ULONG i = 0; i < BuiltSlots; ++i) ReleaseSlot(&Context->Slots[i]);
  FreePool(Context->Slots);
  FreePool(Context);
}

}  // namespace

NTSTATUS IsoTransferCall(ControlCall *Call) {
  IsoTransferRequest request;
  PipeSnapshot pipe;
  NTSTATUS status = ReadTransferRequest(Call, &request, &pipe);
  if (!NT_SUCCESS(status)) return status;
  // The write code's buffer is read-only: it cannot take an IN endpoint's
  // packets, and the packets' descriptors are not written back into it.
  BOOLEAN readOnly = CallerBufferIsReadOnly(Call->Code);
  if (readOnly && (pipe.EndpointAddress & 0x80)) return STATUS_INVALID_PARAMETER;
  ULONG packets = request.PacketsPerTransfer;
  ULONG transfers = request.TransfersInFlight;
  ULONG packetsInFlight = packets * transfers;  // fits: checked with the shape
  if (request.PacketCount == 0 || request.PacketCount % packetsInFlight != 0) return STATUS_INVALID_PARAMETER;
  ULONG needed;
  if (!PacketBytesFit(&request, &needed)) return STATUS_INVALID_PARAMETER;
  if (Call->OutputLength < needed) return STATUS_UNSUCCESSFUL;

  PUCHAR buffer = CallerBuffer(Call);
  if (buffer == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  IsoStreamContext *context = static_cast<IsoStreamContext *>(AllocateZeroed(sizeof(IsoStreamContext)));
  if (context == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  context->Device = Call->Device;
  context->PacketSize = request.PacketSize;
  context->PacketCount = request.PacketCount;
  context->Pipe = pipe;
  context->Buffer = buffer;
  context->BufferSize = request.PacketCount * request.PacketSize;
  context->DescriptorArea = readOnly ? NULL : buffer + context->BufferSize;
  context->PacketsPerTransfer = packets;
  context->TransferCount = transfers;
  context->IrpStackSize = static_cast<CCHAR>(Call->Extension->LowerDeviceObject->StackSize + 1);
  context->Slots = static_cast<IsoTransferSlot *>(AllocateZeroed(static_cast<SIZE_T>(transfers) * sizeof(IsoTransferSlot)));
  if (context->Slots == NULL) {
    FreePool(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (ULONG i = 0; i < transfers; ++i) {
    if (!NT_SUCCESS(BuildSlot(context, i, BlockingCompletion))) {
      FreeTransfer(context, i);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }

  context->Owner = &Call->Request;
  if (!AttachIsoTransfer(Call->Extension, &Call->Request, context)) {
    FreeTransfer(context, transfers);
    return STATUS_CANCELLED;
  }
  IsoTransferSlot *slots = context->Slots;
  for (ULONG i = 0; i < transfers; ++i) SendSlot(&slots[i], FinishBlockingSlot);
  for (ULONG i = 0; i < transfers; ++i) KeWaitForSingleObject(&slots[i].Done, Suspended, KernelMode, FALSE, NULL);
  // Off its handle's list first: cleanup must not cancel freed requests.
  EndHandleRequest(Call);
  status = context->EndStatus;
  FreeTransfer(context, transfers);
  return status;
}

VOID CancelIsoSlots(IsoStreamContext *Context) {
  for (ULONG i = 0; i < Context->TransferCount; ++i) {
    IsoTransferSlot *slot = &Context->Slots[i];
    for (;;) {
      LONG seen = InterlockedCompareExchange(&slot->Pin, SlotPinCancel, SlotPinFree);
      if (seen == SlotPinFree) {
        IoCancelIrp(slot->Irp);
        InterlockedExchange(&slot->Pin, SlotPinFree);
        break;
      }
      // Being rebuilt: the completion routine will not send it.
      if (seen != SlotPinRebuild ||
          InterlockedCompareExchange(&slot->Pin, SlotPinCancelWanted, SlotPinRebuild) == SlotPinRebuild) {
        break;
      }
    }
  }
}
