// Tavrin.sys: the per-device state and the routines its parts share. The
// driver is written against the platform's kernel and USB headers only, so
// the same sources build for Windows and for the embedded kernel.
#pragma once

#include <ntddk.h>
#include <usb.h>
#include <usbioctl.h>
extern "C" {
#include <usbdlib.h>
}

#include <tavrin_ioctl.h>

// The embedded kernel finds DriverEntry among the module's exports; on
// Windows it is the image's entry point.
#ifdef _WIN32
#define TAVRIN_DRIVER_ENTRY
#else
#define TAVRIN_DRIVER_ENTRY __attribute__((visibility("default")))
#endif

// Pool tag 'Tavn', as it shows in pool listings.
#define TAVRIN_POOL_TAG 0x6E766154u

// Units: the one-character suffix of the names, 0x30 + k for k = 0 to 15.
#define TAVRIN_UNIT_COUNT 16
#define TAVRIN_DEVICE_NAME_CHARS 16  // "\Device\Tavrin-0"
#define TAVRIN_LINK_NAME_CHARS 20    // "\DosDevices\Tavrin-0"

// The largest transfer asked for on every pipe at configuration.
#define TAVRIN_MAXIMUM_TRANSFER_SIZE 0xFFFF

#include "ring_buffer.h"

struct IsoStreamContext;

typedef struct DeviceExtension {
  PDEVICE_OBJECT PhysicalDeviceObject;
  PDEVICE_OBJECT LowerDeviceObject;
  volatile LONG Started;  // read and written only with interlocked operations
  UCHAR LinkCreated;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  PUSBD_INTERFACE_INFORMATION InterfaceRecord;  // replaced only under RecordLock
  WCHAR LinkName[TAVRIN_LINK_NAME_CHARS + 1];
  LONG LastUsbdStatus;
  LONG PendingIoCount;
  KEVENT RemoveEvent;
  volatile LONG Removing;  // read and written only with interlocked operations
  // Set at surprise removal: the device is gone, so new opens are refused
  // and its name goes as soon as the handles already open are closed.
  volatile LONG SurpriseRemoved;
  struct RingBuffer *StreamDataRing;
  struct RingBuffer *StreamDescriptorRing;
  // Guards InterfaceRecord: readers copy what they need under it, so that a
  // select-interface request never frees a record another request reads.
  KSPIN_LOCK RecordLock;
  // Guards Stream and the two ring references: a stream read
  // copies out of the rings under it, and the stream's last slot detaches
  // the rings under it before it frees them.
  KSPIN_LOCK StreamLock;
  struct IsoStreamContext *Stream;  // the stream whose rings are published
  // Signalled while no stream is alive: cleared when a stream starts, set by
  // its last slot once everything is freed. Removal waits for it.
  KEVENT StreamIdle;
  // The device-control requests under way, each with the handle (file
  // object) it came on and what it has sent to the bus (HandleRequest).
  KSPIN_LOCK HandleRequestLock;
  LIST_ENTRY HandleRequests;
} DeviceExtension;

// METHOD_IN_DIRECT codes: the caller's buffer is locked for reading only,
// so nothing may be written into it (FILE_ANY_ACCESS lets any program send
// them, on pages it may only read).
inline BOOLEAN CallerBufferIsReadOnly(ULONG Code) { return METHOD_FROM_CTL_CODE(Code) == METHOD_IN_DIRECT; }

inline DeviceExtension *ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<DeviceExtension *>(DeviceObject->DeviceExtension);
}

// What a request needs of one pipe entry of the interface record.
typedef struct PipeSnapshot {
  USBD_PIPE_HANDLE PipeHandle;
  UCHAR EndpointAddress;
  USBD_PIPE_TYPE PipeType;
  ULONG MaximumTransferSize;
} PipeSnapshot;

// A device-control request under way, listed under the handle it came on
// from its dispatch to its completion, so that the handle's cleanup can
// cancel what it has sent to the bus, whatever stage it has reached. Lives
// on the dispatch routine's stack; its fields change only under the
// device's HandleRequestLock.
typedef struct HandleRequest {
  LIST_ENTRY Link;
  PFILE_OBJECT File;
  PIRP BusIrp;                      // the one request at the bus now, or null
  struct IsoStreamContext *Iso;     // a blocking isochronous transfer's slots, or null
  volatile LONG Cancelled;          // the handle has been cleaned up
} HandleRequest;

// One device-control request, as its handler sees it.
typedef struct ControlCall {
  PDEVICE_OBJECT Device;
  DeviceExtension *Extension;
  PIRP Irp;
  ULONG Code;
  ULONG InputLength;
  ULONG OutputLength;
  PUCHAR SystemBuffer;
  ULONG_PTR Information;  // the byte count reported with a success
  HandleRequest Request;  // listed under its handle while the handler runs
} ControlCall;

// ---- Memory ----------------------------------------------------------------
PVOID AllocateZeroed(SIZE_T Bytes);
VOID FreePool(PVOID Block);

// ---- Request tracking and power ---------------------------------------------
BOOLEAN AcquireIoReference(DeviceExtension *Extension);
VOID ReleaseIoReference(DeviceExtension *Extension);
DRIVER_DISPATCH TavrinPower;
// Windows Management Instrumentation requests: this driver serves none, so
// they go to the bus driver, as every function driver must pass them.
DRIVER_DISPATCH TavrinSystemControl;

// A flag shared between threads, read and set with full barriers.
inline BOOLEAN ReadFlag(volatile LONG *Flag) { return InterlockedCompareExchange(Flag, 0, 0) != 0; }
inline VOID SetFlag(volatile LONG *Flag, BOOLEAN Value) { InterlockedExchange(Flag, Value ? 1 : 0); }

// ---- Plug and Play and configuration -----------------------------------------
DRIVER_DISPATCH TavrinPnp;
NTSTATUS ForwardAndWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS ConfigureDevice(PDEVICE_OBJECT DeviceObject);
NTSTATUS SelectInterface(PDEVICE_OBJECT DeviceObject, UCHAR InterfaceNumber, UCHAR AlternateSetting);
// The pipe entry `Index` of the record: STATUS_UNSUCCESSFUL when no record is
// held, STATUS_INVALID_PARAMETER when the index is not below NumberOfPipes.
NTSTATUS ReadPipe(DeviceExtension *Extension, ULONG Index, PipeSnapshot *Pipe);
// Copies the record to `Buffer`: *Length 0 when none is held,
// STATUS_BUFFER_TOO_SMALL when it does not fit.
NTSTATUS CopyInterfaceRecord(DeviceExtension *Extension, PVOID Buffer, ULONG Capacity, ULONG *Length);
// Replaces the record (null: none held) and frees the old one.
VOID ReplaceInterfaceRecord(DeviceExtension *Extension, PUSBD_INTERFACE_INFORMATION Record);

// ---- Requests to the bus driver -----------------------------------------------
NTSTATUS SubmitUrb(PDEVICE_OBJECT DeviceObject, PURB Urb);
NTSTATUS SubmitUrbTimed(PDEVICE_OBJECT DeviceObject, PURB Urb);
// SubmitUrb or (Timed) SubmitUrbTimed on behalf of a handle's request, which
// its handle's cleanup cancels; STATUS_CANCELLED when that has happened
// already and nothing was sent.
NTSTATUS SubmitUrbForRequest(PDEVICE_OBJECT DeviceObject, HandleRequest *Owner, PURB Urb, BOOLEAN Timed);
NTSTATUS AbortPipe(PDEVICE_OBJECT DeviceObject, USBD_PIPE_HANDLE PipeHandle);
USHORT PipeRequestLength();
// Reads a descriptor into `Buffer`; *Received is the byte count (0 on failure).
NTSTATUS ReadDescriptor(PDEVICE_OBJECT DeviceObject, UCHAR DescriptorType, UCHAR Index, USHORT LanguageId,
                        PVOID Buffer, ULONG Length, ULONG *Received);
NTSTATUS ResetPort(PDEVICE_OBJECT DeviceObject);

// ---- Handles and the requests they have under way ---------------------------------
VOID InitializeHandleRequests(DeviceExtension *Extension);
// Lists the call's request under its handle; STATUS_CANCELLED (nothing
// listed) when the handle has been cleaned up already.
NTSTATUS BeginHandleRequest(ControlCall *Call);
// Takes the request off its handle's list: from here on the handle's
// cleanup no longer touches what it had sent to the bus.
VOID EndHandleRequest(ControlCall *Call);
// Notes the bus request the owner is about to send (FALSE, nothing noted,
// when the owner has been cancelled: it must not be sent), and forgets it
// once it has come back, before the request is freed.
BOOLEAN AttachBusRequest(DeviceExtension *Extension, HandleRequest *Owner, PIRP Irp);
VOID DetachBusRequest(DeviceExtension *Extension, HandleRequest *Owner);
// Notes a blocking isochronous transfer's slots, which cleanup cancels.
BOOLEAN AttachIsoTransfer(DeviceExtension *Extension, HandleRequest *Owner, struct IsoStreamContext *Context);
inline BOOLEAN RequestCancelled(HandleRequest *Owner) {
  return Owner != NULL && InterlockedCompareExchange(&Owner->Cancelled, 0, 0) != 0;
}
// A handle's cleanup: cancels exactly the requests that came on it.
VOID CancelHandleRequests(DeviceExtension *Extension, PFILE_OBJECT File);

// ---- Device control ----------------------------------------------------------
DRIVER_DISPATCH TavrinDeviceControl;
NTSTATUS BulkOrInterruptTransfer(ControlCall *Call);
NTSTATUS ResetPipeRequest(ControlCall *Call);
NTSTATUS AbortPipeRequest(ControlCall *Call);
NTSTATUS ResetPortRequest(ControlCall *Call);
NTSTATUS DeviceDescriptorRequest(ControlCall *Call);
NTSTATUS ConfigurationDescriptorRequest(ControlCall *Call);
NTSTATUS StringDescriptorCall(ControlCall *Call);
NTSTATUS VendorDeviceRequestCall(ControlCall *Call);
NTSTATUS ClassOrVendorRequest(ControlCall *Call);
NTSTATUS SetFeatureRequest(ControlCall *Call);
NTSTATUS FrameNumberRequest(ControlCall *Call);

// ---- Isochronous transfers and streaming ---------------------------------------
// IOCTL_INSTR_ISO_READ and IOCTL_INSTR_ISO_WRITE.
NTSTATUS IsoTransferCall(ControlCall *Call);
NTSTATUS StartIsoStreamCall(ControlCall *Call);
NTSTATUS ReadIsoStreamCall(ControlCall *Call);
NTSTATUS StopIsoStreamCall(ControlCall *Call);
// Add-device: no stream, StreamIdle signalled.
VOID InitializeStreamState(DeviceExtension *Extension);
// Removal, once no request is inside the driver: stops the stream and waits
// until its last slot has retired and freed it.
VOID EndStreamForRemoval(DeviceExtension *Extension);
// Tells a running stream's slots to retire (the last one frees the stream).
VOID StopRunningStream(DeviceExtension *Extension);
// Cleanup of a handle whose blocking isochronous transfer is under way:
// cancels each slot's request at the bus.
VOID CancelIsoSlots(struct IsoStreamContext *Context);
