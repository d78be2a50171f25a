// What the driver's fuzz targets share: the embedded system on the virtual
// clock, one device attached through the host with a handle open on it, and
// a rescuer that ends a blocking read no data will ever complete, or one
// still running 50 ms of virtual time after it began (it aborts the device's
// pipes, as another thread of a real caller would), so that a target never
// hangs on what the driver's contract lets block for ever.
#pragma once

#include <host/host.h>
#include <km/standin.h>
#include <usb/device_model.h>

#include <cstdint>
#include <memory>
#include <vector>

namespace tavrinfuzz {

class Rig {
 public:
  // Boots the system on the virtual clock; once per process.
  static Rig &Instance();

  // Attaches `model` and opens slot 0; false when it did not start.
  bool Attach(std::shared_ptr<usb::DeviceModel> model);
  // Pulls the device's cable; the handle stays open.
  void Unplug();
  // Closes the handle and pulls the device, leaving nothing attached.
  void Detach();
  void CloseHandle();
  bool OpenHandle();
  // What Windows sends besides arrival and removal: a query-stop, stop and
  // start cycle, and a sleep and wake.
  void StopAndRestart();
  void SleepAndWake();

  // One device-control call on the open handle; the status, and the byte
  // count in *information. STATUS_INVALID_HANDLE when no handle is open.
  NTSTATUS Call(ULONG code, const void *input, ULONG inputLength, void *output, ULONG outputLength,
                ULONG_PTR *information = nullptr);

  // Whether `code` was sent since the last ForgetCalls (on any handle).
  bool Called(ULONG code) const;
  void ForgetCalls() { called_.clear(); }

  bool attached() const { return attached_; }
  // Whether the device is plugged in and its start succeeded.
  bool started() const;
  PFILE_OBJECT file() const { return file_; }

 private:
  Rig();
  void Rescue();

  host::DeviceId id_ = 0;
  bool attached_ = false;
  bool plugged_ = false;
  PFILE_OBJECT file_ = nullptr;
  std::vector<ULONG> called_;
};

}  // namespace tavrinfuzz
