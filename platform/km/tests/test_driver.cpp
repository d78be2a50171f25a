#include "test_driver.h"

#include <mutex>

namespace kmtest {
namespace {
std::mutex g_lock;
std::map<PDRIVER_OBJECT, TestDriver *> g_drivers;
TestDriver *g_loading = nullptr;

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  std::lock_guard guard(g_lock);
  g_drivers[driver] = g_loading;
  return STATUS_SUCCESS;
}
}  // namespace

TestDriver::TestDriver(std::u16string name) {
  {
    std::lock_guard guard(g_lock);
    g_loading = this;
  }
  NTSTATUS status;
  object_ = km::LoadDriver(name, Entry, &status);
  for (auto &routine : object_->MajorFunction) routine = Dispatch;
}

TestDriver::~TestDriver() {
  // Delete upper devices first, as removal would.
  for (auto it = devices_.rbegin(); it != devices_.rend(); ++it) {
    PDEVICE_OBJECT device = *it;
    if (auto *lower = static_cast<PDEVICE_OBJECT *>(device->DeviceExtension)) {
      if (*lower != nullptr) IoDetachDevice(*lower);
    }
    IoDeleteDevice(device);
  }
  km::UnloadDriver(object_);
  std::lock_guard guard(g_lock);
  g_drivers.erase(object_);
}

PDEVICE_OBJECT TestDriver::AddDevice(const char16_t *name, PDEVICE_OBJECT lower, ULONG extensionSize) {
  UNICODE_STRING text = name != nullptr ? Name(name) : UNICODE_STRING{};
  PDEVICE_OBJECT device = nullptr;
  // The first pointer of every test device's extension is its lower device.
  NTSTATUS status = IoCreateDevice(object_, sizeof(PDEVICE_OBJECT) + extensionSize, name ? &text : nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, &device);
  if (!NT_SUCCESS(status)) return nullptr;
  if (lower != nullptr) {
    *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension) = IoAttachDeviceToDeviceStack(device, lower);
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  devices_.push_back(device);
  return device;
}

void TestDriver::DeleteDevice(PDEVICE_OBJECT device) {
  for (auto it = devices_.begin(); it != devices_.end(); ++it) {
    if (*it != device) continue;
    devices_.erase(it);
    if (auto lower = *static_cast<PDEVICE_OBJECT *>(device->DeviceExtension)) IoDetachDevice(lower);
    IoDeleteDevice(device);
    return;
  }
}

NTSTATUS TestDriver::Dispatch(PDEVICE_OBJECT device, PIRP irp) {
  TestDriver *self;
  {
    std::lock_guard guard(g_lock);
    self = g_drivers.at(device->DriverObject);
  }
  auto it = self->handlers_.find(IoGetCurrentIrpStackLocation(irp)->MajorFunction);
  if (it == self->handlers_.end()) return Complete(irp, STATUS_SUCCESS);
  return it->second(device, irp);
}

NTSTATUS Complete(PIRP irp, NTSTATUS status, ULONG_PTR information) {
  irp->IoStatus.Status = status;
  irp->IoStatus.Information = information;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

UNICODE_STRING Name(const char16_t *text) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, text);
  return name;
}

}  // namespace kmtest
