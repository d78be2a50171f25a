// The Plug and Play manager: device arrival (a PDO from the bus, the
// function driver's add-device, start and capabilities), surprise removal
// when a device leaves, and removal once no handle to it is open, in the
// order Windows uses. Its requests run one at a time on its own thread.
#include "pnp_manager.h"

#include "function_driver.h"
#include "pnp_request.h"

#include <km/standin.h>
#include <usb/bus.h>

#include <algorithm>
#include <cstdio>

namespace host {
namespace {

constexpr auto kRemovalRetry = std::chrono::milliseconds(100);
constexpr int kShutdownRemovalAttempts = 100;

}  // namespace

PnpManager &PnpManager::Instance() {
  static PnpManager *manager = new PnpManager;  // its thread runs until exit
  return *manager;
}

DeviceId PnpManager::Attach(std::shared_ptr<usb::DeviceModel> model) {
  DeviceId id;
  {
    std::lock_guard guard(lock_);
    id = next_++;
    nodes_[id].model = std::move(model);
  }
  queue_.Post([this, id] { Arrive(id); });
  Settle();
  return id;
}

void PnpManager::Detach(DeviceId id) {
  // On the manager's thread, so that the device cannot leave and be removed
  // between looking it up and unplugging it.
  queue_.Post([this, id] {
    PDEVICE_OBJECT pdo;
    {
      std::lock_guard guard(lock_);
      auto it = nodes_.find(id);
      if (it == nodes_.end() || it->second.pdo == nullptr) return;
      pdo = it->second.pdo;
      it->second.pulled = true;
    }
    usb::bus::Unplug(pdo);
  });
  Settle();
}

void PnpManager::DeviceLeft(PDEVICE_OBJECT pdo) {
  queue_.Post([this, pdo] { Leave(pdo); });
}

void PnpManager::DeviceReturns(std::shared_ptr<usb::DeviceModel> model, std::chrono::milliseconds delay) {
  std::lock_guard guard(lock_);
  for (auto &[id, node] : nodes_) {
    if (node.model != model) continue;
    DeviceId returning = id;
    queue_.Schedule(delay, [this, returning] { Arrive(returning); });
  }
}

void PnpManager::LastHandleClosed(PDEVICE_OBJECT device) {
  std::lock_guard guard(lock_);
  for (const Departing &d : departing_) {
    if (d.top != device && d.pdo != device) continue;
    PDEVICE_OBJECT pdo = d.pdo;
    queue_.Post([this, pdo] { RemoveIfClosed(pdo); });
  }
}

void PnpManager::Settle() {
  if (FailedRemovals() != 0) queue_.Post([this] { RetryRemovals(); });
  // The bus and the manager hand work to each other: wait until both rest.
  for (int quiet = 0; quiet < 2;) {
    bool busy = !queue_.Idle() || !usb::bus::Idle();
    usb::bus::Drain();
    queue_.Drain();
    quiet = busy ? 0 : quiet + 1;
  }
}

bool PnpManager::WaitUntilPresent(DeviceId id, bool present, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  auto reached = [&] {
    auto it = nodes_.find(id);
    if (it == nodes_.end()) return !present;  // pulled by the host and gone
    return (it->second.pdo != nullptr && it->second.started) == present;
  };
  if (!km::VirtualClockInUse()) return changed_.wait_for(guard, timeout, reached);
  // On the virtual clock this thread moves time on while it waits (a device
  // that reboots comes back after a delay).
  // Either clock ends the wait: the virtual one may have nothing to move to.
  std::int64_t deadline = km::ClockNanoseconds() + std::chrono::nanoseconds(timeout).count();
  auto realDeadline = std::chrono::steady_clock::now() + timeout;
  while (!reached()) {
    if (km::ClockNanoseconds() >= deadline || std::chrono::steady_clock::now() >= realDeadline) return false;
    guard.unlock();
    bool moved = km::AdvanceClockIfIdle();
    guard.lock();
    if (!moved) changed_.wait_for(guard, std::chrono::milliseconds(1), reached);
  }
  return true;
}

NTSTATUS PnpManager::OnStartedDevice(DeviceId id, const std::function<NTSTATUS(PDEVICE_OBJECT)> &work) {
  NTSTATUS status = STATUS_NO_SUCH_DEVICE;
  queue_.Post([&] {
    PDEVICE_OBJECT pdo;
    {
      std::lock_guard guard(lock_);
      auto it = nodes_.find(id);
      if (it == nodes_.end() || it->second.pdo == nullptr || !it->second.started) return;
      pdo = it->second.pdo;
    }
    status = work(pdo);
  });
  Settle();
  return status;
}

NTSTATUS PnpManager::StopAndRestart(DeviceId id) {
  return OnStartedDevice(id, [this, id](PDEVICE_OBJECT pdo) {
    NTSTATUS status = SendPnp(pdo, IRP_MN_QUERY_STOP_DEVICE);
    if (!NT_SUCCESS(status) && status != STATUS_NOT_SUPPORTED) {
      SendPnp(pdo, IRP_MN_CANCEL_STOP_DEVICE);
      return status;
    }
    SendPnp(pdo, IRP_MN_STOP_DEVICE);
    status = SendPnp(pdo, IRP_MN_START_DEVICE);
    std::lock_guard guard(lock_);
    nodes_[id].started = NT_SUCCESS(status);
    changed_.notify_all();
    return status;
  });
}

NTSTATUS PnpManager::SleepAndWake(DeviceId id) {
  return OnStartedDevice(id, [](PDEVICE_OBJECT pdo) {
    POWER_STATE sleeping, working, off, on;
    sleeping.SystemState = PowerSystemSleeping3;
    working.SystemState = PowerSystemWorking;
    off.DeviceState = PowerDeviceD3;
    on.DeviceState = PowerDeviceD0;
    NTSTATUS status = SendPower(pdo, IRP_MN_QUERY_POWER, SystemPowerState, sleeping);
    if (!NT_SUCCESS(status)) return status;
    const std::pair<POWER_STATE_TYPE, POWER_STATE> steps[] = {
        {SystemPowerState, sleeping}, {DevicePowerState, off}, {SystemPowerState, working}, {DevicePowerState, on}};
    for (const auto &[type, state] : steps) {
      NTSTATUS step = SendPower(pdo, IRP_MN_SET_POWER, type, state);
      if (NT_SUCCESS(status) && !NT_SUCCESS(step)) status = step;
    }
    return status;
  });
}

// ---- On the manager's thread ---------------------------------------------------

void PnpManager::Arrive(DeviceId id) {
  std::shared_ptr<usb::DeviceModel> model;
  {
    std::lock_guard guard(lock_);
    auto it = nodes_.find(id);
    if (it == nodes_.end() || it->second.pdo != nullptr) return;
    model = it->second.model;
  }
  PDEVICE_OBJECT pdo = usb::bus::PlugIn(model);
  if (pdo == nullptr) return;
  bool hasDriver = false;
  bool started = false;
  if (PDRIVER_OBJECT driver = AcquireFunctionDriver()) {
    hasDriver = NT_SUCCESS(km::CallAddDevice(driver, pdo)) && pdo->AttachedDevice != nullptr;
    if (!hasDriver) ReleaseFunctionDriver();
  }
  if (hasDriver) {
    started = NT_SUCCESS(SendPnp(pdo, IRP_MN_START_DEVICE));
    if (started) {
      DEVICE_CAPABILITIES capabilities{};
      capabilities.Size = sizeof capabilities;
      capabilities.Version = 1;
      capabilities.Address = capabilities.UINumber = 0xFFFFFFFF;
      SendPnp(pdo, IRP_MN_QUERY_CAPABILITIES, &capabilities);
    }
  }
  std::lock_guard guard(lock_);
  Node &node = nodes_[id];
  node.pdo = pdo;
  node.hasDriver = hasDriver;
  node.started = started;
  changed_.notify_all();
}

void PnpManager::Leave(PDEVICE_OBJECT pdo) {
  Departing departing{pdo, nullptr, false};
  {
    std::lock_guard guard(lock_);
    auto it = std::find_if(nodes_.begin(), nodes_.end(), [&](auto &entry) { return entry.second.pdo == pdo; });
    if (it == nodes_.end()) return;
    departing.hasDriver = it->second.hasDriver;
    if (it->second.pulled) {
      nodes_.erase(it);
    } else {
      it->second.pdo = nullptr;
      it->second.started = false;
    }
    changed_.notify_all();
  }
  if (departing.hasDriver) SendPnp(pdo, IRP_MN_SURPRISE_REMOVAL);
  PDEVICE_OBJECT top = IoGetAttachedDeviceReference(pdo);
  departing.top = top;
  ObDereferenceObject(top);
  {
    std::lock_guard guard(lock_);
    departing_.push_back(departing);
  }
  RemoveIfClosed(pdo);
}

void PnpManager::RemoveIfClosed(PDEVICE_OBJECT pdo) {
  if (km::OpenFileCount(pdo) != 0) return;
  Remove(pdo);
}

void PnpManager::Remove(PDEVICE_OBJECT pdo) {
  bool hasDriver;
  {
    std::lock_guard guard(lock_);
    auto it = std::find_if(departing_.begin(), departing_.end(), [&](const Departing &d) { return d.pdo == pdo; });
    if (it == departing_.end()) return;
    hasDriver = it->hasDriver;
    departing_.erase(it);
  }
  bool sent = false;
  SendPnp(pdo, IRP_MN_REMOVE_DEVICE, nullptr, &sent);
  if (!sent) {
    // Unloading now would take the device from under its driver: keep the
    // driver, and send the removal again later.
    std::lock_guard guard(lock_);
    departing_.push_back(Departing{pdo, nullptr, hasDriver});
    failedRemovals_.push_back(pdo);
    queue_.Schedule(kRemovalRetry, [this] { RetryRemovals(); });
    return;
  }
  if (hasDriver) ReleaseFunctionDriver();
}

void PnpManager::RetryRemovals() {
  std::vector<PDEVICE_OBJECT> failed;
  {
    std::lock_guard guard(lock_);
    failed.swap(failedRemovals_);
  }
  for (PDEVICE_OBJECT pdo : failed) Remove(pdo);
}

std::size_t PnpManager::FailedRemovals() {
  std::lock_guard guard(lock_);
  return failedRemovals_.size();
}

void PnpManager::RemoveAll() {
  std::vector<PDEVICE_OBJECT> present;
  {
    std::lock_guard guard(lock_);
    for (auto &[id, node] : nodes_) {
      if (node.pdo != nullptr) present.push_back(node.pdo);
    }
  }
  for (PDEVICE_OBJECT pdo : present) usb::bus::Unplug(pdo);
  Settle();
  // Devices whose handles are still open go too: their handles then fail.
  std::vector<PDEVICE_OBJECT> departing;
  {
    std::lock_guard guard(lock_);
    for (const Departing &d : departing_) departing.push_back(d.pdo);
  }
  for (PDEVICE_OBJECT pdo : departing) queue_.Post([this, pdo] { Remove(pdo); });
  Settle();
  // A removal whose request could not be sent is tried again a few times;
  // should it still fail the device stays, and the driver with it.
  for (int attempt = 0; attempt < kShutdownRemovalAttempts && FailedRemovals() != 0; ++attempt) Settle();
  if (std::size_t left = FailedRemovals()) {
    std::fprintf(stderr, "tavrin host: %zu device(s) could not be removed at shutdown\n", left);
  }
  std::lock_guard guard(lock_);
  nodes_.clear();
}

// ---- Queries ---------------------------------------------------------------------

std::vector<DeviceId> PnpManager::Devices() {
  std::lock_guard guard(lock_);
  std::vector<DeviceId> ids;
  for (auto &[id, node] : nodes_) ids.push_back(id);
  return ids;
}

std::shared_ptr<usb::DeviceModel> PnpManager::Model(DeviceId id) {
  std::lock_guard guard(lock_);
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : it->second.model;
}

PDEVICE_OBJECT PnpManager::PhysicalDevice(DeviceId id) {
  std::lock_guard guard(lock_);
  auto it = nodes_.find(id);
  return it == nodes_.end() ? nullptr : it->second.pdo;
}

bool PnpManager::Started(DeviceId id) {
  std::lock_guard guard(lock_);
  auto it = nodes_.find(id);
  return it != nodes_.end() && it->second.started;
}

}  // namespace host
