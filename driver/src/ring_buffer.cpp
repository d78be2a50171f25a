// The stream's byte rings. Writes are all or nothing and take the ring's lock
// for the whole copy, so completion routines of different slots running at
// the same time cannot interleave their copies and pointer updates. A read
// takes the lock only to look at Count and to give the bytes back: it copies
// from bytes no writer touches until Count says they are free again.
#include "ring_buffer.h"

#include "tavrin.h"

namespace {

constexpr ULONG kDescriptorBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);

ULONG HeldBytes(RingBuffer *Ring) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
  ULONG held = Ring->Count;
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return held;
}

}  // namespace

RingBuffer *RingCreate(ULONG Size) {
  RingBuffer *ring =
      static_cast<RingBuffer *>(ExAllocatePoolWithTag(NonPagedPool, sizeof(RingBuffer), TAVRIN_POOL_TAG));
  if (ring == NULL) return NULL;
  ring->Base = static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, Size != 0 ? Size : 1, TAVRIN_POOL_TAG));
  if (ring->Base == NULL) {
    ExFreePool(ring);
    return NULL;
  }
  ring->WritePointer = ring->Base;
  ring->ReadPointer = ring->Base;
  ring->Size = Size;
  ring->Count = 0;
  KeInitializeSpinLock(&ring->Lock);
  return ring;
}

ULONG RingWrite(RingBuffer *Ring, const VOID *Source, ULONG Length) {
  const UCHAR *source = static_cast<const UCHAR *>(Source);
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
  if (Length == 0 || Length > Ring->Size - Ring->Count) {
    KeReleaseSpinLock(&Ring->Lock, oldIrql);
    return 0;
  }
  PUCHAR end = Ring->Base + Ring->Size;
  ULONG first = static_cast<ULONG>(end - Ring->WritePointer);
  if (Length < first) {
    RtlCopyMemory(Ring->WritePointer, source, Length);
    Ring->WritePointer += Length;
  } else {
    // Up to the end of the storage, then the rest from its start.
    RtlCopyMemory(Ring->WritePointer, source, first);
    RtlCopyMemory(Ring->Base, source + first, Length - first);
    Ring->WritePointer = Ring->Base + (Length - first);
  }
  Ring->Count += Length;
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return Length;
}

ULONG RingRead(RingBuffer *Ring, PVOID Destination, ULONG Length) {
  if (Length > Ring->Size) return 0;
  ULONG held = HeldBytes(Ring);
  if (held == 0) return 0;
  if (Length > held) Length = held;
  PUCHAR destination = static_cast<PUCHAR>(Destination);
  PUCHAR end = Ring->Base + Ring->Size;
  ULONG first = static_cast<ULONG>(end - Ring->ReadPointer);
  if (Length < first) {
    RtlCopyMemory(destination, Ring->ReadPointer, Length);
    Ring->ReadPointer += Length;
  } else {
    RtlCopyMemory(destination, Ring->ReadPointer, first);
    RtlCopyMemory(destination + first, Ring->Base, Length - first);
    Ring->ReadPointer = Ring->Base + (Length - first);
  }
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
  Ring->Count -= Length;
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return Length;
}

VOID RingFree(RingBuffer *Ring) {
  if (Ring == NULL) return;
  ExFreePool(Ring->Base);
  ExFreePool(Ring);
}

ULONG RingReadStream(RingBuffer *DataRing, RingBuffer *DescriptorRing, PUCHAR Destination, ULONG PacketSize,
                     ULONG PacketCount) {
  ULONG data = RingRead(DataRing, Destination, PacketCount * PacketSize);
  ULONG descriptors = RingRead(DescriptorRing, Destination + data, (data / PacketSize) * kDescriptorBytes);
  return data + descriptors;
}
