#pragma once

#include <host/host.h>
#include <platform/work_queue.h>
#include <usb/bus.h>

#include <condition_variable>
#include <map>
#include <mutex>
#include <vector>

namespace host {

class PnpManager final : public usb::bus::BusEvents {
 public:
  static PnpManager &Instance();

  DeviceId Attach(std::shared_ptr<usb::DeviceModel> model);
  void Detach(DeviceId id);
  void Settle();
  NTSTATUS StopAndRestart(DeviceId id);
  NTSTATUS SleepAndWake(DeviceId id);
  bool WaitUntilPresent(DeviceId id, bool present, std::chrono::milliseconds timeout);
  // Called by the kernel after the last handle on `device` closed.
  void LastHandleClosed(PDEVICE_OBJECT device);
  // Unplugs and removes every device.
  void RemoveAll();

  std::vector<DeviceId> Devices();
  std::shared_ptr<usb::DeviceModel> Model(DeviceId id);
  PDEVICE_OBJECT PhysicalDevice(DeviceId id);
  bool Started(DeviceId id);

  // What the bus reports.
  void DeviceLeft(PDEVICE_OBJECT pdo) override;
  void DeviceReturns(std::shared_ptr<usb::DeviceModel> model, std::chrono::milliseconds delay) override;

 private:
  PnpManager() = default;

  struct Node {
    std::shared_ptr<usb::DeviceModel> model;
    PDEVICE_OBJECT pdo = nullptr;  // while plugged in
    bool hasDriver = false;
    bool started = false;
    // The host pulled its cable: it is forgotten once it has left, so that
    // attaching and detaching devices does not grow the manager's records.
    bool pulled = false;
  };
  // A device that left, surprise-removed, waiting for its handles to close.
  struct Departing {
    PDEVICE_OBJECT pdo;
    PDEVICE_OBJECT top;
    bool hasDriver;
  };

  void Arrive(DeviceId id);
  // Runs `work` on the manager's thread with the device's PDO, if it is
  // plugged in and started, and returns its status (else
  // STATUS_NO_SUCH_DEVICE).
  NTSTATUS OnStartedDevice(DeviceId id, const std::function<NTSTATUS(PDEVICE_OBJECT)> &work);
  void Leave(PDEVICE_OBJECT pdo);
  void RemoveIfClosed(PDEVICE_OBJECT pdo);
  void Remove(PDEVICE_OBJECT pdo);
  // Sends the remove requests that could not be sent before again.
  void RetryRemovals();
  std::size_t FailedRemovals();

  std::mutex lock_;
  std::condition_variable changed_;
  std::map<DeviceId, Node> nodes_;
  std::vector<Departing> departing_;
  // Removals whose request could not be sent: the driver still holds the
  // device, so it stays loaded, and the removal is sent again later.
  std::vector<PDEVICE_OBJECT> failedRemovals_;
  DeviceId next_ = 1;
  platform::WorkQueue queue_;
};

}  // namespace host
