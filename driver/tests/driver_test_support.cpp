#include "driver_test_support.h"

#include <algorithm>
#include <cstring>

namespace drivertest {

// ---- Descriptors ----------------------------------------------------------

Bytes InterfaceDescriptor(std::uint8_t number, std::uint8_t alternate, std::uint8_t endpoints,
                          std::uint8_t interfaceClass, std::uint8_t subClass, std::uint8_t protocol) {
  return {9, 4, number, alternate, endpoints, interfaceClass, subClass, protocol, 0};
}

Bytes EndpointDescriptor(std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket,
                         std::uint8_t interval) {
  return {7,
          5,
          address,
          attributes,
          static_cast<std::uint8_t>(maxPacket & 0xFF),
          static_cast<std::uint8_t>(maxPacket >> 8),
          interval};
}

Bytes Configuration(const std::vector<Bytes> &parts, std::uint8_t interfaces) {
  Bytes out{9, 2, 0, 0, interfaces, 1, 0, 0x80, 50};
  for (const Bytes &part : parts) out.insert(out.end(), part.begin(), part.end());
  out[2] = static_cast<std::uint8_t>(out.size() & 0xFF);
  out[3] = static_cast<std::uint8_t>(out.size() >> 8);
  return out;
}

Bytes ThreeChannelConfiguration() {
  return Configuration({
      InterfaceDescriptor(0, 0, 3),
      EndpointDescriptor(0x01, 2, 512),
      EndpointDescriptor(0x81, 2, 512),
      EndpointDescriptor(0x82, 2, 512),
      InterfaceDescriptor(0, 1, 4),
      EndpointDescriptor(0x01, 2, 512),
      EndpointDescriptor(0x81, 2, 512),
      EndpointDescriptor(0x82, 2, 512),
      EndpointDescriptor(0x83, 1, 1024, 1),
  });
}

Bytes MixedPipeConfiguration() {
  return Configuration({
      InterfaceDescriptor(0, 0, 5),
      EndpointDescriptor(0x01, 2, 512),
      EndpointDescriptor(0x81, 2, 512),
      EndpointDescriptor(0x83, 3, 64, 1),
      EndpointDescriptor(0x84, 1, 1024, 1),
      EndpointDescriptor(0x05, 0, 64),
  });
}

Bytes LargeConfiguration() {
  // Class-specific descriptors (type 0x24) between the two alternate
  // settings push the second one past the first 265 bytes.
  std::vector<Bytes> parts = {
      InterfaceDescriptor(0, 0, 3),
      EndpointDescriptor(0x01, 2, 512),
      EndpointDescriptor(0x81, 2, 512),
      EndpointDescriptor(0x82, 2, 512),
  };
  const std::size_t secondSetting = 9 + 4 * 7;  // interface + four endpoints
  std::size_t used = 9 + 9 + 3 * 7;
  std::size_t padding = 300 - used - secondSetting;
  while (padding > 0) {
    std::size_t length = std::min<std::size_t>(padding, 200);
    Bytes filler(length, 0x5A);
    filler[0] = static_cast<std::uint8_t>(length);
    filler[1] = 0x24;
    parts.push_back(filler);
    padding -= length;
  }
  parts.push_back(InterfaceDescriptor(0, 1, 4));
  parts.push_back(EndpointDescriptor(0x01, 2, 512));
  parts.push_back(EndpointDescriptor(0x81, 2, 512));
  parts.push_back(EndpointDescriptor(0x82, 2, 512));
  parts.push_back(EndpointDescriptor(0x83, 1, 1024, 1));
  return Configuration(parts);
}

// ---- TestDevice -----------------------------------------------------------

TestDevice::TestDevice(Bytes configuration) : configuration_(std::move(configuration)) {
  strings_[0] = {4, 3, 0x09, 0x04};
  strings_[1] = {12, 3, 'P', 0, 'r', 0, 'o', 0, 'b', 0, 'e', 0};
}

Bytes TestDevice::DefaultDeviceDescriptor() {
  return {18, 1, 0x00, 0x02, 0xFF, 0x00, 0x00, 64, 0x09, 0x12, 0x02, 0x57, 0x00, 0x01, 1, 0, 0, 1};
}

Bytes TestDevice::DeviceDescriptor() {
  std::lock_guard guard(lock_);
  ++counts_.deviceDescriptorReads;
  return DefaultDeviceDescriptor();
}

Bytes TestDevice::ConfigurationDescriptor(std::uint8_t index) {
  std::lock_guard guard(lock_);
  ++counts_.configurationReads;
  return index == 0 ? configuration_ : Bytes{};
}

std::optional<Bytes> TestDevice::StringDescriptor(std::uint8_t index, std::uint16_t) {
  std::lock_guard guard(lock_);
  ++counts_.stringReads;
  auto it = strings_.find(index);
  if (it == strings_.end()) return std::nullopt;
  return it->second;
}

usb::Outcome TestDevice::SetConfiguration(std::uint8_t value) {
  std::lock_guard guard(lock_);
  configurationValues_.push_back(value);
  return stallSetConfiguration_ && value != 0 ? usb::Outcome::Stall : usb::Outcome::Ok;
}

usb::Outcome TestDevice::SetInterface(std::uint8_t interface, std::uint8_t alternate) {
  std::lock_guard guard(lock_);
  ++counts_.setInterfaces;
  interfaceSelections_.emplace_back(interface, alternate);
  return stallSetInterface_ ? usb::Outcome::Stall : usb::Outcome::Ok;
}

usb::ControlResult TestDevice::Control(const usb::SetupPacket &setup, std::span<std::uint8_t> data) {
  std::lock_guard guard(lock_);
  ++counts_.controlRequests;
  ControlRecord record{setup, {}};
  if (!setup.DeviceToHost()) record.payload.assign(data.begin(), data.end());
  control_.push_back(record);
  if (stalledRequests_.count(setup.request) != 0) return {usb::Outcome::Stall, 0};
  if (!setup.DeviceToHost()) return {usb::Outcome::Ok, data.size()};
  std::size_t answer = std::min(data.size(), controlAnswerLength_.value_or(data.size()));
  for (std::size_t k = 0; k < answer; ++k) data[k] = static_cast<std::uint8_t>(0xA0 + k);
  return {usb::Outcome::Ok, answer};
}

usb::Outcome TestDevice::Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
  std::lock_guard guard(lock_);
  ++counts_.outTransfers;
  if (halted_.count(endpoint) != 0) return usb::Outcome::Stall;
  out_[endpoint].emplace_back(data.begin(), data.end());
  return usb::Outcome::Ok;
}

std::optional<Bytes> TestDevice::In(std::uint8_t endpoint, std::size_t maxLength) {
  std::optional<Bytes> packet;
  {
    std::lock_guard guard(lock_);
    ++counts_.inPolls;
    ++polls_[endpoint];
    auto &queue = queued_[endpoint];
    if (!queue.empty()) {
      Bytes &front = queue.front();
      if (front.size() <= maxLength) {
        packet = std::move(front);
        queue.pop_front();
      } else {
        packet = Bytes(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(maxLength));
        front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(maxLength));
      }
    }
  }
  polled_.notify_all();
  return packet;
}

bool TestDevice::Halted(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  return halted_.count(endpoint) != 0;
}

void TestDevice::ResetPipe(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  ++counts_.pipeResets;
  resetPipes_.push_back(endpoint);
  halted_.erase(endpoint);
}

void TestDevice::ResetPort() {
  std::lock_guard guard(lock_);
  ++counts_.portResets;
}

void TestDevice::QueuePacket(std::uint8_t endpoint, Bytes packet) {
  {
    std::lock_guard guard(lock_);
    queued_[endpoint].push_back(std::move(packet));
  }
  if (usb::BusPort *bus = port()) bus->DataReady(endpoint);
}

void TestDevice::Halt(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  halted_.insert(endpoint);
}

void TestDevice::SetStrings(std::map<std::uint8_t, Bytes> strings) {
  std::lock_guard guard(lock_);
  strings_ = std::move(strings);
}

void TestDevice::StallRequests(std::set<std::uint8_t> requests) {
  std::lock_guard guard(lock_);
  stalledRequests_ = std::move(requests);
}

void TestDevice::SetControlAnswerLength(std::optional<std::size_t> bytes) {
  std::lock_guard guard(lock_);
  controlAnswerLength_ = bytes;
}

void TestDevice::StallSetConfiguration(bool stall) {
  std::lock_guard guard(lock_);
  stallSetConfiguration_ = stall;
}

void TestDevice::StallSetInterface(bool stall) {
  std::lock_guard guard(lock_);
  stallSetInterface_ = stall;
}

TestDevice::Counts TestDevice::Calls() {
  std::lock_guard guard(lock_);
  return counts_;
}

std::vector<TestDevice::ControlRecord> TestDevice::ControlRequests() {
  std::lock_guard guard(lock_);
  return control_;
}

std::vector<Bytes> TestDevice::OutTransfers(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  return out_[endpoint];
}

std::vector<std::uint8_t> TestDevice::ConfigurationValues() {
  std::lock_guard guard(lock_);
  return configurationValues_;
}

std::vector<std::pair<std::uint8_t, std::uint8_t>> TestDevice::InterfaceSelections() {
  std::lock_guard guard(lock_);
  return interfaceSelections_;
}

std::vector<std::uint8_t> TestDevice::ResetPipes() {
  std::lock_guard guard(lock_);
  return resetPipes_;
}

bool TestDevice::WaitForPolls(std::uint8_t endpoint, int polls, std::chrono::milliseconds timeout) {
  std::unique_lock guard(lock_);
  return polled_.wait_for(guard, timeout, [&] { return polls_[endpoint] >= polls; });
}

int TestDevice::Polls(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  return polls_[endpoint];
}

// ---- User mode ------------------------------------------------------------

std::string DevicePath(int slot) { return std::string("\\\\.\\TAVRIN-") + static_cast<char>('0' + slot); }

std::u16string DeviceName(int slot) { return u"\\Device\\Tavrin-" + std::u16string(1, static_cast<char16_t>(u'0' + slot)); }

std::u16string LinkName(int slot) {
  return u"\\DosDevices\\Tavrin-" + std::u16string(1, static_cast<char16_t>(u'0' + slot));
}

Handle &Handle::operator=(Handle &&other) noexcept {
  if (this != &other) {
    Close();
    handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
  }
  return *this;
}

Handle Handle::Open(const std::string &path) {
  return Handle(CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                            OPEN_EXISTING, 0, nullptr));
}

void Handle::Close() {
  if (handle_ != INVALID_HANDLE_VALUE) CloseHandle(handle_);
  handle_ = INVALID_HANDLE_VALUE;
}

Reply Call(HANDLE handle, DWORD code, const Bytes &input, DWORD outputLength, std::uint8_t fill) {
  return CallWithOutput(handle, code, input, Bytes(outputLength, fill));
}

Reply CallWithOutput(HANDLE handle, DWORD code, const Bytes &input, Bytes output) {
  Reply reply;
  reply.output = std::move(output);
  Bytes in = input;  // the call may not write the caller's input, but it is not const
  OVERLAPPED overlapped{};
  DWORD returned = 0;
  SetLastError(ERROR_SUCCESS);
  BOOL ok = DeviceIoControl(handle, code, in.empty() ? nullptr : in.data(), static_cast<DWORD>(in.size()),
                            reply.output.empty() ? nullptr : reply.output.data(), static_cast<DWORD>(reply.output.size()),
                            &returned, &overlapped);
  reply.ok = ok != FALSE;
  reply.error = reply.ok ? 0 : GetLastError();
  reply.status = static_cast<NTSTATUS>(static_cast<std::uint32_t>(overlapped.Internal));
  reply.information = overlapped.InternalHigh;
  return reply;
}

Bytes PipeIndex(std::int32_t index) {
  Bytes out(4);
  std::memcpy(out.data(), &index, 4);
  return out;
}

Reply Transfer(HANDLE handle, DWORD code, std::int32_t pipe, Bytes buffer) {
  return CallWithOutput(handle, code, PipeIndex(pipe), std::move(buffer));
}

std::future<Reply> StartTransfer(HANDLE handle, DWORD code, std::int32_t pipe, std::size_t length) {
  return std::async(std::launch::async, [=] { return Transfer(handle, code, pipe, Bytes(length, 0)); });
}

Reply Finish(std::future<Reply> &transfer, host::DeviceId id) {
  if (transfer.wait_for(kEventTimeout) != std::future_status::ready) {
    ADD_FAILURE() << "the blocked request did not complete";
    host::Detach(id);
  }
  return transfer.get();
}

Bytes TextBytes(const std::string &text) { return Bytes(text.begin(), text.end()); }

std::string TextOf(const Bytes &bytes, std::size_t count) {
  return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size())));
}

namespace {

template <typename T>
T At(const Bytes &bytes, std::size_t offset) {
  T value{};
  if (offset + sizeof(T) <= bytes.size()) std::memcpy(&value, bytes.data() + offset, sizeof(T));
  return value;
}

}  // namespace

InterfaceRecord ParseRecord(const Bytes &bytes, std::size_t count) {
  Bytes valid(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(std::min(count, bytes.size())));
  InterfaceRecord record;
  record.length = At<std::uint16_t>(valid, 0);
  record.interfaceNumber = At<std::uint8_t>(valid, 2);
  record.alternateSetting = At<std::uint8_t>(valid, 3);
  record.interfaceClass = At<std::uint8_t>(valid, 4);
  record.subClass = At<std::uint8_t>(valid, 5);
  record.protocol = At<std::uint8_t>(valid, 6);
  record.numberOfPipes = At<std::uint32_t>(valid, 16);
  for (std::size_t k = 0; TAVRIN_RECORD_HEADER_BYTES + TAVRIN_RECORD_PIPE_BYTES * (k + 1) <= valid.size(); ++k) {
    std::size_t base = TAVRIN_RECORD_HEADER_BYTES + TAVRIN_RECORD_PIPE_BYTES * k;
    PipeEntry pipe;
    pipe.maximumPacketSize = At<std::uint16_t>(valid, base);
    pipe.endpointAddress = At<std::uint8_t>(valid, base + 2);
    pipe.interval = At<std::uint8_t>(valid, base + 3);
    pipe.pipeType = At<std::uint32_t>(valid, base + 4);
    pipe.pipeHandle = At<std::uint64_t>(valid, base + 8);
    pipe.maximumTransferSize = At<std::uint32_t>(valid, base + 16);
    record.pipes.push_back(pipe);
  }
  return record;
}

Reply ReadRecordBytes(HANDLE handle) {
  Bytes buffer(TAVRIN_RECORD_BUFFER_BYTES, 0);
  return CallWithOutput(handle, IOCTL_INSTR_GET_INTERFACE_RECORD, buffer, buffer);
}

std::optional<InterfaceRecord> ReadRecord(HANDLE handle) {
  Reply reply = ReadRecordBytes(handle);
  if (!reply.ok || reply.information == 0) return std::nullopt;
  return ParseRecord(reply.output, reply.information);
}

std::uint32_t LastUsbdStatus(HANDLE handle) {
  Reply reply = Call(handle, IOCTL_INSTR_GET_LAST_USBD_STATUS, {}, 4);
  EXPECT_TRUE(reply.ok) << "last USBD status: error " << reply.error;
  EXPECT_EQ(reply.information, 4u);
  return At<std::uint32_t>(reply.output, 0);
}

// ---- Kernel-side requests -------------------------------------------------

namespace {

NTSTATUS SignalDone(PDEVICE_OBJECT, PIRP, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS SendAndWait(PDEVICE_OBJECT top, UCHAR major, UCHAR minor, NTSTATUS initial,
                     PDEVICE_CAPABILITIES capabilities) {
  PIRP irp = IoAllocateIrp(top->StackSize, FALSE);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = initial;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = major;
  next->MinorFunction = minor;
  if (major == IRP_MJ_PNP) next->Parameters.DeviceCapabilities.Capabilities = capabilities;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalDone, &done, TRUE, TRUE, TRUE);
  IoCallDriver(top, irp);
  KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

UNICODE_STRING Counted(std::u16string &text) {
  UNICODE_STRING counted;
  counted.Length = static_cast<USHORT>(text.size() * sizeof(WCHAR));
  counted.MaximumLength = counted.Length;
  counted.Buffer = text.data();
  return counted;
}

}  // namespace

NTSTATUS SendPnp(PDEVICE_OBJECT top, UCHAR minor, PDEVICE_CAPABILITIES capabilities) {
  return SendAndWait(top, IRP_MJ_PNP, minor, STATUS_NOT_SUPPORTED, capabilities);
}

NTSTATUS SendPower(PDEVICE_OBJECT top, UCHAR minor, NTSTATUS initial) {
  return SendAndWait(top, IRP_MJ_POWER, minor, initial, nullptr);
}

namespace {
std::mutex g_busPnpLock;
PDRIVER_DISPATCH g_busPnp = nullptr;

NTSTATUS KeepPdoAtRemoval(PDEVICE_OBJECT pdo, PIRP irp) {
  if (IoGetCurrentIrpStackLocation(irp)->MinorFunction != IRP_MN_REMOVE_DEVICE) return g_busPnp(pdo, irp);
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}
}  // namespace

NTSTATUS RemoveWhilePlugged(host::DeviceId id) {
  std::lock_guard guard(g_busPnpLock);
  PDRIVER_OBJECT bus = host::PhysicalDevice(id)->DriverObject;
  g_busPnp = bus->MajorFunction[IRP_MJ_PNP];
  bus->MajorFunction[IRP_MJ_PNP] = KeepPdoAtRemoval;
  NTSTATUS status = SendPnp(host::TopDevice(id), IRP_MN_REMOVE_DEVICE);
  bus->MajorFunction[IRP_MJ_PNP] = g_busPnp;
  return status;
}

NTSTATUS SendSystemControl(PDEVICE_OBJECT top, NTSTATUS initial) {
  return SendAndWait(top, IRP_MJ_SYSTEM_CONTROL, 0, initial, nullptr);
}

NameSquatter::NameSquatter(std::u16string name) : name_(std::move(name)) {
  std::u16string target = u"\\Device\\Nowhere";
  UNICODE_STRING link = Counted(name_);
  UNICODE_STRING to = Counted(target);
  held_ = NT_SUCCESS(IoCreateSymbolicLink(&link, &to));
}

NameSquatter::~NameSquatter() {
  if (!held_) return;
  UNICODE_STRING link = Counted(name_);
  IoDeleteSymbolicLink(&link);
}

// ---- Fixture --------------------------------------------------------------

void DriverTest::SetUp() {
  host::SetSimulatedInstruments(0);
  poolBefore_ = km::PoolInUse();
}

void DriverTest::TearDown() {
  device.Close();
  km::ClearAllocationFailures();
  host::WaitForPnp();
  EXPECT_EQ(km::OpenFileCount(), 0u) << "a test left a handle open";
  host::Shutdown();
  km::PoolUsage after = km::PoolInUse();
  EXPECT_EQ(after.allocations, poolBefore_.allocations) << "pool blocks left after shutdown";
  EXPECT_EQ(after.bytes, poolBefore_.bytes) << "pool bytes left after shutdown";
  // A link left behind would take its slot from every later test: report it
  // here and remove it.
  for (int slot = 0; slot <= 16; ++slot) {
    EXPECT_FALSE(km::NameExists(DeviceName(slot))) << "device name of slot " << slot << " left after shutdown";
    std::u16string link = LinkName(slot);
    if (!km::NameExists(link)) continue;
    ADD_FAILURE() << "link of slot " << slot << " left after shutdown";
    UNICODE_STRING counted = Counted(link);
    IoDeleteSymbolicLink(&counted);
  }
}

host::DeviceId DriverTest::Attach(std::shared_ptr<usb::DeviceModel> model) {
  host::DeviceId id = host::Attach(std::move(model));
  host::WaitForPnp();
  return id;
}

std::shared_ptr<TestDevice> DriverTest::AttachStarted(Bytes configuration) {
  auto model = std::make_shared<TestDevice>(std::move(configuration));
  deviceId = Attach(model);
  EXPECT_TRUE(host::Started(deviceId)) << "the device did not start";
  device = Handle::Open(DevicePath(0));
  EXPECT_TRUE(device.valid()) << "open failed with error " << GetLastError();
  return model;
}

}  // namespace drivertest
