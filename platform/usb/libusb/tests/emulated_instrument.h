// A substitute instrument on an emulated USB device: umockdev's testbed shows
// libusb its sysfs entry and device node, and an ioctl handler answers the
// usbfs requests on that node (descriptors, configuration, claim and release,
// submit, reap and discard of URBs, clear-halt, reset) by driving the
// instrument, as the kernel's usbfs would drive a real one. Needs umockdev's
// preload library in the process.
#pragma once

#include <substitute_instrument.h>

#include <platform/work_queue.h>

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>

// umockdev's types, kept out of this header: its glib headers and the
// Windows stand-in's both define TRUE and FALSE.
struct _UMockdevTestbed;
struct _UMockdevIoctlBase;
struct _UMockdevIoctlClient;

namespace usb::emulated {

// True when umockdev's preload library is loaded; else why not in `reason`.
bool PreloadActive(std::string *reason);

class EmulatedInstrument final : public BusPort {
 public:
  // Where the programs that open the device run: in this process (tests),
  // or in others started with the preload and this testbed's directory.
  enum class Clients { ThisProcess, OtherProcesses };

  // Sets up its own testbed (the emulated /sys and /dev).
  explicit EmulatedInstrument(InstrumentConfig config,
                     std::uint16_t vendor = SubstituteInstrument::kVendorId,
                     std::uint16_t product = SubstituteInstrument::kProductId, int deviceNumber = 2,
                     Clients clients = Clients::ThisProcess);
  ~EmulatedInstrument() override;

  // Plugs the device in (its sysfs entry appears with an "add" event) or
  // pulls it (URBs in flight end with ENODEV, then a "remove" event).
  void Plug();
  void Unplug();
  bool Plugged();

  SubstituteInstrument &Instrument() { return *instrument_; }
  // URBs that libusb took back with a discard.
  int Discards();
  // Bulk and interrupt IN URBs waiting for the instrument to say something.
  std::size_t WaitingReads();
  // The device node's path, /dev/bus/usb/001/NNN.
  std::string Node() const;

  // BusPort: what the instrument asks of its bus.
  void DataReady(std::uint8_t endpoint) override;
  void Detach() override;
  void Reattach(std::chrono::milliseconds delay) override;
  void After(std::chrono::milliseconds delay, std::function<void()> work) override;
  std::uint32_t FrameNumber() const override;
  // The clock the timers run on.
  std::chrono::nanoseconds Now() const override { return std::chrono::nanoseconds(km::ClockNanoseconds()); }

 private:
  struct Urb;
  static int HandleIoctl(_UMockdevIoctlBase *handler, _UMockdevIoctlClient *client, void *self);
  bool Ioctl(_UMockdevIoctlClient *client);
  void Submit(_UMockdevIoctlClient *client);
  void Control(Urb &urb);
  // Moves finished URBs to the reap list; call with lock_ held.
  void ServeIn();
  void ServeInOnce();
  void Finish(std::shared_ptr<Urb> urb, int status, int actual);
  void UnplugNow();

  _UMockdevTestbed *testbed_;
  std::unique_ptr<SubstituteInstrument> instrument_;
  std::uint16_t vendor_;
  std::uint16_t product_;
  int deviceNumber_;
  Clients clients_;
  std::string syspath_;
  _UMockdevIoctlBase *handler_ = nullptr;
  bool handlerAttached_ = false;
  std::chrono::steady_clock::time_point start_ = std::chrono::steady_clock::now();

  std::recursive_mutex lock_;
  bool plugged_ = false;
  std::uint64_t plugging_ = 0;  // timers from an earlier plug do nothing
  int discards_ = 0;
  bool serving_ = false;
  bool serveAgain_ = false;
  std::deque<std::shared_ptr<Urb>> waitingIn_;  // bulk and interrupt IN, in order
  std::deque<std::shared_ptr<Urb>> reapable_;
  std::map<unsigned long, std::shared_ptr<Urb>> flying_;  // by the client's URB address
  platform::WorkQueue timers_;  // last: stopped first
};

}  // namespace usb::emulated
