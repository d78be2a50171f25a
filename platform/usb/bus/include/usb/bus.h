// The USB bus driver stand-in, as the embedded host's Plug and Play manager
// uses it: it loads as "\Driver\UsbBus", makes one physical device object
// (PDO) per attached device model, and serves the URBs that the function
// driver above sends.
#pragma once

#include <ntddk.h>
#include <usb/device_model.h>

#include <chrono>
#include <memory>

namespace usb::bus {

// What the bus tells the Plug and Play manager. Called on the bus's thread.
class BusEvents {
 public:
  virtual ~BusEvents() = default;
  // The device behind `pdo` has left the bus (unplugged, or rebooting).
  virtual void DeviceLeft(PDEVICE_OBJECT pdo) = 0;
  // A rebooting device comes back: plug `model` in again after `delay`.
  virtual void DeviceReturns(std::shared_ptr<DeviceModel> model, std::chrono::milliseconds delay) = 0;
};

// Loads the bus driver; `events` must outlive it.
NTSTATUS Load(BusEvents *events);
// Unloads it once every PDO has been removed.
void Unload();
bool Loaded();

// Plugs a device in: a new PDO, not yet started.
PDEVICE_OBJECT PlugIn(std::shared_ptr<DeviceModel> model);
// The device leaves the bus: transfers waiting on it fail, new ones are
// refused, and the Plug and Play manager is told (DeviceLeft).
void Unplug(PDEVICE_OBJECT pdo);

std::shared_ptr<DeviceModel> ModelOf(PDEVICE_OBJECT pdo);
bool Present(PDEVICE_OBJECT pdo);

// Waits until the bus's thread has nothing due now.
void Drain();
// True when the bus's thread has nothing running or due now.
bool Idle();

}  // namespace usb::bus
