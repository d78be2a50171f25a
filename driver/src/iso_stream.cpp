// The isochronous stream: T slots of P packets that keep resubmitting
// themselves from their completion routine, each copying its chunk into the
// data and descriptor rings, until a stop, a failure or removal retires
// them; the last slot to retire frees the stream. One stream per device.
//
// The device's StreamLock guards the published rings: a read copies out of
// them under it, and the last slot detaches them under it before freeing
// them, so a read never uses rings being freed. StreamIdle is clear from the
// start of a stream until its last slot has freed everything.
#include "isochronous.h"

namespace {

constexpr ULONG kDescriptorBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);

// Frees whatever of a stream is allocated; the slots' requests and blocks
// too when they are still there.
VOID FreeStream(IsoStreamContext *Context) {
  if (Context->Slots != NULL) {
    for (ULONG i = 0; i < Context->TransferCount; ++i) ReleaseSlot(&Context->Slots[i]);
    FreePool(Context->Slots);
  }
  RingFree(Context->DataRing);
  RingFree(Context->DescriptorRing);
  FreePool(Context->Buffer);
  FreePool(Context);
}

// The last slot's work: unpublish the rings, free everything, then tell
// removal (and a start waiting for this end) that no stream is left. The
// device must not be touched after the event is set.
VOID EndStream(IsoStreamContext *Context) {
  DeviceExtension *extension = ExtensionOf(Context->Device);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
  if (extension->Stream == Context) {
    extension->Stream = NULL;
    extension->StreamDataRing = NULL;
    extension->StreamDescriptorRing = NULL;
  }
  KeReleaseSpinLock(&extension->StreamLock, oldIrql);
  FreeStream(Context);
  KeSetEvent(&extension->StreamIdle, IO_NO_INCREMENT, FALSE);
}

VOID RetireStreamSlot(IsoTransferSlot *Slot) {
  IsoStreamContext *context = Slot->Context;
  ReleaseSlot(Slot);
  if (InterlockedDecrement(&context->ActiveTransfers) == 0) EndStream(context);
}

NTSTATUS StreamCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  IsoTransferSlot *slot = static_cast<IsoTransferSlot *>(Context);
  IsoStreamContext *context = slot->Context;
  BOOLEAN failed = !NT_SUCCESS(Irp->IoStatus.Status);
  // A failed transfer's slice holds nothing new (an aborted or refused
  // request leaves the previous round's bytes), so only finished chunks go
  // into the rings, each into both rings or into neither.
  if (!failed) {
    ULONG packets = context->PacketsPerTransfer;
    RingWriteChunk(context->DataRing, context->DescriptorRing,
                   context->Buffer + static_cast<SIZE_T>(slot->NextPacket) * context->PacketSize,
                   packets * context->PacketSize, &slot->Urb->UrbIsochronousTransfer.IsoPacket[0],
                   packets * kDescriptorBytes);
  }
  if (failed || InterlockedCompareExchange(&context->Stopping, 0, 0) != 0) {
    return ContinueSlot(slot, SlotRetire, RetireStreamSlot);
  }
  RebuildSlot(slot);  // the same slice of Buffer again
  return ContinueSlot(slot, SlotResend, RetireStreamSlot);
}

}  // namespace

// Tells the running stream's slots to retire.
VOID StopRunningStream(DeviceExtension *Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
  if (Extension->Stream != NULL) InterlockedExchange(&Extension->Stream->Stopping, 1);
  KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
}

namespace {

BOOLEAN StreamPublished(DeviceExtension *Extension) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
  BOOLEAN published = Extension->Stream != NULL;
  KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
  return published;
}

// Publishes a built stream unless one is already published; waits first for
// a stream whose last slot is still freeing it (that ends on its own).
BOOLEAN Publish(DeviceExtension *Extension, IsoStreamContext *Context) {
  for (;;) {
    KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->StreamLock);
    if (Extension->Stream != NULL) {
      KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
      return FALSE;
    }
    if (KeReadStateEvent(&Extension->StreamIdle) != 0) {
      Extension->Stream = Context;
      Extension->StreamDataRing = Context->DataRing;
      Extension->StreamDescriptorRing = Context->DescriptorRing;
      KeClearEvent(&Extension->StreamIdle);
      KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
      return TRUE;
    }
    KeReleaseSpinLock(&Extension->StreamLock, oldIrql);
    KeWaitForSingleObject(&Extension->StreamIdle, Executive, KernelMode, FALSE, NULL);
  }
}

}  // namespace

VOID InitializeStreamState(DeviceExtension *Extension) {
  KeInitializeSpinLock(&Extension->StreamLock);
  Extension->Stream = NULL;
  Extension->StreamDataRing = NULL;
  Extension->StreamDescriptorRing = NULL;
  KeInitializeEvent(&Extension->StreamIdle, NotificationEvent, TRUE);
}

VOID EndStreamForRemoval(DeviceExtension *Extension) {
  StopRunningStream(Extension);
  KeWaitForSingleObject(&Extension->StreamIdle, Executive, KernelMode, FALSE, NULL);
}

NTSTATUS StartIsoStreamCall(ControlCall *Call) {
  DeviceExtension *extension = Call->Extension;
  IsoTransferRequest request;
  PipeSnapshot pipe;
  NTSTATUS status = ReadTransferRequest(Call, &request, &pipe);
  if (!NT_SUCCESS(status)) return status;
  ULONG ringBytes;
  if (request.PacketCount == 0 || !PacketBytesFit(&request, &ringBytes) || ringBytes > TAVRIN_ISO_MAX_RING_BYTES) {
    return STATUS_INVALID_PARAMETER;
  }
  ULONG dataRingSize = request.PacketCount * request.PacketSize;  // fits: below the ring limit
  ULONG descriptorRingSize = request.PacketCount * kDescriptorBytes;
  if (StreamPublished(extension)) return STATUS_INVALID_DEVICE_STATE;

  IsoStreamContext *context = static_cast<IsoStreamContext *>(AllocateZeroed(sizeof(IsoStreamContext)));
  if (context == NULL) return STATUS_INSUFFICIENT_RESOURCES;
  ULONG packets = request.PacketsPerTransfer;
  ULONG transfers = request.TransfersInFlight;
  context->Device = Call->Device;
  context->PacketSize = request.PacketSize;
  context->Pipe = pipe;
  context->PacketsPerTransfer = packets;
  context->TransferCount = transfers;
  context->ActiveTransfers = static_cast<LONG>(transfers);
  context->IrpStackSize = static_cast<CCHAR>(extension->LowerDeviceObject->StackSize + 1);
  context->BufferSize = packets * transfers * request.PacketSize;  // fits: checked with the shape
  context->Buffer = static_cast<PUCHAR>(AllocateZeroed(context->BufferSize));
  if (context->Buffer != NULL) context->DataRing = RingCreate(dataRingSize);
  if (context->DataRing != NULL) context->DescriptorRing = RingCreate(descriptorRingSize);
  if (context->DescriptorRing != NULL) {
    context->Slots = static_cast<IsoTransferSlot *>(AllocateZeroed(static_cast<SIZE_T>(transfers) * sizeof(IsoTransferSlot)));
  }
  if (context->Slots == NULL) {
    FreeStream(context);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  for (ULONG i = 0; i < transfers; ++i) {
    if (!NT_SUCCESS(BuildSlot(context, i, StreamCompletion))) {
      FreeStream(context);
      return STATUS_INSUFFICIENT_RESOURCES;
    }
  }
  if (!Publish(extension, context)) {
    FreeStream(context);
    return STATUS_INVALID_DEVICE_STATE;
  }

  // From the first send on, the stream lives on its own: once the last slot
  // has been sent, nothing here may touch it.
  IsoTransferSlot *slots = context->Slots;
  for (ULONG i = 0; i < transfers; ++i) SendSlot(&slots[i], RetireStreamSlot);
  return STATUS_SUCCESS;
}

NTSTATUS StopIsoStreamCall(ControlCall *Call) {
  StopRunningStream(Call->Extension);
  return STATUS_SUCCESS;
}

NTSTATUS ReadIsoStreamCall(ControlCall *Call) {
  if (Call->InputLength != sizeof(IsoTransferRequest)) return STATUS_INVALID_PARAMETER;
  IsoTransferRequest request;
  NTSTATUS status = ReadIsoRequest(Call, &request);
  if (!NT_SUCCESS(status)) return status;
  ULONG needed;
  if ((request.PacketSize == 0 && request.PacketCount != 0) || !PacketBytesFit(&request, &needed) ||
      Call->OutputLength != needed) {
    return STATUS_INVALID_PARAMETER;
  }
  PUCHAR buffer = NULL;
  if (request.PacketCount != 0) {
    buffer = CallerBuffer(Call);
    if (buffer == NULL) return STATUS_UNSUCCESSFUL;
  }

  DeviceExtension *extension = Call->Extension;
  status = STATUS_SUCCESS;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->StreamLock);
  if (extension->StreamDataRing == NULL || extension->StreamDescriptorRing == NULL) {
    status = STATUS_UNSUCCESSFUL;
  } else if (request.PacketSize != extension->Stream->PacketSize) {
    // Packets of another size would take data and descriptors out of the
    // rings in different numbers, and every later read would be out of step.
    status = STATUS_INVALID_PARAMETER;
  } else if (request.PacketCount != 0) {  // a read of no packets succeeds with nothing
    Call->Information = RingReadStream(extension->StreamDataRing, extension->StreamDescriptorRing, buffer,
                                       request.PacketSize, request.PacketCount);
  }
  KeReleaseSpinLock(&extension->StreamLock, oldIrql);
  return status;
}
