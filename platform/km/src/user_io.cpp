// Requests from user mode: opening a device by name, device-control requests
// on an open file, and closing it. This is the layer below kernel32: it turns
// each call into a request packet sent to the top of the device's stack and
// waits for it, as the Windows system services do for synchronous handles.
#include "internal.h"
#include "slots.h"

#include <atomic>
#include <cstdio>
#include <new>

namespace km {
namespace {

using namespace internal;

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
  return text;
}

// An open file object: the handle that user mode holds on it, and the
// requests under way on it. IRP_MJ_CLEANUP goes when the handle closes,
// IRP_MJ_CLOSE and the object's end when the last request has finished too,
// so that a request still blocked in a driver never sees its file go. Both
// live in one word in front of the object, changed with compare-and-swap.
struct FileRecord {
  static constexpr std::uint64_t kOpened = std::uint64_t{1} << 63;      // created, until its end
  static constexpr std::uint64_t kHandleOpen = std::uint64_t{1} << 62;  // the handle is not closed
  static constexpr std::uint64_t kReferences = kHandleOpen - 1;  // the handle's, and one per request under way
  std::atomic<std::uint64_t> state{0};
  // The device opened, for counting: read while other threads reuse slots.
  std::atomic<PDEVICE_OBJECT> device{nullptr};
};

SlotArena &Files() {
  static SlotArena *arena = new SlotArena(
      sizeof(FileRecord), [](void *record) { new (record) FileRecord{}; }, {sizeof(FILE_OBJECT)},
      std::size_t{64} << 20);
  return *arena;
}

FileRecord &RecordOf(PFILE_OBJECT file) { return *static_cast<FileRecord *>(Files().RecordOf(file)); }

// Told of each device's last close; replaced rarely.
Hook<PDEVICE_OBJECT> g_lastCloseObserver;

bool IsOpenFile(PFILE_OBJECT file) {
  return Files().StateOf(file) == SlotState::Live &&
         (RecordOf(file).state.load(std::memory_order_acquire) & FileRecord::kHandleOpen) != 0;
}

// Takes a reference for one request on a file whose handle is open.
bool ReferenceOpenFile(PFILE_OBJECT file) {
  if (Files().StateOf(file) != SlotState::Live) return false;
  std::atomic<std::uint64_t> &state = RecordOf(file).state;
  std::uint64_t seen = state.load(std::memory_order_acquire);
  do {
    if ((seen & FileRecord::kHandleOpen) == 0) return false;
  } while (!state.compare_exchange_weak(seen, seen + 1, std::memory_order_acq_rel, std::memory_order_acquire));
  return true;
}

// The file object's end: IRP_MJ_CLOSE, and the device's last-close news.
void FinishFile(PFILE_OBJECT file);

void ReleaseFile(PFILE_OBJECT file) {
  std::atomic<std::uint64_t> &state = RecordOf(file).state;
  std::uint64_t seen = state.load(std::memory_order_acquire);
  std::uint64_t next;
  do {
    next = (seen & FileRecord::kReferences) == 1 ? 0 : seen - 1;
  } while (!state.compare_exchange_weak(seen, next, std::memory_order_acq_rel, std::memory_order_acquire));
  if (next == 0) FinishFile(file);
}

// Sends a request the I/O manager built and waits until it is finished.
// Windows' own rule for dispatch routines is checked on the way: a routine
// returns STATUS_PENDING exactly when it marked the request pending, and
// any other status it returns is the one it completed the request with.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, PIRP irp, KEVENT *done, IO_STATUS_BLOCK *iosb) {
  NTSTATUS status = IofCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(done, Executive, UserMode, FALSE, nullptr);
  } else if (KeReadStateEvent(done) == 0) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             "a dispatch routine returned a status other than STATUS_PENDING without completing the request");
  }
  bool markedPending = irp->PendingReturned != 0;
  FreeRequest(irp);
  if ((status == STATUS_PENDING) != markedPending) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             status == STATUS_PENDING ? "a dispatch routine returned STATUS_PENDING for a request it did not mark pending"
                                      : "a dispatch routine marked a request pending but returned 0x" + Hex(status));
  }
  if (status != STATUS_PENDING && status != iosb->Status) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             "a dispatch routine returned 0x" + Hex(status) + " for a request it completed with 0x" +
                 Hex(iosb->Status));
  }
  return iosb->Status;
}

// A request with no buffers (create, cleanup, close) for one file.
NTSTATUS SendFileRequest(PFILE_OBJECT file, UCHAR major) {
  PDEVICE_OBJECT top = TopOfStack(file->DeviceObject);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  PIRP irp = AllocateRequest(top->StackSize, RequestOrigin::User);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->FileObject = file;
  irp->RequestorMode = UserMode;
  irp->UserIosb = &iosb;
  irp->UserEvent = &done;
  irp->Tail.Overlay.OriginalFileObject = file;
  AdoptRequest(irp);
  return SendAndWait(top, irp, &done, &iosb);
}

void FinishFile(PFILE_OBJECT file) {
  PDEVICE_OBJECT device = file->DeviceObject;
  // A deleted device's driver no longer expects requests for it.
  if (!DeviceGone(device)) SendFileRequest(file, IRP_MJ_CLOSE);
  bool last = StateOf(device).openFiles.fetch_sub(1, std::memory_order_acq_rel) == 1;
  if (last) g_lastCloseObserver(device);
  DereferenceDevice(device);
  Files().Free(file);
}

bool InStack(PDEVICE_OBJECT opened, PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT d = opened; d != nullptr; d = StateOf(d).attachedTo) {
    if (d == device) return true;
  }
  return false;
}

}  // namespace

NTSTATUS OpenFile(std::u16string_view ntPath, PFILE_OBJECT *file) {
  if (file == nullptr) return STATUS_INVALID_PARAMETER;
  *file = nullptr;
  EnsureBooted();
  PDEVICE_OBJECT device = LookupAndReferenceDevice(ntPath);
  if (device == nullptr) return STATUS_OBJECT_NAME_NOT_FOUND;
  if (DeviceGone(device)) {
    DereferenceDevice(device);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (AllocationFails(kFileObjectTag, false)) {
    DereferenceDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  auto *opened = static_cast<PFILE_OBJECT>(Files().Allocate(0));
  if (opened == nullptr) {
    DereferenceDevice(device);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  new (opened) FILE_OBJECT{};
  opened->Type = IO_TYPE_FILE;
  opened->Size = sizeof(FILE_OBJECT);
  opened->DeviceObject = device;
  NTSTATUS status = SendFileRequest(opened, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    DereferenceDevice(device);
    Files().Free(opened);
    return status;
  }
  StateOf(device).openFiles.fetch_add(1, std::memory_order_acq_rel);
  RecordOf(opened).device.store(device, std::memory_order_relaxed);
  RecordOf(opened).state.store(FileRecord::kOpened | FileRecord::kHandleOpen | 1, std::memory_order_release);
  *file = opened;
  return status;
}

NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void *input, ULONG inputLength, void *output,
                       ULONG outputLength, ULONG_PTR *information) {
  if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0)) {
    return IsOpenFile(file) ? STATUS_ACCESS_VIOLATION : STATUS_INVALID_HANDLE;  // as probing a missing buffer
  }
  if (!ReferenceOpenFile(file)) return STATUS_INVALID_HANDLE;
  PDEVICE_OBJECT device = file->DeviceObject;
  if (DeviceGone(device)) {
    ReleaseFile(file);
    return STATUS_NO_SUCH_DEVICE;
  }
  ReferenceDevice(device);
  PDEVICE_OBJECT top = TopOfStack(device);
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IO_STATUS_BLOCK iosb{};
  NTSTATUS status;
  PIRP irp = IoBuildDeviceIoControlRequest(code, top, const_cast<void *>(input), inputLength, output, outputLength,
                                           FALSE, &done, &iosb);
  if (irp == nullptr) {
    status = STATUS_INSUFFICIENT_RESOURCES;
  } else {
    irp->RequestorMode = UserMode;
    IoGetNextIrpStackLocation(irp)->FileObject = file;
    irp->Tail.Overlay.OriginalFileObject = file;
    AdoptRequest(irp);
    status = SendAndWait(top, irp, &done, &iosb);
    if (information != nullptr) *information = iosb.Information;
  }
  DereferenceDevice(device);
  ReleaseFile(file);
  return status;
}

void CloseFile(PFILE_OBJECT file) {
  if (Files().StateOf(file) != SlotState::Live) return;
  // The handle's reference now covers the cleanup.
  if ((RecordOf(file).state.fetch_and(~FileRecord::kHandleOpen, std::memory_order_acq_rel) &
       FileRecord::kHandleOpen) == 0) {
    return;
  }
  // The driver ends the file's requests at cleanup; the object stays until
  // the last of them has finished.
  if (!DeviceGone(file->DeviceObject)) SendFileRequest(file, IRP_MJ_CLEANUP);
  ReleaseFile(file);
}

bool ReferenceFile(PFILE_OBJECT file) { return ReferenceOpenFile(file); }

void ReleaseFileReference(PFILE_OBJECT file) { ReleaseFile(file); }

std::size_t FileObjectsInUse() {
  std::size_t count = 0;
  Files().ForEachLive([&](void *, void *) { ++count; });
  return count;
}

std::size_t OpenFileCount(PDEVICE_OBJECT device) {
  std::size_t count = 0;
  Files().ForEachLive([&](void *, void *record) {
    auto *file = static_cast<FileRecord *>(record);
    if (file->state.load(std::memory_order_acquire) == 0) return;
    count += InStack(file->device.load(std::memory_order_relaxed), device);
  });
  return count;
}

std::size_t OpenFileCount() {
  std::size_t count = 0;
  Files().ForEachLive([&](void *, void *record) {
    count += static_cast<FileRecord *>(record)->state.load(std::memory_order_acquire) != 0;
  });
  return count;
}

void SetLastCloseObserver(std::function<void(PDEVICE_OBJECT)> observer) {
  g_lastCloseObserver.Set(std::move(observer));
}

}  // namespace km
