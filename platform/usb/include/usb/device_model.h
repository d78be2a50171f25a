// The interface between the USB bus stand-in and the devices attached to it.
// A device model answers descriptor and control requests and moves endpoint
// data; the bus turns URBs into calls of these methods and reports outcomes
// with the USB statuses a real bus would.
//
// Threading: the bus calls one model's methods one at a time, never two at
// once, and runs the model's timers (BusPort::After) under the same rule.
// A model may call its BusPort from inside any of its methods.
#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <vector>

namespace usb {

using Bytes = std::vector<std::uint8_t>;

// How a transaction ended, as the bus reports it to the host.
enum class Outcome {
  Ok,             // USBD_STATUS_SUCCESS
  Stall,          // USBD_STATUS_STALL_PID: the endpoint refused
  NotResponding,  // USBD_STATUS_DEV_NOT_RESPONDING: no handshake at all
  // What a real device's transfers may also end with (see TransferQueue).
  Babble,     // USBD_STATUS_BABBLE_DETECTED: the device sent more than asked
  TimedOut,   // USBD_STATUS_TIMEOUT
  Gone,       // USBD_STATUS_DEVICE_GONE: the device left the bus
  Cancelled,  // USBD_STATUS_CANCELED: the host took the transfer back
};

struct SetupPacket {
  std::uint8_t requestType;  // bmRequestType: direction, type, recipient
  std::uint8_t request;      // bRequest
  std::uint16_t value;       // wValue
  std::uint16_t index;       // wIndex
  std::uint16_t length;      // wLength
  bool DeviceToHost() const { return (requestType & 0x80) != 0; }
};

struct ControlResult {
  Outcome outcome = Outcome::Stall;
  std::size_t bytes = 0;  // data-stage bytes moved
};

// What a model may ask of the bus port it is attached to.
class BusPort {
 public:
  virtual ~BusPort() = default;
  // An IN endpoint has something to send: transfers waiting on it are retried.
  virtual void DataReady(std::uint8_t endpoint) = 0;
  // The device leaves the bus, as when its cable is pulled.
  virtual void Detach() = 0;
  // The device leaves the bus now and comes back after `delay`, as a device
  // that reboots does.
  virtual void Reattach(std::chrono::milliseconds delay) = 0;
  // Runs `work` after `delay` on the bus's timer thread (under the one-call-
  // at-a-time rule). Timers of a detached device do not run.
  virtual void After(std::chrono::milliseconds delay, std::function<void()> work) = 0;
  // The bus's 1 ms frame counter.
  virtual std::uint32_t FrameNumber() const = 0;
  // The time now, from an arbitrary start, on the clock After counts in: a
  // model that restarts a wait often keeps one timer and measures from it.
  virtual std::chrono::nanoseconds Now() const = 0;
};

// A device that moves whole transfers itself and finishes them later, as a
// real device behind a host controller does, instead of packet by packet
// through Out/In/IsoIn. The bus hands it every bulk, interrupt and
// isochronous transfer of its pipes.
enum class EndpointType : std::uint8_t { Isochronous = 1, Bulk = 2, Interrupt = 3 };

struct IsoPacket {
  std::uint32_t offset = 0;  // where the packet starts in the transfer's data
  std::uint32_t length = 0;  // bytes asked (IN) or sent (OUT)
  std::uint32_t actual = 0;  // bytes moved, filled on completion
  Outcome outcome = Outcome::Ok;
};

struct Transfer {
  std::uint8_t endpoint = 0;  // bit 7 set: device to host
  EndpointType type = EndpointType::Bulk;
  Bytes data;  // OUT: the bytes to send; IN: as many bytes as asked
  std::vector<IsoPacket> packets;  // isochronous only
  bool In() const { return (endpoint & 0x80) != 0; }
};

struct TransferResult {
  Outcome outcome = Outcome::Ok;
  std::size_t bytes = 0;  // bytes moved, also when the transfer failed or was cancelled
  Bytes data;             // IN: the bytes received (`bytes` of them; iso: at the packets' offsets)
  std::vector<IsoPacket> packets;
};

class TransferQueue {
 public:
  using Id = std::uint64_t;
  using Done = std::function<void(TransferResult)>;
  virtual ~TransferQueue() = default;
  // Starts a transfer; `done` runs exactly once, on any thread, possibly
  // before Submit returns.
  virtual void Submit(Id id, Transfer transfer, Done done) = 0;
  // Asks for a transfer back; its `done` follows (Cancelled, with the bytes
  // moved so far, or the outcome it reached first). Unknown ids are ignored.
  virtual void Cancel(Id id) = 0;
};

class DeviceModel {
 public:
  virtual ~DeviceModel() = default;

  // Called when the device is plugged in (port valid until it is detached).
  virtual void Attached(BusPort *port) { port_ = port; }
  // Called when the device has left the bus; pending data may be dropped.
  virtual void Detached() { port_ = nullptr; }

  // Descriptors, in USB wire format. The configuration descriptor is the
  // whole set (configuration, interfaces with their alternate settings,
  // endpoints) that GET_DESCRIPTOR(CONFIGURATION) returns. A string the
  // device lacks is nullopt (the request stalls).
  virtual Bytes DeviceDescriptor() = 0;
  virtual Bytes ConfigurationDescriptor(std::uint8_t index) = 0;
  virtual std::optional<Bytes> StringDescriptor(std::uint8_t index, std::uint16_t language) {
    (void)index;
    (void)language;
    return std::nullopt;
  }

  // SET_CONFIGURATION (0: unconfigured) and SET_INTERFACE.
  virtual Outcome SetConfiguration(std::uint8_t value) {
    (void)value;
    return Outcome::Ok;
  }
  virtual Outcome SetInterface(std::uint8_t interface, std::uint8_t alternate) {
    (void)interface;
    (void)alternate;
    return Outcome::Ok;
  }

  // Every control request the bus does not serve itself (class, vendor,
  // SET_FEATURE...). For a device-to-host request the model fills `data`
  // (wLength bytes at most); for host-to-device, `data` is the payload.
  virtual ControlResult Control(const SetupPacket &setup, std::span<std::uint8_t> data) {
    (void)setup;
    (void)data;
    return {};
  }

  // Bulk or interrupt OUT: the whole transfer's data.
  virtual Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) = 0;

  // Bulk or interrupt IN: the next packet of at most `maxLength` bytes, or
  // nullopt when the endpoint has nothing to send now (the host keeps
  // asking). A packet shorter than the endpoint's packet size, an empty
  // packet included, ends the transfer.
  virtual std::optional<Bytes> In(std::uint8_t endpoint, std::size_t maxLength) = 0;
  // An IN endpoint that stalls instead of sending; checked before In.
  virtual bool Halted(std::uint8_t endpoint) {
    (void)endpoint;
    return false;
  }

  // Isochronous IN: fills one packet for `frame` and returns its length.
  virtual std::size_t IsoIn(std::uint8_t endpoint, std::uint32_t frame, std::span<std::uint8_t> packet) {
    (void)endpoint;
    (void)frame;
    (void)packet;
    return 0;
  }
  // Isochronous OUT: one packet for `frame`.
  virtual void IsoOut(std::uint8_t endpoint, std::uint32_t frame, std::span<const std::uint8_t> packet) {
    (void)endpoint;
    (void)frame;
    (void)packet;
  }

  // CLEAR_FEATURE(ENDPOINT_HALT) from a pipe reset, and a port reset.
  virtual void ResetPipe(std::uint8_t endpoint) { (void)endpoint; }
  virtual void ResetPort() {}

  // A model that moves whole transfers itself returns its queue; the bus
  // then never calls Out, In, Halted, IsoIn or IsoOut for it.
  virtual TransferQueue *Transfers() { return nullptr; }

 protected:
  BusPort *port() const { return port_; }

 private:
  BusPort *port_ = nullptr;
};

}  // namespace usb
