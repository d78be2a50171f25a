// Real instruments on the host's bus: libusb's hot-plug watcher hands each
// arriving instrument to the Plug and Play manager and takes it back when it
// leaves (surprise removal, then removal once its last handle closes).
#include "real_devices.h"

#include "pnp_manager.h"

#include <host/host.h>
#include <hotplug_watcher.h>

#include <memory>
#include <mutex>

namespace host {
namespace {

class PnpSink final : public usb::libusb::DeviceSink {
 public:
  std::uint32_t Arrived(std::shared_ptr<usb::DeviceModel> model) override {
    return PnpManager::Instance().Attach(std::move(model));
  }
  void Left(std::uint32_t id) override { PnpManager::Instance().Detach(id); }
};

std::mutex g_lock;
PnpSink g_sink;
// Never destroyed at exit: its devices may still be in use by then.
usb::libusb::HotplugWatcher *g_watcher = nullptr;

}  // namespace

void AttachRealDevices() {
  std::lock_guard guard(g_lock);
  if (g_watcher == nullptr) g_watcher = new usb::libusb::HotplugWatcher(g_sink);
}

void StopRealDevices() {
  std::lock_guard guard(g_lock);
  delete g_watcher;
  g_watcher = nullptr;
}

std::string NoInstrumentHint() {
  std::lock_guard guard(g_lock);
  if (g_watcher == nullptr) return "no instrument found: real instruments are not looked for while simulated ones are asked for";
  usb::libusb::WatchReport report = g_watcher->Report();
  if (!report.watching) return "no instrument found: " + report.notWatching;
  std::string hint = "no instrument found";
  if (report.problems.empty()) {
    hint += ": libusb sees no USB device whose identifiers are listed in " + report.idSource +
            " (set TAVRIN_USB_IDS=vvvv:pppp for another instrument, or --simulate N for simulated ones)";
  }
  for (const std::string &problem : report.problems) hint += "\n" + problem;
  if (!report.notWatching.empty()) hint += "\n" + report.notWatching;
  return hint;
}

}  // namespace host
