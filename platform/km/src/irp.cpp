// I/O request packets: allocation, the threaded requests that
// IoBuildDeviceIoControlRequest makes, passing a request down a device stack,
// completion with its upward walk through completion routines, cancellation,
// and the I/O manager's last stage that copies results back, signals the
// issuer and frees the packet.
#include "internal.h"
#include "slots.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <cstdlib>
#include <new>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/asan_interface.h>
#define KM_POISON(p, n) ASAN_POISON_MEMORY_REGION((p), (n))
#else
#define KM_POISON(p, n) ((void)(p), (void)(n))
#endif

namespace km::internal {
namespace {

// What the kernel keeps about a request packet, in front of the packet: it
// stays readable after the packet is freed, so that a late touch is told
// from a pointer that never was a packet.
struct RequestRecord {
  RequestOrigin origin;
  std::atomic<PDRIVER_OBJECT> owner;       // charged to this driver (may be null)
  std::shared_ptr<ThreadState> originator; // threaded and user requests
  std::size_t bytes;                       // packet size, locations included
  ULONG bufferedOutputLength;              // for the copy-back check
};

// Packets for up to 1, 2, 4, ... 128 stack locations.
SlotArena &Packets() {
  static SlotArena *arena = [] {
    std::vector<std::size_t> classes;
    for (std::size_t locations = 1; locations <= 128; locations *= 2) {
      classes.push_back(sizeof(IRP) + locations * sizeof(IO_STACK_LOCATION));
    }
    return new SlotArena(
        sizeof(RequestRecord), [](void *record) { new (record) RequestRecord{}; }, std::move(classes),
        std::size_t{256} << 20);
  }();
  return *arena;
}

// The I/O manager's buffers of buffered requests: up to 4 KiB from slots,
// longer ones from the heap. Bytes past the length asked for are poisoned
// under AddressSanitizer, as the heap's would be.
SlotArena &SystemBuffers() {
  static SlotArena *arena = [] {
    std::vector<std::size_t> classes;
    for (std::size_t bytes = 16; bytes <= 4096; bytes *= 2) classes.push_back(bytes);
    return new SlotArena(0, nullptr, std::move(classes), std::size_t{1} << 30);
  }();
  return *arena;
}

void *AllocateSystemBuffer(std::size_t length) {
  if (AllocationFails(km::kSystemBufferTag, false)) return nullptr;
  SlotArena &buffers = SystemBuffers();
  int sizeClass = buffers.ClassFor(length);
  void *buffer = sizeClass >= 0 ? buffers.Allocate(sizeClass) : nullptr;
  if (buffer == nullptr) return std::malloc(length);
  KM_POISON(static_cast<char *>(buffer) + length, buffers.BodyBytes(sizeClass) - length);
  return buffer;
}

void FreeSystemBuffer(void *buffer) {
  if (SystemBuffers().Contains(buffer)) {
    SystemBuffers().Free(buffer);
  } else {
    std::free(buffer);
  }
}

KSPIN_LOCK g_cancelLock = 0;

// The routine and device of a completion routine set with
// IoSetCompletionRoutineEx; the kernel's own routine runs it.
struct HeldCompletion {
  PIO_COMPLETION_ROUTINE routine;
  PVOID context;
  PDEVICE_OBJECT device;
};

NTSTATUS NTAPI RunHeldCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  auto *held = static_cast<HeldCompletion *>(Context);
  HeldCompletion copy = *held;
  delete held;
  NTSTATUS status = copy.routine(DeviceObject, Irp, copy.context);
  DereferenceDevice(copy.device);
  return status;
}

std::string Address(const void *p) {
  char text[32];
  std::snprintf(text, sizeof text, "%p", p);
  return text;
}

// Whether the request has been cancelled: read atomically, since IoCancelIrp
// may set it on another thread.
bool CancelSet(PIRP irp) { return std::atomic_ref<BOOLEAN>(irp->Cancel).load(); }

void InitializeStack(PIRP irp, USHORT packetSize, CCHAR stackSize) {
  irp->Type = IO_TYPE_IRP;
  irp->Size = packetSize;
  irp->StackCount = stackSize;
  irp->CurrentLocation = static_cast<CHAR>(stackSize + 1);
  irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(irp + 1) + stackSize;
  InitializeListHead(&irp->ThreadListEntry);
}

RequestRecord &RecordOf(PIRP irp) { return *static_cast<RequestRecord *>(Packets().RecordOf(irp)); }

void FreeMdlChain(PIRP irp) {
  PMDL mdl = irp->MdlAddress;
  while (mdl != nullptr) {
    PMDL next = mdl->Next;
    if (mdl->MdlFlags & MDL_PAGES_LOCKED) MmUnlockPages(mdl);
    IoFreeMdl(mdl);
    mdl = next;
  }
  irp->MdlAddress = nullptr;
}

// The I/O manager's last stage for a request it issued.
void FinishRequest(PIRP irp) {
  RequestRecord &record = RecordOf(irp);
  if (irp->Flags & IRP_BUFFERED_IO) {
    if (!NT_ERROR(irp->IoStatus.Status) && (irp->Flags & IRP_INPUT_OPERATION) && irp->UserBuffer != nullptr &&
        irp->IoStatus.Information != 0) {
      if (irp->IoStatus.Information > record.bufferedOutputLength) {
        BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a buffered request reported " + std::to_string(irp->IoStatus.Information) +
                     " bytes for an output buffer of " + std::to_string(record.bufferedOutputLength));
      }
      std::memcpy(irp->UserBuffer, irp->AssociatedIrp.SystemBuffer, irp->IoStatus.Information);
    }
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) FreeSystemBuffer(irp->AssociatedIrp.SystemBuffer);
    irp->AssociatedIrp.SystemBuffer = nullptr;
  }
  FreeMdlChain(irp);
  PKEVENT event = irp->UserEvent;
  if (irp->UserIosb != nullptr) *irp->UserIosb = irp->IoStatus;
  // A user-mode request is freed by the system service that issued it, once
  // it has checked what the dispatch routine returned against the outcome.
  if (record.origin != RequestOrigin::User) FreeRequest(irp);
  if (event != nullptr) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

PIRP AllocateRequest(CCHAR stackSize, RequestOrigin origin) {
  if (stackSize < 1 || AllocationFails(km::kRequestPacketTag, false)) return nullptr;
  std::size_t bytes = IoSizeOfIrp(stackSize);
  SlotArena &packets = Packets();
  void *block = packets.Allocate(packets.ClassFor(bytes));
  if (block == nullptr) return nullptr;
  std::memset(block, 0, bytes);
  auto irp = static_cast<PIRP>(block);
  InitializeStack(irp, static_cast<USHORT>(bytes), stackSize);
  RequestRecord &record = RecordOf(irp);
  record.origin = origin;
  record.owner.store(CurrentDriver(), std::memory_order_relaxed);
  record.bytes = bytes;
  record.bufferedOutputLength = 0;
  return irp;
}

void AdoptRequest(PIRP irp) {
  RequestRecord &record = RecordOf(irp);
  record.origin = RequestOrigin::User;
  record.originator = CurrentThreadHandle();
}

namespace {
[[noreturn]] void StopForDeadRequest(PIRP irp, const char *operation, SlotState state) {
  BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
           std::string(operation) + (state == SlotState::Freed ? " touched a request that was already freed: "
                                                               : " was given something that is not a request packet: ") +
               Address(irp));
}
}  // namespace

void CheckLiveRequest(PIRP irp, const char *operation) {
  SlotState state = Packets().StateOf(irp);
  if (state != SlotState::Live) StopForDeadRequest(irp, operation, state);
}

void FreeRequest(PIRP irp) {
  RequestRecord &record = RecordOf(irp);
  // Nothing of the issuer or the driver is kept past the packet's life.
  record.originator.reset();
  record.owner.store(nullptr, std::memory_order_relaxed);
  if (!Packets().Free(irp)) StopForDeadRequest(irp, "freeing a request", Packets().StateOf(irp));
}

}  // namespace km::internal

using namespace km::internal;

std::size_t km::RequestsInUseBy(PDRIVER_OBJECT driver) {
  std::size_t count = 0;
  Packets().ForEachLive([&](void *, void *record) {
    count += static_cast<RequestRecord *>(record)->owner.load(std::memory_order_relaxed) == driver;
  });
  return count;
}

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  UNREFERENCED_PARAMETER(ChargeQuota);
  return AllocateRequest(StackSize, RequestOrigin::Driver);
}

namespace {
void ReinitializeRequest(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  if (PacketSize < IoSizeOfIrp(StackSize) || PacketSize > RecordOf(Irp).bytes) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoInitializeIrp with a packet size that does not fit the request packet");
  }
  std::memset(Irp, 0, PacketSize);
  InitializeStack(Irp, PacketSize, StackSize);
}
}  // namespace

// IoInitializeIrp is for packets a driver allocated itself: one from
// IoAllocateIrp carries the I/O manager's allocation state, which only
// IoReuseIrp keeps.
VOID NTAPI IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  CheckLiveRequest(Irp, "IoInitializeIrp");
  if (RecordOf(Irp).origin == RequestOrigin::Driver) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoInitializeIrp of a request from IoAllocateIrp; reuse it with IoReuseIrp");
  }
  ReinitializeRequest(Irp, PacketSize, StackSize);
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  CheckLiveRequest(Irp, "IoReuseIrp");
  CCHAR stackSize = Irp->StackCount;
  ReinitializeRequest(Irp, Irp->Size, stackSize);
  Irp->IoStatus.Status = Iostatus;
}

VOID NTAPI IoFreeIrp(PIRP Irp) {
  CheckLiveRequest(Irp, "IoFreeIrp");
  if (Irp->CurrentLocation <= Irp->StackCount) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoFreeIrp of a request that a driver below still holds");
  }
  FreeMdlChain(Irp);
  FreeRequest(Irp);
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock) {
  if (DeviceObject == nullptr || (InputBuffer == nullptr && InputBufferLength != 0) ||
      (OutputBuffer == nullptr && OutputBufferLength != 0)) {
    return nullptr;
  }
  PIRP irp = AllocateRequest(DeviceObject->StackSize, RequestOrigin::Threaded);
  if (irp == nullptr) return nullptr;
  RequestRecord &record = RecordOf(irp);
  record.originator = CurrentThreadHandle();
  record.bufferedOutputLength = OutputBufferLength;

  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

  bool ok = true;
  switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
      ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
      if (length != 0) {
        irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(length);
        ok = irp->AssociatedIrp.SystemBuffer != nullptr;
        if (ok) std::memset(irp->AssociatedIrp.SystemBuffer, 0, length);
        if (ok && InputBufferLength != 0) std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER | (OutputBufferLength != 0 ? IRP_INPUT_OPERATION : 0);
      }
      irp->UserBuffer = OutputBuffer;
      break;
    }
    case METHOD_IN_DIRECT:
    case METHOD_OUT_DIRECT:
      if (InputBufferLength != 0) {
        irp->AssociatedIrp.SystemBuffer = AllocateSystemBuffer(InputBufferLength);
        ok = irp->AssociatedIrp.SystemBuffer != nullptr;
        if (ok) std::memcpy(irp->AssociatedIrp.SystemBuffer, InputBuffer, InputBufferLength);
        irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
      }
      if (ok && OutputBufferLength != 0) {
        irp->MdlAddress = IoAllocateMdl(OutputBuffer, OutputBufferLength, FALSE, FALSE, nullptr);
        ok = irp->MdlAddress != nullptr;
        // Windows probes an IN_DIRECT buffer for reading only: data goes from it to the device.
        LOCK_OPERATION access =
            METHOD_FROM_CTL_CODE(IoControlCode) == METHOD_IN_DIRECT ? IoReadAccess : IoWriteAccess;
        if (ok) MmProbeAndLockPages(irp->MdlAddress, KernelMode, access);
      }
      break;
    default:  // METHOD_NEITHER
      next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
      irp->UserBuffer = OutputBuffer;
      break;
  }
  if (!ok) {
    if (irp->Flags & IRP_DEALLOCATE_BUFFER) FreeSystemBuffer(irp->AssociatedIrp.SystemBuffer);
    FreeMdlChain(irp);
    FreeRequest(irp);
    return nullptr;
  }
  irp->UserIosb = IoStatusBlock;
  irp->UserEvent = Event;
  irp->RequestorMode = KernelMode;
  return irp;
}

namespace {

Hook<PDEVICE_OBJECT, PIRP> g_callDriverHook;

}  // namespace

void km::SetCallDriverHook(std::function<void(PDEVICE_OBJECT, PIRP)> hook) { g_callDriverHook.Set(std::move(hook)); }

namespace {

std::string Hex(NTSTATUS status) {
  char text[16];
  std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(status));
  return text;
}

// A dispatch routine that does not return STATUS_PENDING returns the status
// it completed the request with (or the one the driver below completed it
// with, when it passed the request on).
void CheckReturnedStatus(PIRP irp, NTSTATUS returned) {
  if (irp->CurrentLocation <= irp->StackCount) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a dispatch routine returned 0x" + Hex(returned) + " without completing the request");
  }
  if (returned != irp->IoStatus.Status) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a dispatch routine returned 0x" + Hex(returned) + " for a request it completed with 0x" +
                     Hex(irp->IoStatus.Status));
  }
}

}  // namespace

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  CheckLiveRequest(Irp, "IoCallDriver");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    km::BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", "IoCallDriver above DISPATCH_LEVEL");
  }
  Irp->CurrentLocation--;
  if (Irp->CurrentLocation <= 0) {
    km::BugCheck(kNoMoreIrpStackLocations, "NO_MORE_IRP_STACK_LOCATIONS",
                 "IoCallDriver of a request that has no stack location left");
  }
  PIO_STACK_LOCATION location = --Irp->Tail.Overlay.CurrentStackLocation;
  location->DeviceObject = DeviceObject;
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  if (location->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoCallDriver of a request with major function " + std::to_string(location->MajorFunction));
  }
  g_callDriverHook(DeviceObject, Irp);
  // Plug and Play and power requests that their sender allocated and keeps
  // (its completion routine takes them back): the rule of dispatch routines
  // is checked when the top of the stack returns, as for user requests.
  bool checked = Irp->CurrentLocation == Irp->StackCount && RecordOf(Irp).origin == RequestOrigin::Driver &&
                 (location->MajorFunction == IRP_MJ_PNP || location->MajorFunction == IRP_MJ_POWER);
  NTSTATUS status;
  {
    km::DriverScope scope(driver);
    status = driver->MajorFunction[location->MajorFunction](DeviceObject, Irp);
  }
  if (checked && status != STATUS_PENDING && Packets().StateOf(Irp) == SlotState::Live) CheckReturnedStatus(Irp, status);
  return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  UNREFERENCED_PARAMETER(PriorityBoost);
  CheckLiveRequest(Irp, "IoCompleteRequest");
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) {
    km::BugCheck(kIrqlNotLessOrEqual, "IRQL_NOT_LESS_OR_EQUAL", "IoCompleteRequest above DISPATCH_LEVEL");
  }
  if (Irp->CurrentLocation > Irp->StackCount + 1) {
    km::BugCheck(kMultipleIrpCompleteRequests, "MULTIPLE_IRP_COMPLETE_REQUESTS",
                 "a request was completed again after its completion: " + Address(Irp));
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a request was completed with STATUS_PENDING");
  }
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_ACQUIRE) != nullptr) {
    km::BugCheck(kCancelStateInCompletedIrp, "CANCEL_STATE_IN_COMPLETED_IRP",
                 "a request was completed while it still had a cancel routine");
  }

  // Walk up the stack, one location per driver, running the completion
  // routine that the driver above set, until one takes the request back.
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION location = Irp->Tail.Overlay.CurrentStackLocation;
    Irp->CurrentLocation++;
    Irp->Tail.Overlay.CurrentStackLocation++;
    Irp->PendingReturned = (location->Control & SL_PENDING_RETURNED) != 0;
    PIO_COMPLETION_ROUTINE routine = location->CompletionRoutine;
    PVOID context = location->Context;
    UCHAR control = location->Control;
    location->Control = 0;
    location->CompletionRoutine = nullptr;
    location->Context = nullptr;

    NTSTATUS status = Irp->IoStatus.Status;
    bool invoke = routine != nullptr && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                         (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                         (CancelSet(Irp) && (control & SL_INVOKE_ON_CANCEL)));
    bool hasUpper = Irp->CurrentLocation <= Irp->StackCount;
    if (invoke) {
      PDEVICE_OBJECT upper = hasUpper ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
      PDRIVER_OBJECT driver = upper != nullptr ? upper->DriverObject : RecordOf(Irp).owner.load(std::memory_order_relaxed);
      km::DriverScope scope(driver);
      bool held = routine == RunHeldCompletion;
      CompletionRoutineEntered(driver, held);
      NTSTATUS result = routine(upper, Irp, context);
      // The request may be gone now; only the driver is looked at.
      CompletionRoutineLeft(driver, held);
      if (result == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && hasUpper) {
      IoMarkIrpPending(Irp);
    }
  }
  // Past the top: the request is finished and belongs to whoever issued it.
  Irp->CurrentLocation = static_cast<CHAR>(Irp->StackCount + 2);
  RequestRecord &record = RecordOf(Irp);
  if (record.origin == RequestOrigin::Driver) {
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "a request allocated by a driver was completed past its top location; its completion "
                 "routine must return STATUS_MORE_PROCESSING_REQUIRED and free it");
  }
  std::shared_ptr<ThreadState> originator = record.originator;  // outlives the record
  RunOnOriginator(originator, Irp, FinishRequest);
}

NTSTATUS NTAPI IoSetCompletionRoutineEx(PDEVICE_OBJECT DeviceObject, PIRP Irp, PIO_COMPLETION_ROUTINE CompletionRoutine,
                                        PVOID Context, BOOLEAN InvokeOnSuccess, BOOLEAN InvokeOnError,
                                        BOOLEAN InvokeOnCancel) {
  auto *held = new (std::nothrow) HeldCompletion{CompletionRoutine, Context, DeviceObject};
  if (held == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  ReferenceDevice(DeviceObject);
  IoSetCompletionRoutine(Irp, RunHeldCompletion, held, InvokeOnSuccess, InvokeOnError, InvokeOnCancel);
  return STATUS_SUCCESS;
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql) { *Irql = KeAcquireSpinLockRaiseToDpc(&g_cancelLock); }

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&g_cancelLock, Irql); }

BOOLEAN NTAPI IoCancelIrp(PIRP Irp) {
  CheckLiveRequest(Irp, "IoCancelIrp");
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  // Atomic: a driver may cancel a request that another thread is sending
  // or completing, and both read the flag.
  std::atomic_ref<BOOLEAN>(Irp->Cancel).store(TRUE);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (routine == nullptr) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  PDEVICE_OBJECT device =
      Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : nullptr;
  {
    km::DriverScope scope(device != nullptr ? device->DriverObject : nullptr);
    routine(device, Irp);  // releases the cancel spin lock
  }
  if (SpinLockHeldByCurrentThread(&g_cancelLock)) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "a cancel routine returned without releasing the cancel spin lock");
  }
  return TRUE;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp) { CheckLiveRequest(Irp, "PoStartNextPowerIrp"); }

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
