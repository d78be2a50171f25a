#include "hotplug_watcher.h"

#include "libusb_device.h"

#include <optional>

namespace usb::libusb {

HotplugWatcher::HotplugWatcher(DeviceSink &sink) : sink_(sink), ids_(ConfiguredUsbIds()) {
  if (ids_.ids.empty()) {
    notWatching_ = "no USB instrument identifiers are configured (" + ids_.source + ")";
    return;
  }
  std::string problem;
  context_ = LibusbContext::Create(&problem);
  if (!context_) {
    notWatching_ = problem;
    return;
  }
  if (libusb_has_capability(LIBUSB_CAP_HAS_HOTPLUG)) {
    // The devices present now are announced before registration returns.
    int result = libusb_hotplug_register_callback(
        context_->Get(),
        static_cast<libusb_hotplug_event>(LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED | LIBUSB_HOTPLUG_EVENT_DEVICE_LEFT),
        LIBUSB_HOTPLUG_ENUMERATE, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, LIBUSB_HOTPLUG_MATCH_ANY, Notice,
        this, &callback_);
    registered_ = result == LIBUSB_SUCCESS;
    if (!registered_) notWatching_ = "libusb hot-plug notices are unavailable: " + ErrorText(result);
  } else {
    notWatching_ = "libusb has no hot-plug support here: instruments plugged in later are not seen";
  }
  if (!registered_) {
    // Without notices, the devices present now are still ours.
    libusb_device **list = nullptr;
    ssize_t count = libusb_get_device_list(context_->Get(), &list);
    for (ssize_t i = 0; i < count; ++i) {
      libusb_device *device = libusb_ref_device(list[i]);
      arrivals_.Post([this, device] {
        Arrive(device);
        libusb_unref_device(device);
      });
    }
    if (count >= 0) libusb_free_device_list(list, 1);
  }
  Settle();
}

HotplugWatcher::~HotplugWatcher() {
  if (registered_) libusb_hotplug_deregister_callback(context_->Get(), callback_);
  Settle();
  std::lock_guard guard(lock_);
  for (auto &[device, id] : attached_) libusb_unref_device(device);
  attached_.clear();
}

int LIBUSB_CALL HotplugWatcher::Notice(libusb_context *, libusb_device *device, libusb_hotplug_event event,
                                       void *watcher) {
  // Runs in libusb's thread: opening the device and starting it through Plug
  // and Play needs that thread free, so the work goes to the arrivals queue.
  auto *self = static_cast<HotplugWatcher *>(watcher);
  libusb_ref_device(device);
  self->arrivals_.Post([self, device, event] {
    if (event == LIBUSB_HOTPLUG_EVENT_DEVICE_ARRIVED) {
      self->Arrive(device);
    } else {
      self->Leave(device);
    }
    libusb_unref_device(device);
  });
  return 0;
}

void HotplugWatcher::Arrive(libusb_device *device) {
  libusb_device_descriptor descriptor{};
  if (libusb_get_device_descriptor(device, &descriptor) != LIBUSB_SUCCESS) return;
  auto id = ids_.Match(descriptor.idVendor, descriptor.idProduct);
  if (!id) return;
  std::string problem;
  auto model = LibusbDevice::Open(context_, device, id->detachKernelDriver, &problem);
  if (!model) {
    std::lock_guard guard(lock_);
    problems_[device] = problem;
    return;
  }
  std::uint32_t hostId = sink_.Arrived(std::move(model));
  std::lock_guard guard(lock_);
  problems_.erase(device);
  attached_[libusb_ref_device(device)] = hostId;
}

void HotplugWatcher::Leave(libusb_device *device) {
  std::optional<std::uint32_t> hostId;
  {
    std::lock_guard guard(lock_);
    problems_.erase(device);
    auto it = attached_.find(device);
    if (it == attached_.end()) return;
    hostId = it->second;
    attached_.erase(it);
  }
  sink_.Left(*hostId);
  libusb_unref_device(device);
}

WatchReport HotplugWatcher::Report() {
  std::lock_guard guard(lock_);
  WatchReport report;
  report.watching = context_ != nullptr;
  report.notWatching = notWatching_;
  report.idSource = ids_.source;
  report.attached = attached_.size();
  for (auto &[device, problem] : problems_) report.problems.push_back(problem);
  return report;
}

}  // namespace usb::libusb
