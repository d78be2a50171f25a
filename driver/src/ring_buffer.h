// The byte rings of the isochronous stream: one writer side (the stream's
// completion routines) and one reader side (stream reads), Count shared
// between them under the ring's spin lock.
#pragma once

#include <ntddk.h>

typedef struct RingBuffer {
  PUCHAR WritePointer;  // next byte to write
  PUCHAR ReadPointer;   // next byte to read
  ULONG Size;           // capacity in bytes
  ULONG Count;          // bytes held; changed only under Lock
  KSPIN_LOCK Lock;      // guards Count, and serialises writers
  PUCHAR Base;          // Size bytes of non-paged storage, owned
} RingBuffer;

// A ring of `Size` bytes from non-paged pool, or null when the pool has no
// room for it (nothing is left allocated then).
RingBuffer *RingCreate(ULONG Size);

// Writes all `Length` bytes or nothing; returns Length or 0. Writers may run
// at the same time on different processors (at DISPATCH_LEVEL or below):
// each holds the ring's lock for its whole write.
ULONG RingWrite(RingBuffer *Ring, const VOID *Source, ULONG Length);

// Reads up to `Length` bytes, as many as the ring holds; 0 when Length is
// more than the ring's capacity or the ring is empty. Runs alongside
// writers; readers must be serialised by the caller.
ULONG RingRead(RingBuffer *Ring, PVOID Destination, ULONG Length);

// Frees the storage and the header; null is allowed.
VOID RingFree(RingBuffer *Ring);

// A stream read out of the two rings: up to PacketCount × PacketSize data
// bytes to `Destination`, then the descriptors of the whole packets read
// (12 bytes each) directly after them. Returns the bytes written in all.
// The caller has checked that PacketSize is not 0 and that the products fit.
ULONG RingReadStream(RingBuffer *DataRing, RingBuffer *DescriptorRing, PUCHAR Destination, ULONG PacketSize,
                     ULONG PacketCount);
