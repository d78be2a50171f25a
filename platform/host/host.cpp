// The host's public face: boot on first use, simulated instruments from
// TAVRIN_SIMULATE, and the calls tests and tools use.
#include <host/host.h>

#include "function_driver.h"
#include "pnp_manager.h"
#include "real_devices.h"

#include <km/standin.h>
#include <substitute_instrument.h>
#include <usb/bus.h>

#include <cstdlib>
#include <mutex>
#include <string>

namespace host {
namespace {

std::mutex g_bootLock;
bool g_booted = false;
int g_simulated = -1;  // -1: take TAVRIN_SIMULATE

int SimulatedInstruments() {
  if (g_simulated >= 0) return g_simulated;
  const char *text = std::getenv("TAVRIN_SIMULATE");
  if (text == nullptr) return 0;
  char *end = nullptr;
  long count = std::strtol(text, &end, 10);
  return (end != text && *end == 0 && count > 0 && count <= 64) ? static_cast<int>(count) : 0;
}

// Booting on the first CreateFileA needs no call from the program.
const bool g_bootRegistered = [] {
  km::SetBootRoutine([] { Boot(); });
  return true;
}();

// Attach, Detach and Shutdown hold the boot lock for their whole run, so that
// a device cannot be attached or detached while the system goes down.
void BootLocked() {
  if (g_booted) return;
  PnpManager &pnp = PnpManager::Instance();
  if (!NT_SUCCESS(usb::bus::Load(&pnp))) return;
  km::SetLastCloseObserver([](PDEVICE_OBJECT device) { PnpManager::Instance().LastHandleClosed(device); });
  g_booted = true;
  int count = SimulatedInstruments();
  for (int i = 0; i < count; ++i) {
    usb::InstrumentConfig config;
    std::string serial = std::to_string(i);
    config.serialNumber = "TVR" + std::string(5 - std::min<std::size_t>(5, serial.size()), '0') + serial;
    pnp.Attach(std::make_shared<usb::SubstituteInstrument>(config));
  }
  // Real instruments unless simulated ones are asked for.
  if (count == 0) AttachRealDevices();
}

}  // namespace

void Boot() {
  std::lock_guard guard(g_bootLock);
  BootLocked();
}

void SetSimulatedInstruments(int count) {
  std::lock_guard guard(g_bootLock);
  g_simulated = count;
}

void SetFunctionDriver(std::u16string name, PDRIVER_INITIALIZE entry) { SetFunctionDriverEntry(std::move(name), entry); }

DeviceId Attach(std::shared_ptr<usb::DeviceModel> model) {
  std::lock_guard guard(g_bootLock);
  BootLocked();
  return PnpManager::Instance().Attach(std::move(model));
}

void Detach(DeviceId id) {
  std::lock_guard guard(g_bootLock);
  if (g_booted) PnpManager::Instance().Detach(id);
}

NTSTATUS StopAndRestart(DeviceId id) {
  std::lock_guard guard(g_bootLock);
  return g_booted ? PnpManager::Instance().StopAndRestart(id) : STATUS_NO_SUCH_DEVICE;
}

NTSTATUS SleepAndWake(DeviceId id) {
  std::lock_guard guard(g_bootLock);
  return g_booted ? PnpManager::Instance().SleepAndWake(id) : STATUS_NO_SUCH_DEVICE;
}

void WaitForPnp() { PnpManager::Instance().Settle(); }

bool WaitUntilPresent(DeviceId id, bool present, std::chrono::milliseconds timeout) {
  return PnpManager::Instance().WaitUntilPresent(id, present, timeout);
}

std::vector<DeviceId> Devices() { return PnpManager::Instance().Devices(); }

std::shared_ptr<usb::DeviceModel> Model(DeviceId id) { return PnpManager::Instance().Model(id); }

PDEVICE_OBJECT PhysicalDevice(DeviceId id) { return PnpManager::Instance().PhysicalDevice(id); }

PDEVICE_OBJECT TopDevice(DeviceId id) {
  PDEVICE_OBJECT pdo = PhysicalDevice(id);
  if (pdo == nullptr) return nullptr;
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  ObDereferenceObject(top);
  return top;
}

bool Started(DeviceId id) { return PnpManager::Instance().Started(id); }

std::size_t OpenHandles(DeviceId id) {
  PDEVICE_OBJECT pdo = PhysicalDevice(id);
  return pdo == nullptr ? 0 : km::OpenFileCount(pdo);
}

void Shutdown() {
  std::lock_guard guard(g_bootLock);
  if (!g_booted) return;
  StopRealDevices();
  PnpManager::Instance().RemoveAll();
  usb::bus::Unload();
  km::SetLastCloseObserver(nullptr);
  g_booted = false;
}

}  // namespace host
