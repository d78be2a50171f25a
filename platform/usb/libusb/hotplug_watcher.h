// Watches libusb's hot-plug notices for the instruments the ID list names:
// an arriving one is opened and handed to the host as a device model, a
// departing one is taken back. Devices that match but cannot be used are
// remembered with the reason, for `tavrin list`.
#pragma once

#include "libusb_context.h"
#include "usb_ids.h"

#include <platform/work_queue.h>
#include <usb/device_model.h>

#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace usb::libusb {

// What the watcher asks of the host's Plug and Play manager.
class DeviceSink {
 public:
  virtual ~DeviceSink() = default;
  // Plugs the device in; returns the host's id for it.
  virtual std::uint32_t Arrived(std::shared_ptr<DeviceModel> model) = 0;
  // The device left the bus.
  virtual void Left(std::uint32_t id) = 0;
};

struct WatchReport {
  bool watching = false;
  std::string notWatching;           // why libusb is not watching
  std::string idSource;              // where the ID list came from
  std::size_t attached = 0;          // instruments handed to the host
  std::vector<std::string> problems;  // matching devices that cannot be used, with the reason
};

class HotplugWatcher {
 public:
  // Starts watching and returns once the devices already plugged in have been
  // handed to the host (or found unusable).
  explicit HotplugWatcher(DeviceSink &sink);
  ~HotplugWatcher();

  HotplugWatcher(const HotplugWatcher &) = delete;
  HotplugWatcher &operator=(const HotplugWatcher &) = delete;

  // Waits until the notices received so far have been handled.
  void Settle() { arrivals_.Drain(); }
  WatchReport Report();

 private:
  static int LIBUSB_CALL Notice(libusb_context *context, libusb_device *device, libusb_hotplug_event event,
                                void *watcher);
  void Arrive(libusb_device *device);
  void Leave(libusb_device *device);

  DeviceSink &sink_;
  UsbIdList ids_;
  std::shared_ptr<LibusbContext> context_;
  libusb_hotplug_callback_handle callback_ = 0;
  bool registered_ = false;

  std::mutex lock_;
  std::string notWatching_;
  std::map<libusb_device *, std::uint32_t> attached_;  // each holds a libusb reference
  std::map<libusb_device *, std::string> problems_;
  platform::WorkQueue arrivals_;  // last: stopped first
};

}  // namespace usb::libusb
