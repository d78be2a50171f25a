// What the driver's tests share: a device model whose descriptors, answers and
// failures each test chooses and which records everything the bus hands it;
// descriptor builders; user-mode calls through kernel32 that report the
// kernel status and byte count as well as the Win32 error; the interface
// record read back at its byte offsets; Plug and Play and power requests sent
// to the top of a device stack; and the fixture that leaves the system as it
// found it.
#pragma once

#include <windows.h>

#include <host/host.h>
#include <km/standin.h>
#include <substitute_instrument.h>
#include <tavrin_ioctl.h>
#include <usb.h>
#include <usb/device_model.h>

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <utility>
#include <vector>

namespace drivertest {

using usb::Bytes;
using namespace std::chrono_literals;

// How long a test waits for something that happens on another thread before
// it calls the wait a failure. Generous: it only bounds a hang.
inline constexpr std::chrono::milliseconds kEventTimeout = 20s;

// The driver's pool tag, 'Tavn'.
inline constexpr ULONG kDriverPoolTag = 0x6E766154;

// ---- Descriptors ----------------------------------------------------------

Bytes InterfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints,
                          std::uint8_t interfaceClass = 0xFF, std::uint8_t subClass = 0x00,
                          std::uint8_t protocol = 0x00);
Bytes EndpointDescriptor(std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket,
                         std::uint8_t interval = 0);
// A configuration descriptor set: the 9-byte header (wTotalLength and
// bNumInterfaces filled in) followed by `parts` in order.
Bytes Configuration(const std::vector<Bytes> &parts, std::uint8_t interfaces = 1);

// Interface 0: alternate setting 0 with bulk OUT 0x01 and bulk IN 0x81 and
// 0x82 (512-byte packets); alternate setting 1 with the same three and an
// isochronous IN 0x83 (1024-byte packets).
Bytes ThreeChannelConfiguration();
// Interface 0, alternate setting 0: bulk OUT 0x01, bulk IN 0x81, interrupt IN
// 0x83 (64), isochronous IN 0x84 (1024) and an endpoint 0x05 of control type.
Bytes MixedPipeConfiguration();
// ThreeChannelConfiguration padded with class-specific descriptors to 300
// bytes, so that alternate setting 1 does not fit in the first 265.
Bytes LargeConfiguration();

inline constexpr std::uint8_t kCommandEndpoint = 0x01;
inline constexpr std::uint8_t kReplyEndpoint = 0x81;
inline constexpr std::uint8_t kFormattedEndpoint = 0x82;
inline constexpr std::size_t kBulkPacket = 512;

// ---- A device model for tests ---------------------------------------------

// Answers from the descriptors it was given, keeps what the host sends, sends
// what the test queues, and fails where the test says. Safe to inspect and
// change from any thread.
class TestDevice : public usb::DeviceModel {
 public:
  explicit TestDevice(Bytes configuration = ThreeChannelConfiguration());

  static Bytes DefaultDeviceDescriptor();

  // DeviceModel
  Bytes DeviceDescriptor() override;
  Bytes ConfigurationDescriptor(std::uint8_t index) override;
  std::optional<Bytes> StringDescriptor(std::uint8_t index, std::uint16_t language) override;
  usb::Outcome SetConfiguration(std::uint8_t value) override;
  usb::Outcome SetInterface(std::uint8_t interface, std::uint8_t alternate) override;
  usb::ControlResult Control(const usb::SetupPacket &setup, std::span<std::uint8_t> data) override;
  usb::Outcome Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) override;
  std::optional<Bytes> In(std::uint8_t endpoint, std::size_t maxLength) override;
  bool Halted(std::uint8_t endpoint) override;
  void ResetPipe(std::uint8_t endpoint) override;
  void ResetPort() override;

  // --- What the test arranges ---
  // Queues one packet on an IN endpoint (a packet shorter than the
  // endpoint's packet size ends the transfer it lands in).
  void QueuePacket(std::uint8_t endpoint, Bytes packet);
  // Makes an endpoint stall (IN and OUT) until a pipe reset clears it.
  void Halt(std::uint8_t endpoint);
  void SetStrings(std::map<std::uint8_t, Bytes> strings);
  // Control requests with these bRequest values stall.
  void StallRequests(std::set<std::uint8_t> requests);
  // Bytes a device-to-host control request answers (at most wLength); by
  // default as many as asked, byte k = 0xA0 + k.
  void SetControlAnswerLength(std::optional<std::size_t> bytes);
  void StallSetConfiguration(bool stall);
  void StallSetInterface(bool stall);

  // --- What the host did ---
  struct Counts {
    int deviceDescriptorReads = 0;
    int configurationReads = 0;
    int stringReads = 0;
    int controlRequests = 0;
    int outTransfers = 0;
    int inPolls = 0;  // on every IN endpoint
    int pipeResets = 0;
    int portResets = 0;
    int setInterfaces = 0;
  };
  struct ControlRecord {
    usb::SetupPacket setup;
    Bytes payload;  // host-to-device data stage
  };
  Counts Calls();
  std::vector<ControlRecord> ControlRequests();
  std::vector<Bytes> OutTransfers(std::uint8_t endpoint);
  std::vector<std::uint8_t> ConfigurationValues();
  std::vector<std::pair<std::uint8_t, std::uint8_t>> InterfaceSelections();
  std::vector<std::uint8_t> ResetPipes();
  // Waits until the host has asked `endpoint` for data at least `polls`
  // times in all; false when `timeout` passed first.
  bool WaitForPolls(std::uint8_t endpoint, int polls, std::chrono::milliseconds timeout = kEventTimeout);
  int Polls(std::uint8_t endpoint);

 private:
  std::mutex lock_;
  std::condition_variable polled_;
  Bytes configuration_;
  std::map<std::uint8_t, Bytes> strings_;
  std::set<std::uint8_t> stalledRequests_;
  std::optional<std::size_t> controlAnswerLength_;
  bool stallSetConfiguration_ = false;
  bool stallSetInterface_ = false;
  std::map<std::uint8_t, std::deque<Bytes>> queued_;
  std::set<std::uint8_t> halted_;
  Counts counts_;
  std::vector<ControlRecord> control_;
  std::map<std::uint8_t, std::vector<Bytes>> out_;
  std::map<std::uint8_t, int> polls_;
  std::vector<std::uint8_t> configurationValues_;
  std::vector<std::pair<std::uint8_t, std::uint8_t>> interfaceSelections_;
  std::vector<std::uint8_t> resetPipes_;
};

// ---- User mode ------------------------------------------------------------

// "\\.\TAVRIN-<c>" with c = '0' + slot, the way user mode opens slot `slot`.
std::string DevicePath(int slot);
// "\Device\Tavrin-<c>" and "\DosDevices\Tavrin-<c>".
std::u16string DeviceName(int slot);
std::u16string LinkName(int slot);

// A kernel32 handle, closed when it goes.
class Handle {
 public:
  Handle() = default;
  explicit Handle(HANDLE handle) : handle_(handle) {}
  ~Handle() { Close(); }
  Handle(Handle &&other) noexcept : handle_(std::exchange(other.handle_, INVALID_HANDLE_VALUE)) {}
  Handle &operator=(Handle &&other) noexcept;
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;

  // CreateFileA with read and write access, as the device-access library
  // opens an instrument. Invalid on failure; GetLastError says why.
  static Handle Open(const std::string &path);

  bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
  HANDLE get() const { return handle_; }
  void Close();

 private:
  HANDLE handle_ = INVALID_HANDLE_VALUE;
};

// The outcome of one DeviceIoControl call.
struct Reply {
  bool ok = false;
  DWORD error = 0;          // GetLastError after a failure, 0 after a success
  NTSTATUS status = 0;      // the request's final status
  ULONG_PTR information = 0;  // the request's byte count, also after a failure
  Bytes output;             // the output buffer afterwards
};

// Sends `code` with `input` and an output buffer of `outputLength` bytes
// filled with `fill` beforehand (or the given `output` bytes).
Reply Call(HANDLE handle, DWORD code, const Bytes &input, DWORD outputLength, std::uint8_t fill = 0xCC);
Reply CallWithOutput(HANDLE handle, DWORD code, const Bytes &input, Bytes output);

template <typename Record>
Bytes AsBytes(const Record &record) {
  const auto *bytes = reinterpret_cast<const std::uint8_t *>(&record);
  return Bytes(bytes, bytes + sizeof(Record));
}
Bytes PipeIndex(std::int32_t index);
// A transfer code on pipe `pipe` with `buffer` as the output buffer.
Reply Transfer(HANDLE handle, DWORD code, std::int32_t pipe, Bytes buffer);
// Runs a transfer that will block, on a thread of its own.
std::future<Reply> StartTransfer(HANDLE handle, DWORD code, std::int32_t pipe, std::size_t length);
// The transfer's reply once it has finished. Should it still be blocked
// after kEventTimeout, the test fails and the device is pulled, so that the
// test ends instead of hanging.
Reply Finish(std::future<Reply> &transfer, host::DeviceId id);
Bytes TextBytes(const std::string &text);
std::string TextOf(const Bytes &bytes, std::size_t count);

// The interface record as it comes back, read at its 64-bit byte offsets.
struct PipeEntry {
  std::uint16_t maximumPacketSize = 0;
  std::uint8_t endpointAddress = 0;
  std::uint8_t interval = 0;
  std::uint32_t pipeType = 0;
  std::uint64_t pipeHandle = 0;
  std::uint32_t maximumTransferSize = 0;
};
struct InterfaceRecord {
  std::uint16_t length = 0;
  std::uint8_t interfaceNumber = 0;
  std::uint8_t alternateSetting = 0;
  std::uint8_t interfaceClass = 0;
  std::uint8_t subClass = 0;
  std::uint8_t protocol = 0;
  std::uint32_t numberOfPipes = 0;
  std::vector<PipeEntry> pipes;
};
// Parses `count` bytes of a record; the pipes are those that fit.
InterfaceRecord ParseRecord(const Bytes &bytes, std::size_t count);
// IOCTL_INSTR_GET_INTERFACE_RECORD the way the library sends it: one
// 356-byte buffer as input and output.
Reply ReadRecordBytes(HANDLE handle);
// The record, or nullopt when the call failed or reported no bytes.
std::optional<InterfaceRecord> ReadRecord(HANDLE handle);
// IOCTL_INSTR_GET_LAST_USBD_STATUS's u32.
std::uint32_t LastUsbdStatus(HANDLE handle);

// ---- Kernel-side requests -------------------------------------------------

// Sends a Plug and Play request to the top of a device's stack and waits for
// it; returns its final status.
NTSTATUS SendPnp(PDEVICE_OBJECT top, UCHAR minor, PDEVICE_CAPABILITIES capabilities = nullptr);
// Sends a power request; `initial` is the status the request starts with.
NTSTATUS SendPower(PDEVICE_OBJECT top, UCHAR minor, NTSTATUS initial);
// Sends the remove request to a device that stays plugged in, as Windows
// does when a user stops a device; the bus answers it but keeps its PDO
// (which host::Shutdown removes later). Returns the request's status.
NTSTATUS RemoveWhilePlugged(host::DeviceId id);
// Sends a WMI request (IRP_MJ_SYSTEM_CONTROL) that starts with `initial`.
NTSTATUS SendSystemControl(PDEVICE_OBJECT top, NTSTATUS initial);

// Occupies a name in the object namespace with a symbolic link to nowhere,
// so that a driver cannot create it; removed when it goes.
class NameSquatter {
 public:
  explicit NameSquatter(std::u16string name);
  ~NameSquatter();
  NameSquatter(const NameSquatter &) = delete;
  NameSquatter &operator=(const NameSquatter &) = delete;
  bool held() const { return held_; }

 private:
  std::u16string name_;
  bool held_ = false;
};

// ---- Fixture --------------------------------------------------------------

// Each test starts with no device attached and ends with host::Shutdown(),
// after which the driver is unloaded (the verifier stops the process if it
// left pool behind) and the pool is what it was before the test.
class DriverTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Attaches a model and returns its id once Plug and Play has settled.
  host::DeviceId Attach(std::shared_ptr<usb::DeviceModel> model);
  // A TestDevice attached and started on slot 0, with a handle open on it.
  std::shared_ptr<TestDevice> AttachStarted(Bytes configuration = ThreeChannelConfiguration());

  // The handle AttachStarted opened.
  Handle device;
  host::DeviceId deviceId = 0;

 private:
  km::PoolUsage poolBefore_;
};

}  // namespace drivertest
