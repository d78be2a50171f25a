// The device-control requests under way, listed under the handle (file
// object) each came on. A handle's cleanup cancels exactly its own requests,
// as IRP_MJ_CLEANUP asks of a driver: the bus request each is waiting on is
// cancelled with IoCancelIrp, whether it is still being sent, waiting at the
// bus or finishing, and a request that has not sent anything yet sends
// nothing. Other handles' requests on the same pipes go on untouched; whole
// pipes are aborted only at removal, by a reset and by the pipe-abort code.
//
// Lifetimes: the list lock is held while cleanup cancels, and a request is
// taken off the list (under the same lock) before its bus requests are
// freed, so cleanup never cancels a freed request. Completion routines never
// take the lock: a cancel may complete a bus request inside IoCancelIrp.
#include "isochronous.h"

namespace {

// The file object's FsContext2 belongs to the driver that opened it: set
// once its cleanup has begun.
#define TAVRIN_FILE_CLEANED_UP (reinterpret_cast<PVOID>(1))

}  // namespace

VOID InitializeHandleRequests(DeviceExtension *Extension) {
  KeInitializeSpinLock(&Extension->HandleRequestLock);
  InitializeListHead(&Extension->HandleRequests);
}

NTSTATUS BeginHandleRequest(ControlCall *Call) {
  HandleRequest *request = &Call->Request;
  request->File = IoGetCurrentIrpStackLocation(Call->Irp)->FileObject;
  request->BusIrp = NULL;
  request->Iso = NULL;
  request->Cancelled = 0;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Call->Extension->HandleRequestLock);
  if (request->File != NULL && request->File->FsContext2 == TAVRIN_FILE_CLEANED_UP) {
    status = STATUS_CANCELLED;
    InitializeListHead(&request->Link);  // so that ending it is harmless
  } else {
    InsertTailList(&Call->Extension->HandleRequests, &request->Link);
  }
  KeReleaseSpinLock(&Call->Extension->HandleRequestLock, oldIrql);
  return status;
}

VOID EndHandleRequest(ControlCall *Call) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Call->Extension->HandleRequestLock);
  RemoveEntryList(&Call->Request.Link);
  InitializeListHead(&Call->Request.Link);
  KeReleaseSpinLock(&Call->Extension->HandleRequestLock, oldIrql);
}

BOOLEAN AttachBusRequest(DeviceExtension *Extension, HandleRequest *Owner, PIRP Irp) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->HandleRequestLock);
  BOOLEAN attached = Owner->Cancelled == 0;
  if (attached) Owner->BusIrp = Irp;
  KeReleaseSpinLock(&Extension->HandleRequestLock, oldIrql);
  return attached;
}

VOID DetachBusRequest(DeviceExtension *Extension, HandleRequest *Owner) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->HandleRequestLock);
  Owner->BusIrp = NULL;
  KeReleaseSpinLock(&Extension->HandleRequestLock, oldIrql);
}

BOOLEAN AttachIsoTransfer(DeviceExtension *Extension, HandleRequest *Owner, IsoStreamContext *Context) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->HandleRequestLock);
  BOOLEAN attached = Owner->Cancelled == 0;
  if (attached) Owner->Iso = Context;
  KeReleaseSpinLock(&Extension->HandleRequestLock, oldIrql);
  return attached;
}

VOID CancelHandleRequests(DeviceExtension *Extension, PFILE_OBJECT File) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Extension->HandleRequestLock);
  File->FsContext2 = TAVRIN_FILE_CLEANED_UP;
  for (PLIST_ENTRY link = Extension->HandleRequests.Flink; link != &Extension->HandleRequests; link = link->Flink) {
    HandleRequest *request = CONTAINING_RECORD(link, HandleRequest, Link);
    if (request->File != File) continue;
    // Set before the cancel: whoever finds its bus request back from now on
    // sends nothing more for it.
    InterlockedExchange(&request->Cancelled, 1);
    if (request->BusIrp != NULL) IoCancelIrp(request->BusIrp);
    if (request->Iso != NULL) CancelIsoSlots(request->Iso);
  }
  KeReleaseSpinLock(&Extension->HandleRequestLock, oldIrql);
}
