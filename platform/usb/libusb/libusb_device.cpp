#include "libusb_device.h"

#include "access_problem.h"

#include <algorithm>
#include <chrono>
#include <cstring>

namespace usb::libusb {
namespace {

constexpr unsigned kControlTimeoutMs = 5000;
constexpr std::uint8_t kGetDescriptor = 6;

Outcome OutcomeOfError(int error) {
  switch (error) {
    case LIBUSB_SUCCESS:
      return Outcome::Ok;
    case LIBUSB_ERROR_PIPE:
      return Outcome::Stall;
    case LIBUSB_ERROR_NO_DEVICE:
      return Outcome::Gone;
    case LIBUSB_ERROR_TIMEOUT:
      return Outcome::TimedOut;
    case LIBUSB_ERROR_OVERFLOW:
      return Outcome::Babble;
    default:
      return Outcome::NotResponding;
  }
}

std::string PlaceOf(libusb_device *device) {
  std::uint8_t ports[8];
  int count = libusb_get_port_numbers(device, ports, sizeof ports);
  std::string place = "bus " + std::to_string(libusb_get_bus_number(device));
  if (count > 0) {
    place += " port ";
    for (int i = 0; i < count; ++i) place += (i ? "." : "") + std::to_string(ports[i]);
  } else {
    place += " address " + std::to_string(libusb_get_device_address(device));
  }
  return place;
}

}  // namespace

Outcome OutcomeOf(int transferStatus) {
  switch (transferStatus) {
    case LIBUSB_TRANSFER_COMPLETED:
      return Outcome::Ok;
    case LIBUSB_TRANSFER_STALL:
      return Outcome::Stall;
    case LIBUSB_TRANSFER_OVERFLOW:
      return Outcome::Babble;
    case LIBUSB_TRANSFER_TIMED_OUT:
      return Outcome::TimedOut;
    case LIBUSB_TRANSFER_NO_DEVICE:
      return Outcome::Gone;
    case LIBUSB_TRANSFER_CANCELLED:
      return Outcome::Cancelled;
    default:
      return Outcome::NotResponding;
  }
}

// One transfer in libusb's hands. `pins` counts the threads that may still
// call libusb with it (its submitter, cancellers); the last one out after the
// transfer finished frees it.
struct LibusbDevice::Flight {
  LibusbDevice *owner;
  Id id;
  Transfer transfer;
  Done done;
  libusb_transfer *handle = nullptr;
  int pins = 1;
  bool submitted = false;
  bool cancelRequested = false;
  bool finished = false;
};

std::shared_ptr<LibusbDevice> LibusbDevice::Open(std::shared_ptr<LibusbContext> context, libusb_device *device,
                                                 bool detachKernelDriver, std::string *problem) {
  libusb_device_descriptor identity{};
  libusb_get_device_descriptor(device, &identity);
  libusb_device_handle *handle = nullptr;
  int result = libusb_open(device, &handle);
  if (result != LIBUSB_SUCCESS) {
    if (problem != nullptr) *problem = CannotOpen(device, identity.idVendor, identity.idProduct, result);
    return nullptr;
  }
  std::shared_ptr<LibusbDevice> model(new LibusbDevice(std::move(context), handle, PlaceOf(device)));
  libusb_set_auto_detach_kernel_driver(handle, detachKernelDriver ? 1 : 0);
  if (!detachKernelDriver) {
    libusb_config_descriptor *configuration = nullptr;
    if (libusb_get_config_descriptor(device, 0, &configuration) == LIBUSB_SUCCESS) {
      int held = -1;
      for (int i = 0; i < configuration->bNumInterfaces && held < 0; ++i) {
        int number = configuration->interface[i].altsetting[0].bInterfaceNumber;
        if (libusb_kernel_driver_active(handle, number) == 1) held = number;
      }
      libusb_free_config_descriptor(configuration);
      if (held >= 0) {
        if (problem != nullptr) *problem = HeldByKernelDriver(device, identity.idVendor, identity.idProduct, held);
        return nullptr;
      }
    }
  }
  auto descriptor = model->ReadDescriptor(1, 0, 0);
  auto configuration = model->ReadDescriptor(2, 0, 0);
  if (!descriptor || !configuration) {
    if (problem != nullptr) *problem = Unreadable(device, identity.idVendor, identity.idProduct);
    return nullptr;
  }
  model->deviceDescriptor_ = std::move(*descriptor);
  model->configurations_[0] = std::move(*configuration);
  return model;
}

LibusbDevice::LibusbDevice(std::shared_ptr<LibusbContext> context, libusb_device_handle *handle, std::string place)
    : context_(std::move(context)), handle_(handle), place_(std::move(place)) {}

LibusbDevice::~LibusbDevice() {
  if (handle_ != nullptr) Detached();
}

void LibusbDevice::Detached() {
  std::vector<Id> flying;
  {
    std::lock_guard guard(lock_);
    gone_ = true;
    for (auto &[id, flight] : flights_) flying.push_back(id);
  }
  for (Id id : flying) Cancel(id);
  {
    // Every transfer comes back from libusb before the handle closes: libusb
    // writes into their buffers until then.
    std::unique_lock guard(lock_);
    landed_.wait(guard, [this] { return flights_.empty() && busy_ == 0; });
  }
  if (handle_ != nullptr) {
    ReleaseInterfaces();
    libusb_close(handle_);
    handle_ = nullptr;
  }
  DeviceModel::Detached();
}

// ---- Control side ------------------------------------------------------------

ControlResult LibusbDevice::RunControl(const SetupPacket &setup, std::span<std::uint8_t> data) {
  if (handle_ == nullptr || context_->InEventThread()) return {Outcome::Gone, 0};
  struct Wait {
    std::mutex lock;
    std::condition_variable done;
    bool finished = false;
  } wait;
  std::size_t length = std::min<std::size_t>(setup.length, data.size());
  std::vector<unsigned char> buffer(LIBUSB_CONTROL_SETUP_SIZE + length);
  libusb_fill_control_setup(buffer.data(), setup.requestType, setup.request, setup.value, setup.index,
                            static_cast<std::uint16_t>(length));
  if (!setup.DeviceToHost() && length != 0) std::memcpy(buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, data.data(), length);
  libusb_transfer *transfer = libusb_alloc_transfer(0);
  if (transfer == nullptr) return {Outcome::NotResponding, 0};
  libusb_fill_control_transfer(
      transfer, handle_, buffer.data(),
      [](libusb_transfer *finished) {
        auto *waiting = static_cast<Wait *>(finished->user_data);
        std::lock_guard guard(waiting->lock);
        waiting->finished = true;
        waiting->done.notify_all();
      },
      &wait, kControlTimeoutMs);
  int result = libusb_submit_transfer(transfer);
  if (result != LIBUSB_SUCCESS) {
    libusb_free_transfer(transfer);
    return {OutcomeOfError(result), 0};
  }
  {
    std::unique_lock guard(wait.lock);
    wait.done.wait(guard, [&] { return wait.finished; });
  }
  ControlResult outcome{OutcomeOf(transfer->status), static_cast<std::size_t>(transfer->actual_length)};
  if (outcome.outcome == Outcome::Ok && setup.DeviceToHost()) {
    std::memcpy(data.data(), buffer.data() + LIBUSB_CONTROL_SETUP_SIZE, std::min(outcome.bytes, length));
  }
  libusb_free_transfer(transfer);
  return outcome;
}

std::optional<Bytes> LibusbDevice::ReadDescriptor(std::uint8_t type, std::uint8_t index, std::uint16_t language) {
  auto read = [&](std::uint16_t length) -> std::optional<Bytes> {
    Bytes bytes(length);
    SetupPacket setup{0x80, kGetDescriptor, static_cast<std::uint16_t>((type << 8) | index), language, length};
    ControlResult result = RunControl(setup, bytes);
    if (result.outcome != Outcome::Ok || result.bytes < 2) return std::nullopt;
    bytes.resize(result.bytes);
    return bytes;
  };
  if (type != 2) return read(type == 1 ? 18 : 255);
  // A configuration: its first nine bytes say how long the whole set is.
  auto head = read(9);
  if (!head || head->size() < 4) return std::nullopt;
  return read(static_cast<std::uint16_t>((*head)[2] | ((*head)[3] << 8)));
}

Bytes LibusbDevice::ConfigurationDescriptor(std::uint8_t index) {
  auto known = configurations_.find(index);
  if (known != configurations_.end()) return known->second;
  auto read = ReadDescriptor(2, index, 0);
  if (!read) return {};
  return configurations_[index] = std::move(*read);
}

std::optional<Bytes> LibusbDevice::StringDescriptor(std::uint8_t index, std::uint16_t language) {
  return ReadDescriptor(3, index, language);
}

ControlResult LibusbDevice::Control(const SetupPacket &setup, std::span<std::uint8_t> data) {
  return RunControl(setup, data);
}

Outcome LibusbDevice::SetConfiguration(std::uint8_t value) {
  if (handle_ == nullptr) return Outcome::Gone;
  // Unconfiguring gives the interfaces back; the device keeps its
  // configuration, so that other programs see it as the kernel left it.
  ReleaseInterfaces();
  if (value == 0) return Outcome::Ok;
  int current = -1;
  libusb_get_configuration(handle_, &current);
  if (current != value) {
    int result = libusb_set_configuration(handle_, value);
    if (result != LIBUSB_SUCCESS) return OutcomeOfError(result);
  }
  libusb_config_descriptor *configuration = nullptr;
  int result = libusb_get_config_descriptor_by_value(libusb_get_device(handle_), value, &configuration);
  if (result != LIBUSB_SUCCESS) return OutcomeOfError(result);
  Outcome outcome = Outcome::Ok;
  for (int i = 0; i < configuration->bNumInterfaces && outcome == Outcome::Ok; ++i) {
    int number = configuration->interface[i].altsetting[0].bInterfaceNumber;
    result = libusb_claim_interface(handle_, number);
    if (result == LIBUSB_SUCCESS) {
      std::lock_guard guard(lock_);
      claimed_.insert(number);
    } else {
      outcome = OutcomeOfError(result);
    }
  }
  libusb_free_config_descriptor(configuration);
  return outcome;
}

Outcome LibusbDevice::SetInterface(std::uint8_t interface, std::uint8_t alternate) {
  if (handle_ == nullptr) return Outcome::Gone;
  return OutcomeOfError(libusb_set_interface_alt_setting(handle_, interface, alternate));
}

void LibusbDevice::ReleaseInterfaces() {
  std::set<int> claimed;
  {
    std::lock_guard guard(lock_);
    claimed.swap(claimed_);
  }
  for (int number : claimed) libusb_release_interface(handle_, number);
}

void LibusbDevice::ResetPipe(std::uint8_t endpoint) {
  if (handle_ != nullptr) libusb_clear_halt(handle_, endpoint);
}

void LibusbDevice::ResetPort() {
  // A device whose descriptors change across the reset comes back through
  // hot-plug as a new device; libusb then reports it gone here.
  if (handle_ != nullptr) libusb_reset_device(handle_);
}

// ---- Endpoint transfers ------------------------------------------------------

void LibusbDevice::Submit(Id id, Transfer transfer, Done done) {
  const bool iso = transfer.type == EndpointType::Isochronous;
  auto *flight = new Flight{this, id, std::move(transfer), std::move(done)};
  Transfer &t = flight->transfer;
  // libusb lays isochronous packets end to end from the buffer's start; the
  // bus's packets are end to end from the first packet's offset.
  std::size_t base = iso && !t.packets.empty() ? std::min<std::size_t>(t.packets.front().offset, t.data.size()) : 0;
  unsigned char *buffer = t.data.data() + base;
  int length = static_cast<int>(t.data.size() - base);
  libusb_transfer *handle = libusb_alloc_transfer(iso ? static_cast<int>(t.packets.size()) : 0);
  int result = LIBUSB_ERROR_NO_MEM;
  if (handle != nullptr && handle_ != nullptr) {
    flight->handle = handle;
    switch (t.type) {
      case EndpointType::Isochronous:
        libusb_fill_iso_transfer(handle, handle_, t.endpoint, buffer, length, static_cast<int>(t.packets.size()),
                                 Finished, flight, 0);
        for (std::size_t k = 0; k < t.packets.size(); ++k) handle->iso_packet_desc[k].length = t.packets[k].length;
        break;
      case EndpointType::Interrupt:
        libusb_fill_interrupt_transfer(handle, handle_, t.endpoint, buffer, length, Finished, flight, 0);
        break;
      default:
        libusb_fill_bulk_transfer(handle, handle_, t.endpoint, buffer, length, Finished, flight, 0);
        break;
    }
    std::lock_guard guard(lock_);
    result = gone_ ? LIBUSB_ERROR_NO_DEVICE : LIBUSB_SUCCESS;
    if (result == LIBUSB_SUCCESS) {
      flights_[id] = flight;
      ++busy_;
    }
  } else if (handle != nullptr) {
    result = LIBUSB_ERROR_NO_DEVICE;
  }
  bool registered = result == LIBUSB_SUCCESS;
  if (registered) result = libusb_submit_transfer(handle);
  if (result != LIBUSB_SUCCESS) {
    {
      std::lock_guard guard(lock_);
      flights_.erase(id);
      if (registered) --busy_;
      landed_.notify_all();
    }
    TransferResult failed;
    failed.outcome = OutcomeOfError(result);
    for (IsoPacket packet : flight->transfer.packets) {
      packet.outcome = failed.outcome;
      failed.packets.push_back(packet);
    }
    Done tell = std::move(flight->done);
    if (handle != nullptr) libusb_free_transfer(handle);
    delete flight;
    tell(std::move(failed));
    return;
  }
  bool cancel;
  {
    std::lock_guard guard(lock_);
    flight->submitted = true;
    cancel = flight->cancelRequested && !flight->finished;
  }
  if (cancel) libusb_cancel_transfer(handle);
  Unpin(flight);
}

void LibusbDevice::Unpin(Flight *flight) {
  std::lock_guard guard(lock_);
  if (--flight->pins == 0 && flight->finished) {
    libusb_free_transfer(flight->handle);
    delete flight;
  }
  --busy_;
  landed_.notify_all();
}

void LibusbDevice::Cancel(Id id) {
  Flight *flight;
  {
    std::lock_guard guard(lock_);
    auto it = flights_.find(id);
    if (it == flights_.end()) return;
    flight = it->second;
    flight->cancelRequested = true;
    if (!flight->submitted) return;  // its submitter cancels it once submitted
    ++flight->pins;
    ++busy_;
  }
  libusb_cancel_transfer(flight->handle);
  Unpin(flight);
}

void LIBUSB_CALL LibusbDevice::Finished(libusb_transfer *transfer) {
  auto *flight = static_cast<Flight *>(transfer->user_data);
  flight->owner->Finish(flight);
}

void LibusbDevice::Finish(Flight *flight) {
  libusb_transfer *handle = flight->handle;
  TransferResult result;
  result.outcome = OutcomeOf(handle->status);
  if (flight->transfer.type == EndpointType::Isochronous) {
    for (std::size_t k = 0; k < flight->transfer.packets.size(); ++k) {
      IsoPacket packet = flight->transfer.packets[k];
      packet.actual = handle->iso_packet_desc[k].actual_length;
      packet.outcome = OutcomeOf(handle->iso_packet_desc[k].status);
      result.bytes += packet.actual;
      result.packets.push_back(packet);
    }
  } else {
    result.bytes = static_cast<std::size_t>(std::max(handle->actual_length, 0));
  }
  if (flight->transfer.In()) result.data = std::move(flight->transfer.data);
  // Told while the flight still counts, so that Detached() returns only once
  // nothing of the bus's is used in this thread any more.
  Done done = std::move(flight->done);
  done(std::move(result));
  std::lock_guard guard(lock_);
  flights_.erase(flight->id);
  flight->finished = true;
  if (flight->pins == 0) {
    libusb_free_transfer(handle);
    delete flight;
  }
  landed_.notify_all();
}

}  // namespace usb::libusb
