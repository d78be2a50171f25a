#include "test_models.h"

#include <km/standin.h>

#include <atomic>

namespace hosttest {

usb::Bytes LoopbackDevice::DeviceDescriptor() {
  return {18, 1, 0x00, 0x02, 0xFF, 0, 0, 64, 0x09, 0x12, 0x34, 0x12, 0x00, 0x01, 1, 2, 0, 1};
}

usb::Bytes LoopbackDevice::DefaultConfiguration() {
  usb::Bytes bytes = {9, 2, 76, 0, 1, 1, 0, 0x80, 50};
  auto add = [&](std::initializer_list<std::uint8_t> d) { bytes.insert(bytes.end(), d); };
  add({9, 4, 0, 0, 3, 0xFF, 0, 0, 0});
  add({7, 5, 0x01, 0x02, 0x00, 0x02, 0});
  add({7, 5, 0x81, 0x02, 0x00, 0x02, 0});
  add({7, 5, 0x83, 0x03, 64, 0, 1});
  add({9, 4, 0, 1, 4, 0xFF, 0, 0, 0});
  add({7, 5, 0x01, 0x02, 0x00, 0x02, 0});
  add({7, 5, 0x81, 0x02, 0x00, 0x02, 0});
  add({7, 5, 0x83, 0x03, 64, 0, 1});
  add({7, 5, 0x84, 0x01, 0x00, 0x04, 1});
  return bytes;
}

usb::Bytes LoopbackDevice::ConfigurationDescriptor(std::uint8_t) { return configuration; }

std::optional<usb::Bytes> LoopbackDevice::StringDescriptor(std::uint8_t index, std::uint16_t) {
  if (index == 0) return usb::Bytes{4, 3, 0x09, 0x04};
  if (index != 1) return std::nullopt;
  return usb::Bytes{10, 3, 'T', 0, 'e', 0, 's', 0, 't', 0};
}

usb::Outcome LoopbackDevice::SetInterface(std::uint8_t interface, std::uint8_t alternate) {
  return interface == 0 && alternate <= 1 ? usb::Outcome::Ok : usb::Outcome::Stall;
}

usb::ControlResult LoopbackDevice::Control(const usb::SetupPacket &setup, std::span<std::uint8_t> data) {
  std::lock_guard guard(lock_);
  control_.push_back(setup);
  if (setup.request == 0xEE) return {usb::Outcome::Stall, 0};
  if (setup.DeviceToHost()) {
    for (std::size_t i = 0; i < data.size() && i < 4; ++i) data[i] = static_cast<std::uint8_t>(0xA0 + i);
    return {usb::Outcome::Ok, std::min<std::size_t>(4, data.size())};
  }
  return {usb::Outcome::Ok, data.size()};
}

usb::Outcome LoopbackDevice::Out(std::uint8_t endpoint, std::span<const std::uint8_t> data) {
  std::lock_guard guard(lock_);
  if (halted_[endpoint]) return usb::Outcome::Stall;
  received_.emplace_back(data.begin(), data.end());
  return usb::Outcome::Ok;
}

std::optional<usb::Bytes> LoopbackDevice::In(std::uint8_t endpoint, std::size_t maxLength) {
  std::lock_guard guard(lock_);
  auto &queue = queued_[endpoint];
  if (queue.empty()) return std::nullopt;
  usb::Bytes &front = queue.front();
  if (front.size() <= maxLength) {
    usb::Bytes packet = std::move(front);
    queue.pop_front();
    return packet;
  }
  usb::Bytes packet(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(maxLength));
  front.erase(front.begin(), front.begin() + static_cast<std::ptrdiff_t>(maxLength));
  return packet;
}

std::size_t LoopbackDevice::IsoIn(std::uint8_t, std::uint32_t frame, std::span<std::uint8_t> packet) {
  std::lock_guard guard(lock_);
  isoFrames_.push_back(frame);
  std::uint32_t sequence = isoSequence_++;
  for (std::size_t i = 0; i < packet.size(); ++i) packet[i] = static_cast<std::uint8_t>(sequence + i);
  return packet.size();
}

bool LoopbackDevice::Halted(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  return halted_[endpoint];
}

void LoopbackDevice::ResetPipe(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  halted_[endpoint] = false;
  ++pipeResets_;
}

void LoopbackDevice::Send(std::uint8_t endpoint, usb::Bytes packet) {
  {
    std::lock_guard guard(lock_);
    queued_[endpoint].push_back(std::move(packet));
  }
  if (port() != nullptr) port()->DataReady(endpoint);
}

std::vector<usb::Bytes> LoopbackDevice::Received() {
  std::lock_guard guard(lock_);
  return received_;
}

std::vector<usb::SetupPacket> LoopbackDevice::ControlRequests() {
  std::lock_guard guard(lock_);
  return control_;
}

std::vector<std::uint32_t> LoopbackDevice::IsoFrames() {
  std::lock_guard guard(lock_);
  return isoFrames_;
}

void LoopbackDevice::Halt(std::uint8_t endpoint) {
  std::lock_guard guard(lock_);
  halted_[endpoint] = true;
}

int LoopbackDevice::PipeResets() {
  std::lock_guard guard(lock_);
  return pipeResets_;
}

// ---- The pass-through function driver ----------------------------------------

namespace {

std::mutex g_logLock;
std::vector<UCHAR> g_pnpLog;
std::atomic<int> g_fdoNumber{0};

PDEVICE_OBJECT LowerOf(PDEVICE_OBJECT fdo) { return *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension); }

NTSTATUS OpenOrClose(PDEVICE_OBJECT, PIRP irp) {
  irp->IoStatus.Status = STATUS_SUCCESS;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

NTSTATUS PassDown(PDEVICE_OBJECT fdo, PIRP irp) {
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(LowerOf(fdo), irp);
}

NTSTATUS Pnp(PDEVICE_OBJECT fdo, PIRP irp) {
  UCHAR minor = IoGetCurrentIrpStackLocation(irp)->MinorFunction;
  {
    std::lock_guard guard(g_logLock);
    g_pnpLog.push_back(minor);
  }
  if (minor != IRP_MN_REMOVE_DEVICE) return PassDown(fdo, irp);
  PDEVICE_OBJECT lower = LowerOf(fdo);
  IoDetachDevice(lower);
  IoDeleteDevice(fdo);
  IoSkipCurrentIrpStackLocation(irp);
  return IoCallDriver(lower, irp);
}

NTSTATUS AddDevice(PDRIVER_OBJECT driver, PDEVICE_OBJECT pdo) {
  PDEVICE_OBJECT fdo;
  std::u16string name = u"\\Device\\UrbTest-";
  for (char c : std::to_string(g_fdoNumber++)) name.push_back(static_cast<char16_t>(c));
  UNICODE_STRING text{static_cast<USHORT>(name.size() * 2), static_cast<USHORT>(name.size() * 2), name.data()};
  NTSTATUS status = IoCreateDevice(driver, sizeof(PDEVICE_OBJECT), &text, FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status)) return status;
  *static_cast<PDEVICE_OBJECT *>(fdo->DeviceExtension) = IoAttachDeviceToDeviceStack(fdo, pdo);
  fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

NTSTATUS Entry(PDRIVER_OBJECT driver, PUNICODE_STRING) {
  driver->DriverExtension->AddDevice = AddDevice;
  driver->MajorFunction[IRP_MJ_PNP] = Pnp;
  driver->MajorFunction[IRP_MJ_POWER] = PassDown;
  driver->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = PassDown;
  driver->MajorFunction[IRP_MJ_CREATE] = OpenOrClose;
  driver->MajorFunction[IRP_MJ_CLEANUP] = OpenOrClose;
  driver->MajorFunction[IRP_MJ_CLOSE] = OpenOrClose;
  return STATUS_SUCCESS;
}

}  // namespace

void UsePassThroughDriver() {
  host::SetFunctionDriver(u"\\Driver\\PassThrough", Entry);
  std::lock_guard guard(g_logLock);
  g_pnpLog.clear();
}

std::vector<UCHAR> PnpLog() {
  std::lock_guard guard(g_logLock);
  return g_pnpLog;
}

PFILE_OBJECT OpenFunctionDevice(PDEVICE_OBJECT top) {
  PFILE_OBJECT file = nullptr;
  // The pass-through device is named; find its name through the stack top.
  for (int n = 0; n < g_fdoNumber; ++n) {
    std::u16string name = u"\\Device\\UrbTest-";
    for (char c : std::to_string(n)) name.push_back(static_cast<char16_t>(c));
    if (km::LookupDevice(name) == top && NT_SUCCESS(km::OpenFile(name, &file))) return file;
  }
  return nullptr;
}

// ---- URBs ------------------------------------------------------------------------

UrbRequest::UrbRequest(PDEVICE_OBJECT top, URB *urb, ULONG code) : top_(top) {
  KeInitializeEvent(&done_, NotificationEvent, FALSE);
  irp_ = IoBuildDeviceIoControlRequest(code, top, nullptr, 0, nullptr, 0, TRUE, &done_, &iosb_);
  IoGetNextIrpStackLocation(irp_)->Parameters.Others.Argument1 = urb;
}

NTSTATUS UrbRequest::Start() { return IoCallDriver(top_, irp_); }

bool UrbRequest::Done() {
  host::WaitForPnp();  // lets the bus finish what it is doing
  return KeReadStateEvent(&done_) != 0;
}

NTSTATUS UrbRequest::Wait() {
  KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, nullptr);
  return iosb_.Status;
}

bool UrbRequest::WaitFor(std::chrono::milliseconds timeout) {
  LARGE_INTEGER relative;
  relative.QuadPart = -static_cast<LONGLONG>(timeout.count()) * 10000;
  return KeWaitForSingleObject(&done_, Executive, KernelMode, FALSE, &relative) == STATUS_SUCCESS;
}

void UrbRequest::Cancel() {
  // At APC_LEVEL the request cannot finish and be freed between the check
  // and the cancel.
  KIRQL old;
  KeRaiseIrql(APC_LEVEL, &old);
  if (KeReadStateEvent(&done_) == 0) IoCancelIrp(irp_);
  KeLowerIrql(old);
}

NTSTATUS SubmitUrb(PDEVICE_OBJECT top, URB *urb) {
  UrbRequest request(top, urb);
  request.Start();
  return request.Wait();
}

}  // namespace hosttest
