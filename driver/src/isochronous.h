// Isochronous transfers and streaming: the context of one blocking transfer
// or stream, its transfer slots, and the routines both uses share.
#pragma once

#include "tavrin.h"

struct IsoStreamContext;

// Where a slot's request is between its sender and its completion routine.
// The sender marks it Sending around IofCallDriver; a completion routine
// that finds it so leaves the next step (send again, or retire) to the
// sender instead of taking it itself, so that transfers the bus completes at
// once never nest completion routines inside one another.
enum SlotStep : LONG {
  SlotIdle = 0,     // nobody is sending it: a completion routine carries on itself
  SlotSending = 1,  // its sender is inside IofCallDriver
  SlotResend = 2,   // completed and rebuilt while being sent: the sender sends it again
  SlotRetire = 3,   // completed for the last time while being sent: the sender retires it
};

// Who may touch a blocking transfer's slot request besides the bus: its
// completion routine while it rebuilds the request, or the handle's cleanup
// while it cancels it, never both (IoReuseIrp and IoCancelIrp must not meet).
enum SlotPin : LONG {
  SlotPinFree = 0,
  SlotPinRebuild = 1,      // the completion routine rebuilds the request
  SlotPinCancel = 2,       // cleanup cancels the request
  SlotPinCancelWanted = 3, // cleanup came during a rebuild: the rebuilt request is not sent
};

typedef struct IsoTransferSlot {
  ULONG NextPacket;                  // first packet of the chunk it carries now
  struct IsoStreamContext *Context;  // its context
  PURB Urb;                          // owned request block, GET_ISO_URB_SIZE(P) bytes
  PIRP Irp;                          // owned request, from IoAllocateIrp
  KEVENT Done;                       // blocking transfer: signalled when it retired
  volatile LONG Step;                // a SlotStep
  PIO_COMPLETION_ROUTINE Completion; // set on the request at each send
  volatile LONG Pin;                 // blocking transfer: a SlotPin
} IsoTransferSlot;

// What happens to a slot whose request finished for the last time.
typedef VOID (*SlotRetirement)(IsoTransferSlot *Slot);

typedef struct IsoStreamContext {
  PDEVICE_OBJECT Device;
  ULONG PacketSize;
  ULONG PacketCount;        // blocking transfer only
  PipeSnapshot Pipe;        // copied from the interface record at the start
  PUCHAR Buffer;            // the stream's own buffer, or the caller's mapped
  ULONG BufferSize;
  PUCHAR DescriptorArea;    // blocking transfer only, inside the caller's buffer; null when it is read-only
  ULONG PacketsPerTransfer;
  ULONG TransferCount;
  volatile LONG ActiveTransfers;  // stream only; the slot that brings it to 0 frees
  RingBuffer *DataRing;           // stream only
  RingBuffer *DescriptorRing;     // stream only
  IsoTransferSlot *Slots;         // TransferCount records
  CCHAR IrpStackSize;             // the lower device's stack size plus 1
  volatile LONG Stopping;         // stream: set by stop and by removal
  HandleRequest *Owner;           // blocking transfer: the request it serves
  volatile LONG EndStatus;        // blocking transfer: why it ended early, or STATUS_SUCCESS
} IsoStreamContext;

// The 20-byte IsoTransferRequest at the start of the input.
NTSTATUS ReadIsoRequest(const ControlCall *Call, IsoTransferRequest *Request);
// The pipe checks of the isochronous codes: a record is held (else
// STATUS_UNSUCCESSFUL), the index names a pipe of it (else
// STATUS_INVALID_PARAMETER), the pipe is isochronous (else
// STATUS_INVALID_PARAMETER) and has a handle (else STATUS_UNSUCCESSFUL).
NTSTATUS IsoPipe(const ControlCall *Call, ULONG PipeIndex, PipeSnapshot *Pipe);
// Checks what a blocking transfer and a stream start share: PacketSize, P and
// T non-zero, P at most TAVRIN_ISO_MAX_PACKETS_PER_TRANSFER, T at most
// TAVRIN_ISO_MAX_TRANSFERS_IN_FLIGHT, and the bytes in flight,
// P × T × PacketSize, at most TAVRIN_ISO_MAX_BYTES_IN_FLIGHT.
NTSTATUS CheckTransferShape(const IsoTransferRequest *Request);
// The three above in order, for the codes that start transfers: the request,
// its isochronous pipe, and its shape.
NTSTATUS ReadTransferRequest(const ControlCall *Call, IsoTransferRequest *Request, PipeSnapshot *Pipe);
// *Product = A × B when it fits in 32 bits.
BOOLEAN MultiplyFits(ULONG A, ULONG B, ULONG *Product);
// *Bytes = PacketCount × (PacketSize + 12), the packets with their
// descriptors, when it fits in 32 bits.
BOOLEAN PacketBytesFit(const IsoTransferRequest *Request, ULONG *Bytes);
// The caller's output buffer at a system address, or null.
PUCHAR CallerBuffer(const ControlCall *Call);

// Allocates slot i's request block and request and builds them for its first
// chunk; STATUS_INSUFFICIENT_RESOURCES with nothing of the slot left allocated.
NTSTATUS BuildSlot(IsoStreamContext *Context, ULONG Index, PIO_COMPLETION_ROUTINE Completion);
// Builds the slot's block and request again for the chunk at NextPacket.
VOID RebuildSlot(IsoTransferSlot *Slot);
// Frees the slot's request and block (either may be missing).
VOID ReleaseSlot(IsoTransferSlot *Slot);
// Sends the slot's request to the lower device and goes on sending it while
// completions that finish during the send ask for that; retires it when one
// asks for that. The slot may be gone when this returns.
VOID SendSlot(IsoTransferSlot *Slot, SlotRetirement Retire);
// The end of a completion routine: `Step` is SlotResend (the slot has been
// rebuilt) or SlotRetire. Returns STATUS_MORE_PROCESSING_REQUIRED.
NTSTATUS ContinueSlot(IsoTransferSlot *Slot, LONG Step, SlotRetirement Retire);
