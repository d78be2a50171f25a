// Device objects: creation with a zeroed extension and an optional name,
// stacking and unstacking, and deletion. A deleted device stays in memory
// while files or requests still refer to it; the last reference frees it.
#include "internal.h"

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
  std::lock_guard guard(g_devicesLock);
  ++device->ReferenceCount;
}

LONG DereferenceDevice(PDEVICE_OBJECT device) {
  std::unique_lock guard(g_devicesLock);
  LONG remaining = --device->ReferenceCount;
  if (remaining == 0 && StateOf(device).deletePending) {
    guard.unlock();
    FreeDevice(device);
  }
  return remaining;
}

bool DeviceGone(PDEVICE_OBJECT device) {
  std::lock_guard guard(g_devicesLock);
  return StateOf(device).deletePending || (device->Flags & DO_DEVICE_INITIALIZING) != 0;
}

PDEVICE_OBJECT TopOfStack(PDEVICE_OBJECT device) {
  std::lock_guard guard(g_devicesLock);
  while (device->AttachedDevice != nullptr) device = device->AttachedDevice;
  return device;
}

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
  if (state.deletePending) {
    guard.unlock();
    km::BugCheck(kDriverVerifierIoManagerViolation, "DRIVER_VERIFIER_IOMANAGER_VIOLATION",
                 "IoDeleteDevice of a device object that was already deleted");
  }
  state.deletePending = true;
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
  if (DeviceObject->ReferenceCount == 0) {
    guard.unlock();
    FreeDevice(DeviceObject);
  } else {
    guard.unlock();
  }
  if (lastOfDriver) CheckNoUnheldCompletionRoutine(driver, "the driver's last device object was deleted");
}

PDEVICE_OBJECT NTAPI IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  std::lock_guard guard(g_devicesLock);
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice != nullptr) top = top->AttachedDevice;
  if (StateOf(top).deletePending) return nullptr;
  top->AttachedDevice = SourceDevice;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  SourceDevice->AlignmentRequirement = top->AlignmentRequirement;
  StateOf(SourceDevice).attachedTo = top;
  return top;
}

VOID NTAPI IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  std::lock_guard guard(g_devicesLock);
  PDEVICE_OBJECT upper = TargetDevice->AttachedDevice;
  if (upper != nullptr) StateOf(upper).attachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

PDEVICE_OBJECT NTAPI IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  std::lock_guard guard(g_devicesLock);
  while (DeviceObject->AttachedDevice != nullptr) DeviceObject = DeviceObject->AttachedDevice;
  ++DeviceObject->ReferenceCount;
  return DeviceObject;
}

LONG_PTR FASTCALL ObfDereferenceObject(PVOID Object) {
  auto *device = static_cast<PDEVICE_OBJECT>(Object);
  if (device->Type != IO_TYPE_DEVICE) {
    km::BugCheck(kDriverVerifierDetectedViolation, "DRIVER_VERIFIER_DETECTED_VIOLATION",
                 "ObDereferenceObject of an object that is not a device object");
  }
  return DereferenceDevice(device);
}
