// Requests from user mode: opening a device by name, device-control requests
// on an open file, and closing it. This is the layer below kernel32: it turns
// each call into a request packet sent to the top of the device's stack and
// waits for it, as the Windows system services do for synchronous handles.
#include "internal.h"

#include <atomic>
#include <unordered_set>

namespace km {
namespace {

using namespace internal;

std::mutex g_filesLock;
std::unordered_set<PFILE_OBJECT> g_files;
std::function<void(PDEVICE_OBJECT)> g_lastCloseObserver;
std::atomic<std::size_t> g_fileObjects{0};

bool IsOpenFile(PFILE_OBJECT file) {
  std::lock_guard guard(g_filesLock);
  return g_files.count(file) != 0;
}

// Sends a request the I/O manager built and waits until it is finished.
NTSTATUS SendAndWait(PDEVICE_OBJECT top, PIRP irp, KEVENT *done, IO_STATUS_BLOCK *iosb) {
  NTSTATUS status = IofCallDriver(top, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(done, Executive, UserMode, FALSE, nullptr);
  } else if (KeReadStateEvent(done) == 0) {
    BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
             "a dispatch routine returned a status other than STATUS_PENDING without completing the request");
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
  auto *opened = new FILE_OBJECT{};
  ++g_fileObjects;
  opened->Type = IO_TYPE_FILE;
  opened->Size = sizeof(FILE_OBJECT);
  opened->DeviceObject = device;
  NTSTATUS status = SendFileRequest(opened, IRP_MJ_CREATE);
  if (!NT_SUCCESS(status)) {
    DereferenceDevice(device);
    delete opened;
    --g_fileObjects;
    return status;
  }
  {
    std::lock_guard guard(g_filesLock);
    g_files.insert(opened);
    ++StateOf(device).openFiles;
  }
  *file = opened;
  return status;
}

NTSTATUS DeviceControl(PFILE_OBJECT file, ULONG code, const void *input, ULONG inputLength, void *output,
                       ULONG outputLength, ULONG_PTR *information) {
  if (!IsOpenFile(file)) return STATUS_INVALID_HANDLE;
  if ((input == nullptr && inputLength != 0) || (output == nullptr && outputLength != 0)) {
    return STATUS_ACCESS_VIOLATION;  // what probing a missing buffer gives on Windows
  }
  PDEVICE_OBJECT device = file->DeviceObject;
  if (DeviceGone(device)) return STATUS_NO_SUCH_DEVICE;
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
  return status;
}

void CloseFile(PFILE_OBJECT file) {
  {
    std::lock_guard guard(g_filesLock);
    if (g_files.erase(file) == 0) return;
  }
  PDEVICE_OBJECT device = file->DeviceObject;
  // A deleted device's driver no longer expects requests for it.
  if (!DeviceGone(device)) {
    SendFileRequest(file, IRP_MJ_CLEANUP);
    SendFileRequest(file, IRP_MJ_CLOSE);
  }
  bool last;
  std::function<void(PDEVICE_OBJECT)> observer;
  {
    std::lock_guard guard(g_filesLock);
    last = --StateOf(device).openFiles == 0;
    observer = g_lastCloseObserver;
  }
  if (last && observer) observer(device);
  DereferenceDevice(device);
  delete file;
  --g_fileObjects;
}

std::size_t FileObjectsInUse() { return g_fileObjects.load(); }

std::size_t OpenFileCount(PDEVICE_OBJECT device) {
  std::lock_guard guard(g_filesLock);
  std::size_t count = 0;
  for (PFILE_OBJECT file : g_files) count += InStack(file->DeviceObject, device);
  return count;
}

std::size_t OpenFileCount() {
  std::lock_guard guard(g_filesLock);
  return g_files.size();
}

void SetLastCloseObserver(std::function<void(PDEVICE_OBJECT)> observer) {
  std::lock_guard guard(g_filesLock);
  g_lastCloseObserver = std::move(observer);
}

}  // namespace km
