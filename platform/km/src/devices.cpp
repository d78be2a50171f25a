// Device objects: creation with a zeroed extension and an optional name,
// stacking and unstacking, and deletion. A deleted device stays in memory
// while files or requests still refer to it; the last reference frees it.
// References, the deletion mark and the stack links are atomic, so that the
// request path (referencing, checking and finding the top of a stack) takes
// no lock; the devices lock orders changes to stacks and driver lists.
#include "internal.h"

#include <atomic>

#include <cstdlib>
#include <cstring>
#include <new>

namespace km::internal {
namespace {

std::mutex g_devicesLock;

// A device object, its extension and the kernel's own state, in one block.
struct DeviceAllocation {
  DEVICE_OBJECT object;
  DeviceState state;
};

DeviceAllocation *AllocationOf(PDEVICE_OBJECT device) { return reinterpret_cast<DeviceAllocation *>(device); }

std::atomic_ref<LONG> ReferenceCountOf(PDEVICE_OBJECT device) { return std::atomic_ref<LONG>(device->ReferenceCount); }

// The device stacked on this one; changed only under the devices lock.
std::atomic_ref<PDEVICE_OBJECT> AttachedOf(PDEVICE_OBJECT device) {
  return std::atomic_ref<PDEVICE_OBJECT>(device->AttachedDevice);
}

PDEVICE_OBJECT TopOf(PDEVICE_OBJECT device) {
  for (PDEVICE_OBJECT upper; (upper = AttachedOf(device).load(std::memory_order_acquire)) != nullptr;) device = upper;
  return device;
}

void FreeDevice(PDEVICE_OBJECT device) {
  PDRIVER_OBJECT driver = device->DriverObject;
  DeviceAllocation *allocation = AllocationOf(device);
  allocation->state.~DeviceState();
  std::free(allocation);
  DriverDeviceFreed(driver);
}

}  // namespace

DeviceState &StateOf(PDEVICE_OBJECT device) { return AllocationOf(device)->state; }

void ReferenceDevice(PDEVICE_OBJECT device) {
  StateOf(device).holds.fetch_add(1, std::memory_order_relaxed);
  ReferenceCountOf(device).fetch_add(1, std::memory_order_relaxed);
}

LONG DereferenceDevice(PDEVICE_OBJECT device) {
  LONG remaining = ReferenceCountOf(device).fetch_sub(1, std::memory_order_relaxed) - 1;
  if (StateOf(device).holds.fetch_sub(1, std::memory_order_acq_rel) == 1) FreeDevice(device);
  return remaining;
}

bool DeviceGone(PDEVICE_OBJECT device) {
  return StateOf(device).deletePending.load() || (device->Flags & DO_DEVICE_INITIALIZING) != 0;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) { return TopOf(device); }

}  // namespace km::internal

using namespace km::internal;

NTSTATUS NTAPI IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                              DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                              PDEVICE_OBJECT *DeviceObject) {
  if (DeviceObject == nullptr || !IsLoadedDriver(DriverObject)) return STATUS_INVALID_PARAMETER;
  *DeviceObject = nullptr;
  // The extension follows the kernel's part, 16-byte aligned.
  std::size_t head = (sizeof(DeviceAllocation) + 15) & ~std::size_t{15};
  std::size_t total = head + ((static_cast<std::size_t>(DeviceExtensionSize) + 15) & ~std::size_t{15});
  void *block = std::aligned_alloc(16, total);
  if (block == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(block, 0, total);
  auto *allocation = new (block) DeviceAllocation{};
  PDEVICE_OBJECT device = &allocation->object;

  if (DeviceName != nullptr) {
    NTSTATUS status = InsertDeviceName(DeviceName, device, &allocation->state.name);
    if (!NT_SUCCESS(status)) {
      allocation->~DeviceAllocation();
      std::free(block);
      return status;
    }
  }
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize != 0 ? static_cast<char *>(block) + head : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING | (Exclusive ? DO_EXCLUSIVE : 0) | (DeviceName ? DO_DEVICE_HAS_NAME : 0);
  KeInitializeEvent(&device->DeviceLock, SynchronizationEvent, TRUE);
  DriverDeviceCreated(DriverObject);
  {
    std::lock_guard guard(g_devicesLock);
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID NTAPI IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  DeviceState &state = StateOf(DeviceObject);
  if (!state.name.empty()) RemoveDeviceName(state.name);
  std::unique_lock guard(g_devicesLock);
  if (state.deletePending.exchange(true)) {
    guard.unlock();
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoDeleteDevice of a device object that was already deleted");
  }
  for (PDEVICE_OBJECT *link = &DeviceObject->DriverObject->DeviceObject; *link != nullptr;
       link = &(*link)->NextDevice) {
    if (*link == DeviceObject) {
      *link = DeviceObject->NextDevice;
      break;
    }
  }
  // With its last device gone a Plug and Play driver is unloaded next.
  PDRIVER_OBJECT driver = DeviceObject->DriverObject;
  bool lastOfDriver = driver->DeviceObject == nullptr;
  guard.unlock();
  // The deletion's own hold: the last reference frees the device, here or later.
  if (state.holds.fetch_sub(1, std::memory_order_acq_rel) == 1) FreeDevice(DeviceObject);
  if (lastOfDriver) CheckNoUnheldCompletionRoutine(driver, "the driver's last device object was deleted");
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  std::lock_guard guard(g_devicesLock);
  PDEVICE_OBJECT top = TopOf(TargetDevice);
  if (StateOf(top).deletePending.load()) return nullptr;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  StateOf(SourceDevice).attachedTo = top;
  // Published last: a request that finds the new device sees it complete.
  AttachedOf(top).store(SourceDevice, std::memory_order_release);
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::lock_guard guard(g_devicesLock);
  PDEVICE_OBJECT upper = AttachedOf(TargetDevice).load();
  if (upper != nullptr) StateOf(upper).attachedTo = nullptr;
  AttachedOf(TargetDevice).store(nullptr, std::memory_order_release);
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  // Under the devices lock, so that the top found is still the top when it
  // is referenced.
  std::lock_guard guard(g_devicesLock);
  PDEVICE_OBJECT top = TopOf(DeviceObject);
  ReferenceDevice(top);
  return top;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  auto *device = static_cast<PDEVICE_OBJECT>(Object);
  if (device->Type != IO_TYPE_DEVICE) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "ObDereferenceObject of an object that is not a device object");
  }
  return DereferenceDevice(device);
}
