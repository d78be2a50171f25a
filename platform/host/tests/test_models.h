// Device models and a pass-through function driver for tests of the bus and
// the Plug and Play manager, and helpers that send URBs down a stack.
#pragma once

#include <host/host.h>
#include <usb.h>
#include <usbdlib.h>
#include <usbioctl.h>

#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

namespace hosttest {

// A device whose endpoints the test feeds and reads. Interface 0 alternate
// setting 0 has bulk OUT 0x01, bulk IN 0x81 and interrupt IN 0x83 (512-byte
// packets; the interrupt pipe 64); alternate setting 1 adds isochronous IN
// 0x84 (1024-byte packets).
class LoopbackDevice : public usb::DeviceModel {
 public:
  usb::Bytes DeviceDescriptor() override;
  usb::Bytes ConfigurationDescriptor(std::uint8_t index) override;
  std::optional<usb::Bytes> StringDescriptor(std::uint8_t index, std::uint16_t language) override;
  usb::Outcome SetInterface(std::uint8_t interface, std::uint8_t alternate) override;
  usb::ControlResult Control(const usb::SetupPacket &setup, std::span<std::uint8_t> data) override;
  usb::Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
  std::optional<usb::Bytes> In(std::uint8_t endpoint, std::size_t maxLength) override;
  std::size_t IsoIn(std::uint8_t endpoint, std::uint32_t frame, std::span<std::uint8_t> packet) override;
  bool Halted(std::uint8_t endpoint) override;
  void ResetPipe(std::uint8_t endpoint) override;

  // Queues one packet on an IN endpoint and tells the bus.
  void Send(std::uint8_t endpoint, usb::Bytes packet);
  std::vector<usb::Bytes> Received();               // OUT transfers, in order
  std::vector<usb::SetupPacket> ControlRequests();  // in order
  std::vector<std::uint32_t> IsoFrames();           // frame of each iso packet filled
  void Halt(std::uint8_t endpoint);
  int PipeResets();

  // What the configuration descriptor claims; tests make it lie.
  usb::Bytes configuration = DefaultConfiguration();
  static usb::Bytes DefaultConfiguration();

 private:
  std::mutex lock_;
  std::map<std::uint8_t, std::deque<usb::Bytes>> queued_;
  std::vector<usb::Bytes> received_;
  std::vector<usb::SetupPacket> control_;
  std::vector<std::uint32_t> isoFrames_;
  std::map<std::uint8_t, bool> halted_;
  std::uint32_t isoSequence_ = 0;
  int pipeResets_ = 0;
};

// Installs a function driver that attaches above each PDO and passes every
// request down; tests send URBs to the top of the stack.
void UsePassThroughDriver();
// The Plug and Play minor functions the pass-through driver saw, in order.
std::vector<UCHAR> PnpLog();
// Opens a handle on the pass-through device at the top of a stack.
PFILE_OBJECT OpenFunctionDevice(PDEVICE_OBJECT top);

// An URB request in flight.
class UrbRequest {
 public:
  UrbRequest(PDEVICE_OBJECT top, URB *urb, ULONG code = IOCTL_INTERNAL_USB_SUBMIT_URB);
  NTSTATUS Start();
  bool Done();  // completed (the bus thread settled first)
  NTSTATUS Wait();
  // False when the request is still running after `timeout`.
  bool WaitFor(std::chrono::milliseconds timeout);
  NTSTATUS Status() const { return iosb_.Status; }
  void Cancel();

 private:
  PDEVICE_OBJECT top_;
  PIRP irp_;
  KEVENT done_;
  IO_STATUS_BLOCK iosb_{};
};

NTSTATUS SubmitUrb(PDEVICE_OBJECT top, URB *urb);

}  // namespace hosttest
