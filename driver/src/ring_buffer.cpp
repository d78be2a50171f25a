// The stream's byte rings. Writes are all or nothing; every write and read
// holds the ring's lock for its whole copy, so completion routines of
// different slots running at the same time cannot interleave their copies
// and pointer updates, and a reader never meets a half-written chunk.
#include "ring_buffer.h"

#include "tavrin.h"

namespace {

constexpr ULONG kDescriptorBytes = sizeof(USBD_ISO_PACKET_DESCRIPTOR);

// The copies, for a caller that holds the ring's lock.
VOID CopyIn(RingBuffer *Ring, const UCHAR *Source, ULONG Length) {
  PUCHAR end = Ring->Base + Ring->Size;
  ULONG first = static_cast<ULONG>(end - Ring->WritePointer);
  if (Length < first) {
    RtlCopyMemory(Ring->WritePointer, Source, Length);
    Ring->WritePointer += Length;
  } else {
    // Up to the end of the storage, then the rest from its start.
    RtlCopyMemory(Ring->WritePointer, Source, first);
    RtlCopyMemory(Ring->Base, Source + first, Length - first);
    Ring->WritePointer = Ring->Base + (Length - first);
  }
  Ring->Count += Length;
}

VOID CopyOut(RingBuffer *Ring, PUCHAR Destination, ULONG Length) {
  PUCHAR end = Ring->Base + Ring->Size;
  ULONG first = static_cast<ULONG>(end - Ring->ReadPointer);
  if (Length < first) {
    RtlCopyMemory(Destination, Ring->ReadPointer, Length);
    Ring->ReadPointer += Length;
  } else {
    RtlCopyMemory(Destination, Ring->ReadPointer, first);
    RtlCopyMemory(Destination + first, Ring->Base, Length - first);
    Ring->ReadPointer = Ring->Base + (Length - first);
  }
  Ring->Count -= Length;
}

BOOLEAN HasRoom(const RingBuffer *Ring, ULONG Length) { return Length != 0 && Length <= Ring->Size - Ring->Count; }

// What RingRead gives for a request of `Length` bytes.
ULONG Readable(const RingBuffer *Ring, ULONG Length) {
  if (Length > Ring->Size) return 0;
  return Length < Ring->Count ? Length : Ring->Count;
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
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
  BOOLEAN room = HasRoom(Ring, Length);
  if (room) CopyIn(Ring, static_cast<const UCHAR *>(Source), Length);
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return room ? Length : 0;
}

ULONG RingRead(RingBuffer *Ring, PVOID Destination, ULONG Length) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Ring->Lock);
  Length = Readable(Ring, Length);
  CopyOut(Ring, static_cast<PUCHAR>(Destination), Length);
  KeReleaseSpinLock(&Ring->Lock, oldIrql);
  return Length;
}

VOID RingFree(RingBuffer *Ring) {
  if (Ring == NULL) return;
  ExFreePool(Ring->Base);
  ExFreePool(Ring);
}

BOOLEAN RingWriteChunk(RingBuffer *DataRing, RingBuffer *DescriptorRing, const VOID *Data, ULONG DataLength,
                       const VOID *Descriptors, ULONG DescriptorLength) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DataRing->Lock);
  KeAcquireSpinLockAtDpcLevel(&DescriptorRing->Lock);
  BOOLEAN room = HasRoom(DataRing, DataLength) && HasRoom(DescriptorRing, DescriptorLength);
  if (room) {
    CopyIn(DataRing, static_cast<const UCHAR *>(Data), DataLength);
    CopyIn(DescriptorRing, static_cast<const UCHAR *>(Descriptors), DescriptorLength);
  }
  KeReleaseSpinLockFromDpcLevel(&DescriptorRing->Lock);
  KeReleaseSpinLock(&DataRing->Lock, oldIrql);
  return room;
}

ULONG RingReadStream(RingBuffer *DataRing, RingBuffer *DescriptorRing, PUCHAR Destination, ULONG PacketSize,
                     ULONG PacketCount) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&DataRing->Lock);
  KeAcquireSpinLockAtDpcLevel(&DescriptorRing->Lock);
  ULONG data = Readable(DataRing, PacketCount * PacketSize);
  CopyOut(DataRing, Destination, data);
  ULONG descriptors = Readable(DescriptorRing, (data / PacketSize) * kDescriptorBytes);
  CopyOut(DescriptorRing, Destination + data, descriptors);
  KeReleaseSpinLockFromDpcLevel(&DescriptorRing->Lock);
  KeReleaseSpinLock(&DataRing->Lock, oldIrql);
  return data + descriptors;
}
