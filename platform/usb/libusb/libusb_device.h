// A real USB device under the bus stand-in, reached through libusb: its
// descriptors are read from the device, configuration and interface
// selections become libusb's, and every bulk, interrupt and isochronous
// transfer the bus hands over is submitted with libusb's asynchronous
// transfer API and handed back from the context's event thread.
//
// What libusb cannot give: the bus's frame number (libusb has no call for the
// host controller's frame counter, nor an isochronous transfer's start frame),
// so the bus keeps its own 1 ms clock for those.
#pragma once

#include "libusb_context.h"

#include <usb/device_model.h>

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

namespace usb::libusb {

class LibusbDevice final : public DeviceModel, public TransferQueue {
 public:
  // Opens the device and reads its descriptors. Nullptr, with a message for
  // the user in `problem`, when it cannot be opened or a kernel driver holds
  // it and `detachKernelDriver` is not set.
  static std::shared_ptr<LibusbDevice> Open(std::shared_ptr<LibusbContext> context, libusb_device *device,
                                            bool detachKernelDriver, std::string *problem);
  ~LibusbDevice() override;

  // "bus 1 port 2.3", for messages.
  const std::string &Place() const { return place_; }

  // DeviceModel
  void Detached() override;
  Bytes DeviceDescriptor() override { return deviceDescriptor_; }
  Bytes ConfigurationDescriptor(std::uint8_t index) override;
  std::optional<Bytes> StringDescriptor(std::uint8_t index, std::uint16_t language) override;
  Outcome SetConfiguration(std::uint8_t value) override;
  Outcome SetInterface(std::uint8_t interface, std::uint8_t alternate) override;
  ControlResult Control(const SetupPacket &setup, std::span<std::uint8_t> data) override;
  // Endpoint traffic goes through Transfers(); the bus never calls these.
  Outcome Out(std::uint8_t, std::span<const std::uint8_t>) override { return Outcome::NotResponding; }
  std::optional<Bytes> In(std::uint8_t, std::size_t) override { return std::nullopt; }
  void ResetPipe(std::uint8_t endpoint) override;
  void ResetPort() override;
  TransferQueue *Transfers() override { return this; }

  // TransferQueue
  void Submit(Id id, Transfer transfer, Done done) override;
  void Cancel(Id id) override;

 private:
  struct Flight;

  LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device_handle *handle, std::string place);
  static void LIBUSB_CALL Finished(libusb_transfer *transfer);
  void Finish(Flight *flight);
  // Lets go of a flight after a libusb call with it; the last one out frees it.
  void Unpin(Flight *flight);
  // A control transfer through the event thread, waited for here.
  ControlResult RunControl(const SetupPacket &setup, std::span<std::uint8_t> data);
  std::optional<Bytes> ReadDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language);
  void ReleaseInterfaces();

  std::shared_ptr<LibusbContext> context_;
  libusb_device_handle *handle_;
  std::string place_;
  Bytes deviceDescriptor_;
  std::map<std::uint8_t, Bytes> configurations_;  // by index, read once

  std::mutex lock_;
  std::condition_variable landed_;
  std::map<Id, Flight *> flights_;
  int busy_ = 0;  // libusb calls under way with a flight (submits, cancels)
  std::set<int> claimed_;
  bool gone_ = false;
};

// How a libusb transfer ended, in the bus's terms.
Outcome OutcomeOf(int transferStatus);

}  // namespace usb::libusb
