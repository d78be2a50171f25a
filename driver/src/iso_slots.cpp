// Transfer slots, shared by the blocking transfer and the stream: the checks
// of an IsoTransferRequest, building and rebuilding a slot's request block
// and request, and sending a slot so that a bus that completes a transfer
// inside IofCallDriver (as it does for a device that is gone) makes the
// sender loop instead of nesting one completion routine in another.
#include "isochronous.h"

namespace {

constexpr ULONG kIsoTransferFlags = USBD_START_ISO_TRANSFER_ASAP | USBD_SHORT_TRANSFER_OK;

USHORT IsoUrbSize(ULONG Packets) { return static_cast<USHORT>(GET_ISO_URB_SIZE(Packets)); }

// Fills a slot for the chunk at NextPacket (without allocating): the request
// block zeroed and filled, and the request's next stack location.
// The completion routine is set by SendSlot, just before each send.
VOID FillSlot(IsoTransferSlot *Slot) {
  IsoStreamContext *context = Slot->Context;
  ULONG packets = context->PacketsPerTransfer;
  USHORT size = IsoUrbSize(packets);
  PURB urb = Slot->Urb;
  RtlZeroMemory(urb, size);
  urb->UrbHeader.Length = size;
  urb->UrbHeader.Function = URB_FUNCTION_ISOCH_TRANSFER;
  struct _URB_ISOCH_TRANSFER *iso = &urb->UrbIsochronousTransfer;
  iso->PipeHandle = context->Pipe.PipeHandle;
  iso->TransferFlags = kIsoTransferFlags;
  if (context->Pipe.EndpointAddress & 0x80) iso->TransferFlags |= USBD_TRANSFER_DIRECTION_IN;
  iso->TransferBufferLength = packets * context->PacketSize;
  iso->TransferBuffer = context->Buffer + static_cast<SIZE_T>(Slot->NextPacket) * context->PacketSize;
  iso->NumberOfPackets = packets;
  for (ULONG k = 0; k < packets; ++k) {
    iso->IsoPacket[k].Offset = k * context->PacketSize;
    iso->IsoPacket[k].Length = context->PacketSize;
  }

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(Slot->Irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
}

}  // namespace

NTSTATUS ReadIsoRequest(const ControlCall *Call, IsoTransferRequest *Request) {
  if (Call->InputLength < sizeof(IsoTransferRequest) || Call->SystemBuffer == NULL) return STATUS_INVALID_PARAMETER;
  RtlCopyMemory(Request, Call->SystemBuffer, sizeof *Request);
  return STATUS_SUCCESS;
}

NTSTATUS IsoPipe(const ControlCall *Call, ULONG PipeIndex, PipeSnapshot *Pipe) {
  NTSTATUS status = ReadPipe(Call->Extension, PipeIndex, Pipe);
  if (!NT_SUCCESS(status)) return status;
  if (Pipe->PipeType != UsbdPipeTypeIsochronous) return STATUS_INVALID_PARAMETER;
  if (Pipe->PipeHandle == NULL) return STATUS_UNSUCCESSFUL;
  return STATUS_SUCCESS;
}

NTSTATUS ReadTransferRequest(const ControlCall *Call, IsoTransferRequest *Request, PipeSnapshot *Pipe) {
  NTSTATUS status = ReadIsoRequest(Call, Request);
  if (NT_SUCCESS(status)) status = IsoPipe(Call, Request->PipeIndex, Pipe);
  if (NT_SUCCESS(status)) status = CheckTransferShape(Request);
  return status;
}

BOOLEAN MultiplyFits(ULONG A, ULONG B, ULONG *Product) {
  ULONGLONG product = static_cast<ULONGLONG>(A) * B;
  if (product > 0xFFFFFFFFull) return FALSE;
  *Product = static_cast<ULONG>(product);
  return TRUE;
}

BOOLEAN PacketBytesFit(const IsoTransferRequest *Request, ULONG *Bytes) {
  constexpr ULONG kDescriptorBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);
  return Request->PacketSize <= 0xFFFFFFFFu - kDescriptorBytes &&
         MultiplyFits(Request->PacketCount, Request->PacketSize + kDescriptorBytes, Bytes);
}

NTSTATUS CheckTransferShape(const IsoTransferRequest *Request) {
  if (Request->PacketSize == 0 || Request->PacketsPerTransfer == 0 || Request->TransfersInFlight == 0) {
    return STATUS_INVALID_PARAMETER;
  }
  if (Request->PacketsPerTransfer > TAVRIN_ISO_MAX_PACKETS_PER_TRANSFER ||
      Request->TransfersInFlight > TAVRIN_ISO_MAX_TRANSFERS_IN_FLIGHT) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG packetsInFlight = Request->PacketsPerTransfer * Request->TransfersInFlight;  // fits: both are bounded
  ULONG bytesInFlight;
  if (!MultiplyFits(packetsInFlight, Request->PacketSize, &bytesInFlight) ||
      bytesInFlight > TAVRIN_ISO_MAX_BYTES_IN_FLIGHT) {
    return STATUS_INVALID_PARAMETER;
  }
  return STATUS_SUCCESS;
}

PUCHAR CallerBuffer(const ControlCall *Call) {
  PMDL mdl = Call->Irp->MdlAddress;
  if (mdl == NULL) return NULL;
  return static_cast<PUCHAR>(MmGetSystemAddressForMdlSafe(mdl, NormalPagePriority));
}

NTSTATUS BuildSlot(IsoStreamContext *Context, ULONG Index, PIO_COMPLETION_ROUTINE Completion) {
  IsoTransferSlot *slot = &Context->Slots[Index];
  slot->Urb = static_cast<PURB>(AllocateZeroed(IsoUrbSize(Context->PacketsPerTransfer)));
  if (slot->Urb == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  slot->Irp = IoAllocateIrp(Context->IrpStackSize, FALSE);
  if (slot->Irp == NULL) {
    FreePool(slot->Urb);
    slot->Urb = NULL;
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  slot->NextPacket = Index * Context->PacketsPerTransfer;
  slot->Context = Context;
  KeInitializeEvent(&slot->Done, NotificationEvent, FALSE);
  slot->Step = SlotIdle;
  slot->Completion = Completion;
  FillSlot(slot);
  return STATUS_SUCCESS;
}

VOID RebuildSlot(IsoTransferSlot *Slot) {
  IoReuseIrp(Slot->Irp, STATUS_SUCCESS);
  FillSlot(Slot);
}

VOID ReleaseSlot(IsoTransferSlot *Slot) {
  if (Slot->Irp != NULL) IoFreeIrp(Slot->Irp);
  Slot->Irp = NULL;
  FreePool(Slot->Urb);
  Slot->Urb = NULL;
}

VOID SendSlot(IsoTransferSlot *Slot, SlotRetirement Retire) {
  PDEVICE_OBJECT device = Slot->Context->Device;
  PDEVICE_OBJECT lower = ExtensionOf(device)->LowerDeviceObject;
  for (;;) {
    // The device object stays referenced while the completion routine runs:
    // the stream's last routine lets removal finish, and the driver must not
    // be unloaded under the rest of that routine.
    if (!NT_SUCCESS(IoSetCompletionRoutineEx(device, Slot->Irp, Slot->Completion, Slot, TRUE, TRUE, TRUE))) {
      Retire(Slot);
      return;
    }
    InterlockedExchange(&Slot->Step, SlotSending);
    IoCallDriver(lower, Slot->Irp);
    // The request belongs to the bus now; only Step says what became of it.
    LONG step = InterlockedCompareExchange(&Slot->Step, SlotIdle, SlotSending);
    if (step == SlotSending) return;  // its completion routine carries on
    if (step == SlotRetire) {
      Retire(Slot);
      return;
    }
    // SlotResend: it finished during the send and was rebuilt; send it again.
  }
}

NTSTATUS ContinueSlot(IsoTransferSlot *Slot, LONG Step, SlotRetirement Retire) {
  if (InterlockedCompareExchange(&Slot->Step, Step, SlotSending) == SlotSending) {
    return STATUS_MORE_PROCESSING_REQUIRED;  // the sender takes the step
  }
  if (Step == SlotRetire) {
    Retire(Slot);
  } else {
    SendSlot(Slot, Retire);
  }
  return STATUS_MORE_PROCESSING_REQUIRED;
}
