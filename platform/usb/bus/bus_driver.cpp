// The bus driver: "\Driver\UsbBus" with one PDO per attached device model.
// It completes the Plug and Play and power requests that reach the bottom of
// a device stack, as a bus driver does, and hands URBs to the device's port.
#include <usb/bus.h>

#include <km/standin.h>
#include <usbioctl.h>

#include <platform/work_queue.h>
#include "usb_port.h"

#include <atomic>
#include <string>

namespace usb::bus {
namespace {

struct PdoExtension {
  std::shared_ptr<UsbPort> *port;
  ULONG address;
};

class Bus final : public PortOwner {
 public:
  explicit Bus(BusEvents *events) : events_(events) {}

  platform::WorkQueue &Worker() override { return worker_; }
  std::uint32_t CurrentFrame() const override {
    std::int64_t elapsed = km::ClockNanoseconds() - start_;
    return static_cast<std::uint32_t>(elapsed / 1000000) + 1;
  }
  void PortLeft(UsbPort &port, std::chrono::milliseconds returnAfter, bool returns) override {
    events_->DeviceLeft(port.Pdo());
    if (returns) events_->DeviceReturns(port.Model(), returnAfter);
  }

  PDRIVER_OBJECT driver = nullptr;
  std::atomic<ULONG> nextAddress{1};

 private:
  BusEvents *events_;
  std::int64_t start_ = km::ClockNanoseconds();  // frame 1 begins
  platform::WorkQueue worker_;  // last: stopped first
};

Bus *g_bus = nullptr;

PdoExtension &ExtensionOf(PDEVICE_OBJECT pdo) { return *static_cast<PdoExtension *>(pdo->DeviceExtension); }

NTSTATUS CompleteWith(PIRP irp, NTSTATUS status) {
  irp->IoStatus.Status = status;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return status;
}

NTSTATUS InternalControl(PDEVICE_OBJECT pdo, PIRP irp) {
  std::shared_ptr<UsbPort> port = PortOf(pdo);
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  irp->IoStatus.Information = 0;
  switch (location->Parameters.DeviceIoControl.IoControlCode) {
    case IOCTL_INTERNAL_USB_SUBMIT_URB:
      return port->Submit(irp, static_cast<URB *>(location->Parameters.Others.Argument1));
    case IOCTL_INTERNAL_USB_RESET_PORT:
      return port->ResetPort(irp);
    case IOCTL_INTERNAL_USB_GET_PORT_STATUS: {
      auto *status = static_cast<ULONG *>(location->Parameters.Others.Argument1);
      if (status == nullptr) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
      *status = port->Present() ? (USBD_PORT_ENABLED | USBD_PORT_CONNECTED) : 0;
      return CompleteWith(irp, STATUS_SUCCESS);
    }
    default:
      return CompleteWith(irp, STATUS_INVALID_DEVICE_REQUEST);
  }
}

void FillCapabilities(PDEVICE_OBJECT pdo, PDEVICE_CAPABILITIES capabilities) {
  capabilities->Removable = TRUE;
  capabilities->SurpriseRemovalOK = FALSE;
  capabilities->UniqueID = FALSE;
  capabilities->Address = ExtensionOf(pdo).address;
  capabilities->UINumber = ExtensionOf(pdo).address;
  for (int s = PowerSystemUnspecified; s < PowerSystemMaximum; ++s) capabilities->DeviceState[s] = PowerDeviceD3;
  capabilities->DeviceState[PowerSystemWorking] = PowerDeviceD0;
  capabilities->SystemWake = PowerSystemUnspecified;
  capabilities->DeviceWake = PowerDeviceUnspecified;
}

void DeletePdo(PDEVICE_OBJECT pdo) {
  PdoExtension &extension = ExtensionOf(pdo);
  delete extension.port;
  extension.port = nullptr;
  IoDeleteDevice(pdo);
}

NTSTATUS Pnp(PDEVICE_OBJECT pdo, PIRP irp) {
  PIO_STACK_LOCATION location = IoGetCurrentIrpStackLocation(irp);
  switch (location->MinorFunction) {
    case IRP_MN_START_DEVICE:
    case IRP_MN_STOP_DEVICE:
    case IRP_MN_QUERY_STOP_DEVICE:
    case IRP_MN_CANCEL_STOP_DEVICE:
    case IRP_MN_QUERY_REMOVE_DEVICE:
    case IRP_MN_CANCEL_REMOVE_DEVICE:
    case IRP_MN_SURPRISE_REMOVAL:
      return CompleteWith(irp, STATUS_SUCCESS);
    case IRP_MN_QUERY_CAPABILITIES: {
      PDEVICE_CAPABILITIES capabilities = location->Parameters.DeviceCapabilities.Capabilities;
      if (capabilities == nullptr || capabilities->Version < 1) return CompleteWith(irp, STATUS_INVALID_PARAMETER);
      FillCapabilities(pdo, capabilities);
      return CompleteWith(irp, STATUS_SUCCESS);
    }
    case IRP_MN_REMOVE_DEVICE: {
      PortOf(pdo)->Disconnect();
      CompleteWith(irp, STATUS_SUCCESS);
      DeletePdo(pdo);
      return STATUS_SUCCESS;
    }
    default:
      return CompleteWith(irp, irp->IoStatus.Status);  // not ours to answer
  }
}

NTSTATUS Power(PDEVICE_OBJECT, PIRP irp) {
  PoStartNextPowerIrp(irp);
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  if (minor == IRP_MN_SET_POWER || minor == IRP_MN_QUERY_POWER) return CompleteWith(irp, STATUS_SUCCESS);
  return CompleteWith(irp, irp->IoStatus.Status);
}

NTSTATUS BusEntry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = InternalControl;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = Power;
  return STATUS_SUCCESS;
}

}  // namespace

std::shared_ptr<UsbPort> PortOf(PDEVICE_OBJECT pdo) { return *ExtensionOf(pdo).port; }

NTSTATUS Load(BusEvents *events) {
  if (g_bus != nullptr) return STATUS_SUCCESS;
  auto *bus = new Bus(events);
  NTSTATUS status;
  bus->driver = km::LoadDriver(u"\\Driver\\UsbBus", BusEntry, &status);
  if (bus->driver == nullptr) {
    delete bus;
    return status;
  }
  g_bus = bus;
  return STATUS_SUCCESS;
}

void Unload() {
  if (g_bus == nullptr) return;
  g_bus->Worker().Drain();
  km::UnloadDriver(g_bus->driver);
  delete g_bus;
  g_bus = nullptr;
}

bool Loaded() { return g_bus != nullptr; }

PDEVICE_OBJECT PlugIn(std::shared_ptr<DeviceModel> model) {
  ULONG address = g_bus->nextAddress++;
  std::u16string name = u"\\Device\\USBPDO-";
  for (char c : std::to_string(address)) name.push_back(static_cast<char16_t>(c));
  UNICODE_STRING text{static_cast<USHORT>(name.size() * sizeof(WCHAR)), static_cast<USHORT>(name.size() * sizeof(WCHAR)),
                      name.data()};
  PDEVICE_OBJECT pdo = nullptr;
  {
    km::DriverScope scope(g_bus->driver);
    if (!NT_SUCCESS(IoCreateDevice(g_bus->driver, sizeof(PdoExtension), &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo))) {
      return nullptr;
    }
  }
  PdoExtension &extension = ExtensionOf(pdo);
  extension.address = address;
  extension.port = new std::shared_ptr<UsbPort>(std::make_shared<UsbPort>(*g_bus, std::move(model), pdo));
  pdo->Flags |= DO_POWER_PAGABLE;
  pdo->Flags &= ~DO_DEVICE_INITIALIZING;
  (*extension.port)->Connect();
  return pdo;
}

void Unplug(PDEVICE_OBJECT pdo) {
  std::shared_ptr<UsbPort> port = PortOf(pdo);
  port->Disconnect();
  g_bus->Worker().Post([port] { g_bus->PortLeft(*port, std::chrono::milliseconds::zero(), false); });
}

std::shared_ptr<DeviceModel> ModelOf(PDEVICE_OBJECT pdo) { return PortOf(pdo)->Model(); }

bool Present(PDEVICE_OBJECT pdo) { return PortOf(pdo)->Present(); }

void Drain() {
  if (g_bus != nullptr) g_bus->Worker().Drain();
}

bool Idle() { return g_bus == nullptr || g_bus->Worker().Idle(); }

}  // namespace usb::bus
