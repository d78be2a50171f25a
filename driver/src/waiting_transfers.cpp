// The transfers that requests of each handle are blocked on. A handle's
// cleanup (its last close) aborts their pipes, so that closing a handle
// never leaves a thread blocked in the driver for good; a request that
// arrives on a handle already cleaned up is not sent at all.
#include "tavrin.h"

namespace {

// The file object's FsContext2 belongs to the driver that opened it: set
// once its cleanup has begun.
#define TAVRIN_FILE_CLEANED_UP (reinterpret_cast<PVOID>(1))

constexpr ULONG kMostPipes = 32;  // an interface has at most 30 endpoints

}  // namespace

VOID InitializeWaitingTransfers(DeviceExtension *Extension) {
  KeInitializeSpinLock(&Extension->WaitingLock);
  InitializeListHead(&Extension->WaitingTransfers);
}

NTSTATUS BeginWaitingTransfer(ControlCall *Call, USBD_PIPE_HANDLE Pipe, WaitingTransfer *Entry) {
  Entry->File = IoGetCurrentIrpStackLocation(Call->Irp)->FileObject;
  Entry->Pipe = Pipe;
  NTSTATUS status = STATUS_SUCCESS;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Call->Extension->WaitingLock);
  if (Entry->File != NULL && Entry->File->FsContext2 == TAVRIN_FILE_CLEANED_UP) {
    status = STATUS_CANCELLED;
  } else {
    InsertTailList(&Call->Extension->WaitingTransfers, &Entry->Link);
  }
  KeReleaseSpinLock(&Call->Extension->WaitingLock, oldIrql);
  return status;
}

VOID EndWaitingTransfer(ControlCall *Call, WaitingTransfer *Entry) {
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&Call->Extension->WaitingLock);
  RemoveEntryList(&Entry->Link);
  KeReleaseSpinLock(&Call->Extension->WaitingLock, oldIrql);
}

VOID AbortWaitingTransfers(PDEVICE_OBJECT DeviceObject, PFILE_OBJECT File) {
  DeviceExtension *extension = ExtensionOf(DeviceObject);
  USBD_PIPE_HANDLE pipes[kMostPipes];
  ULONG count = 0;
  KIRQL oldIrql = KeAcquireSpinLockRaiseToDpc(&extension->WaitingLock);
  File->FsContext2 = TAVRIN_FILE_CLEANED_UP;
  for (PLIST_ENTRY link = extension->WaitingTransfers.Flink; link != &extension->WaitingTransfers;
       link = link->Flink) {
    WaitingTransfer *entry = CONTAINING_RECORD(link, WaitingTransfer, Link);
    if (entry->File != File) continue;
    BOOLEAN listed = FALSE;
    for (ULONG i = 0; i < count && !listed; ++i) listed = pipes[i] == entry->Pipe;
    if (!listed && count < kMostPipes) pipes[count++] = entry->Pipe;
  }
  KeReleaseSpinLock(&extension->WaitingLock, oldIrql);
  // Removal aborts every pipe itself; once it has begun there is nothing to do.
  if (count == 0 || !AcquireIoReference(extension)) return;
  for (ULONG i = 0; i < count; ++i) AbortPipe(DeviceObject, pipes[i]);
  ReleaseIoReference(extension);
}
