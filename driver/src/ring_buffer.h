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
  KSPIN_LOCK Lock;      // guards Count, the pointers and the bytes while they are copied
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
// more than the ring's capacity or the ring is empty. Holds the ring's lock
// for the copy, so readers and writers may run at the same time.
ULONG RingRead(RingBuffer *Ring, PVOID Destination, ULONG Length);

// Frees the storage and the header; null is allowed.
VOID RingFree(RingBuffer *Ring);

// The stream's two rings hold the same chunks in the same order: a chunk's
// data and its packet descriptors go into both rings or into neither, and a
// read takes matching packets from both. Both operations hold the two rings'
// locks (data ring first) for their whole work, so neither sees the other
// half done.

// Writes one chunk: `DataLength` bytes to the data ring and
// `DescriptorLength` bytes to the descriptor ring, or nothing when either
// ring lacks the room. Returns TRUE when the chunk was written.
BOOLEAN RingWriteChunk(RingBuffer *DataRing, RingBuffer *DescriptorRing, const VOID *Data, ULONG DataLength,
                       const VOID *Descriptors, ULONG DescriptorLength);

// A stream read out of the two rings: up to PacketCount × PacketSize data
// bytes to `Destination`, then the descriptors of the whole packets read
// (12 bytes each) directly after them. Returns the bytes written in all.
// The caller has checked that PacketSize is not 0 and that the products fit.
ULONG RingReadStream(RingBuffer *DataRing, RingBuffer *DescriptorRing, PUCHAR Destination, ULONG PacketSize,
                     ULONG PacketCount);
