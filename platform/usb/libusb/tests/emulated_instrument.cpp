#include "emulated_instrument.h"

#include <umockdev.h>

#include <linux/usbdevice_fs.h>
#include <sys/ioctl.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

namespace usb::emulated {

// One URB the client submitted, kept resolved until it is reaped: what the
// handler writes into it reaches the client when the reap completes.
struct EmulatedInstrument::Urb {
  UMockdevIoctlData *data = nullptr;    // struct usbdevfs_urb (+ iso descriptors)
  UMockdevIoctlData *buffer = nullptr;  // its data buffer
  unsigned long address = 0;            // the client's URB address
  ~Urb() {
    if (buffer != nullptr) g_object_unref(buffer);
    if (data != nullptr) g_object_unref(data);
  }
  usbdevfs_urb &Get() const { return *reinterpret_cast<usbdevfs_urb *>(data->data); }
  std::uint8_t *Bytes() const { return buffer != nullptr ? buffer->data : nullptr; }
};

bool PreloadActive(std::string *reason) {
  std::ifstream maps("/proc/self/maps");
  std::stringstream text;
  text << maps.rdbuf();
  if (text.str().find("libumockdev-preload") != std::string::npos) return true;
  if (reason != nullptr) {
    const char *preload = std::getenv("LD_PRELOAD");
    *reason = std::string("libumockdev-preload.so is not loaded (LD_PRELOAD=") + (preload ? preload : "") + ")";
  }
  return false;
}

EmulatedInstrument::EmulatedInstrument(InstrumentConfig config, std::uint16_t vendor, std::uint16_t product,
                                       int deviceNumber, Clients clients)
    : testbed_(umockdev_testbed_new()),
      instrument_(std::make_unique<SubstituteInstrument>(std::move(config))),
      vendor_(vendor),
      product_(product),
      deviceNumber_(deviceNumber),
      clients_(clients) {}

EmulatedInstrument::~EmulatedInstrument() {
  if (Plugged()) UnplugNow();
  timers_.Drain();
  if (handler_ != nullptr) g_object_unref(handler_);
  g_object_unref(testbed_);
}

std::size_t EmulatedInstrument::WaitingReads() {
  std::lock_guard guard(lock_);
  return waitingIn_.size();
}

std::string EmulatedInstrument::Node() const {
  char node[64];
  std::snprintf(node, sizeof node, "/dev/bus/usb/001/%03d", deviceNumber_);
  return node;
}

bool EmulatedInstrument::Plugged() {
  std::lock_guard guard(lock_);
  return plugged_;
}

int EmulatedInstrument::Discards() {
  std::lock_guard guard(lock_);
  return discards_;
}

void EmulatedInstrument::Plug() {
  std::lock_guard guard(lock_);
  if (plugged_) return;
  Bytes descriptors = instrument_->DeviceDescriptor();
  Bytes configuration = instrument_->ConfigurationDescriptor(0);
  // The device descriptor announces the identifiers this device is to have.
  descriptors[8] = static_cast<std::uint8_t>(vendor_);
  descriptors[9] = static_cast<std::uint8_t>(vendor_ >> 8);
  descriptors[10] = static_cast<std::uint8_t>(product_);
  descriptors[11] = static_cast<std::uint8_t>(product_ >> 8);
  descriptors.insert(descriptors.end(), configuration.begin(), configuration.end());
  // A umockdev record: the sysfs entry with its attributes (H: binary, in
  // hexadecimal), the udev properties, and the device node (N:).
  char line[128];
  std::string record = "P: /devices/1-1\n";
  std::snprintf(line, sizeof line, "N: bus/usb/001/%03d\nE: DEVNAME=%s\n", deviceNumber_, Node().c_str());
  record += line;
  std::snprintf(line, sizeof line, "E: BUSNUM=001\nE: DEVNUM=%03d\nA: devnum=%d\n", deviceNumber_, deviceNumber_);
  record += line;
  std::snprintf(line, sizeof line, "A: idVendor=%04x\nA: idProduct=%04x\nE: PRODUCT=%x/%x/100\n", vendor_, product_,
                vendor_, product_);
  record += line;
  record +=
      "E: DEVTYPE=usb_device\nE: SUBSYSTEM=usb\nA: busnum=1\nA: speed=480\nA: bConfigurationValue=1\n"
      "A: dev=189:1\nH: descriptors=";
  for (std::uint8_t byte : descriptors) {
    std::snprintf(line, sizeof line, "%02X", byte);
    record += line;
  }
  record += "\n";
  GError *error = nullptr;
  if (!umockdev_testbed_add_from_string(testbed_, record.c_str(), &error)) {
    std::fprintf(stderr, "umockdev refuses the device: %s\n", error ? error->message : "?");
    g_clear_error(&error);
  }
  syspath_ = "/sys/devices/1-1";
  std::string node = Node();
  // The handler stays on the node's path across unplugs: one handler per path.
  if (handler_ == nullptr) {
    handler_ = umockdev_ioctl_base_new();
    g_signal_connect(handler_, "handle-ioctl", G_CALLBACK(HandleIoctl), this);
  }
  if (!handlerAttached_ && !umockdev_testbed_attach_ioctl(testbed_, node.c_str(), handler_, &error)) {
    std::fprintf(stderr, "umockdev cannot emulate %s: %s\n", node.c_str(), error ? error->message : "?");
    g_clear_error(&error);
  }
  handlerAttached_ = true;
  plugged_ = true;
  ++plugging_;
  instrument_->Attached(this);
}

void EmulatedInstrument::Unplug() {
  std::lock_guard guard(lock_);
  if (plugged_) UnplugNow();
}

void EmulatedInstrument::UnplugNow() {
  plugged_ = false;
  ++plugging_;
  instrument_->Detached();
  // As usbfs does at a disconnect: every URB in flight ends with ENODEV and
  // stays reapable; new requests fail.
  for (auto &[address, urb] : flying_) {
    urb->Get().status = -ENODEV;
    urb->Get().actual_length = 0;
    reapable_.push_back(urb);
  }
  flying_.clear();
  waitingIn_.clear();
  umockdev_testbed_uevent(testbed_, syspath_.c_str(), "remove");
  umockdev_testbed_remove_device(testbed_, syspath_.c_str());
}

// ---- BusPort -----------------------------------------------------------------

void EmulatedInstrument::DataReady(std::uint8_t) {
  std::lock_guard guard(lock_);
  ServeIn();
}

void EmulatedInstrument::Detach() {
  timers_.Post([this] { Unplug(); });
}

void EmulatedInstrument::Reattach(std::chrono::milliseconds delay) {
  timers_.Post([this] { Unplug(); });
  timers_.Schedule(delay, [this] { Plug(); });
}

void EmulatedInstrument::After(std::chrono::milliseconds delay, std::function<void()> work) {
  std::uint64_t plugging;
  {
    std::lock_guard guard(lock_);
    plugging = plugging_;
  }
  timers_.Schedule(delay, [this, plugging, work = std::move(work)] {
    std::lock_guard guard(lock_);
    if (plugged_ && plugging == plugging_) work();
  });
}

std::uint32_t EmulatedInstrument::FrameNumber() const {
  return static_cast<std::uint32_t>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start_).count());
}

// ---- usbfs -------------------------------------------------------------------

int EmulatedInstrument::HandleIoctl(UMockdevIoctlBase *, UMockdevIoctlClient *client, void *self) {
  return static_cast<EmulatedInstrument *>(self)->Ioctl(client) ? TRUE : FALSE;
}

bool EmulatedInstrument::Ioctl(UMockdevIoctlClient *client) {
  std::lock_guard guard(lock_);
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  const unsigned long request = umockdev_ioctl_client_get_request(client);
  auto intArg = [&]() -> unsigned int {
    UMockdevIoctlData *value = umockdev_ioctl_data_resolve(arg, 0, sizeof(unsigned int), nullptr);
    unsigned int result = value != nullptr ? *reinterpret_cast<unsigned int *>(value->data) : 0;
    if (value != nullptr) g_object_unref(value);
    return result;
  };
  auto done = [&](long result, int error) { umockdev_ioctl_client_complete(client, result, error); };

  if (request == USBDEVFS_REAPURB || request == USBDEVFS_REAPURBNDELAY) {
    if (reapable_.empty()) {
      done(-1, plugged_ ? EAGAIN : ENODEV);
      return true;
    }
    std::shared_ptr<Urb> urb = reapable_.front();
    reapable_.pop_front();
    // The argument points at the client's URB pointer, which gets the URB.
    UMockdevIoctlData *slot = umockdev_ioctl_data_resolve(arg, 0, sizeof(void *), nullptr);
    umockdev_ioctl_data_set_ptr(slot, 0, urb->data);
    g_object_unref(slot);
    done(0, 0);
    return true;
  }
  if (request == USBDEVFS_DISCARDURB) {
    unsigned long address = *reinterpret_cast<unsigned long *>(arg->data);
    auto it = flying_.find(address);
    if (it == flying_.end()) {
      done(-1, EINVAL);
      return true;
    }
    std::shared_ptr<Urb> urb = it->second;
    waitingIn_.erase(std::remove(waitingIn_.begin(), waitingIn_.end(), urb), waitingIn_.end());
    ++discards_;
    Finish(urb, -ENOENT, urb->Get().actual_length);
    done(0, 0);
    return true;
  }
  if (!plugged_) {
    done(-1, ENODEV);
    return true;
  }
  switch (request) {
    case USBDEVFS_GET_CAPABILITIES: {
      UMockdevIoctlData *caps = umockdev_ioctl_data_resolve(arg, 0, sizeof(std::uint32_t), nullptr);
      *reinterpret_cast<std::uint32_t *>(caps->data) =
          USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
      g_object_unref(caps);
      done(0, 0);
      return true;
    }
    case USBDEVFS_CLAIMINTERFACE:
    case USBDEVFS_RELEASEINTERFACE:
      done(intArg() == SubstituteInstrument::kInterfaceNumber ? 0 : -1, intArg() == 0 ? 0 : EINVAL);
      return true;
    case USBDEVFS_GETDRIVER:
      done(-1, ENODATA);  // no kernel driver has bound it
      return true;
    case USBDEVFS_SETCONFIGURATION: {
      Outcome outcome = instrument_->SetConfiguration(static_cast<std::uint8_t>(intArg()));
      done(outcome == Outcome::Ok ? 0 : -1, outcome == Outcome::Ok ? 0 : EINVAL);
      return true;
    }
    case USBDEVFS_SETINTERFACE: {
      UMockdevIoctlData *value = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_setinterface), nullptr);
      auto *setting = reinterpret_cast<usbdevfs_setinterface *>(value->data);
      Outcome outcome = instrument_->SetInterface(static_cast<std::uint8_t>(setting->interface),
                                                  static_cast<std::uint8_t>(setting->altsetting));
      g_object_unref(value);
      done(outcome == Outcome::Ok ? 0 : -1, outcome == Outcome::Ok ? 0 : EINVAL);
      return true;
    }
    case USBDEVFS_CLEAR_HALT:
      instrument_->ResetPipe(static_cast<std::uint8_t>(intArg()));
      done(0, 0);
      return true;
    case USBDEVFS_RESET:
      instrument_->ResetPort();
      done(0, 0);
      return true;
    case USBDEVFS_SUBMITURB:
      Submit(client);
      return true;
    default:
      done(-1, ENOTTY);
      return true;
  }
}

void EmulatedInstrument::Submit(UMockdevIoctlClient *client) {
  UMockdevIoctlData *arg = umockdev_ioctl_client_get_arg(client);
  auto urb = std::make_shared<Urb>();
  urb->address = *reinterpret_cast<unsigned long *>(arg->data);
  urb->data = umockdev_ioctl_data_resolve(arg, 0, sizeof(usbdevfs_urb), nullptr);
  if (urb->Get().buffer_length > 0) {
    urb->buffer =
        umockdev_ioctl_data_resolve(urb->data, offsetof(usbdevfs_urb, buffer), urb->Get().buffer_length, nullptr);
  }
  // Taken only now: resolving the buffer may have moved the URB's local copy.
  usbdevfs_urb &raw = urb->Get();
  raw.status = -EINPROGRESS;
  raw.actual_length = 0;
  flying_[urb->address] = urb;
  const bool in = (raw.endpoint & 0x80) != 0;
  switch (raw.type) {
    case USBDEVFS_URB_TYPE_CONTROL:
      Control(*urb);
      Finish(urb, urb->Get().status, urb->Get().actual_length);
      break;
    case USBDEVFS_URB_TYPE_BULK:
    case USBDEVFS_URB_TYPE_INTERRUPT:
      if (in) {
        waitingIn_.push_back(urb);
        ServeIn();
      } else {
        Outcome outcome = instrument_->Out(raw.endpoint, {urb->Bytes(), static_cast<std::size_t>(raw.buffer_length)});
        // The instrument may have left the bus meanwhile (it answers from
        // its OUT), which already ended this URB.
        if (flying_.count(urb->address) != 0) {
          Finish(urb, outcome == Outcome::Ok ? 0 : outcome == Outcome::Stall ? -EPIPE : -EPROTO,
                 outcome == Outcome::Ok ? raw.buffer_length : 0);
        }
      }
      break;
    case USBDEVFS_URB_TYPE_ISO: {
      if (clients_ == Clients::OtherProcesses) {
        // See below: the packet descriptors are reachable only in place.
        std::fprintf(stderr, "emulated device: isochronous URBs are served to this process's clients only\n");
        Finish(urb, -EINVAL, 0);
        break;
      }
      // Packets end to end, filled by the instrument; the URB completes once
      // the bus time its packets take (eight per 1 ms frame) has passed.
      std::size_t offset = 0;
      // umockdev resolves a pointer's memory once, at the size first asked,
      // so the packet descriptors after the URB cannot be resolved once the
      // URB's packet count is known. The testbed runs in the client's own
      // process, so they are read and written in place, as usbfs would.
      usbdevfs_iso_packet_desc *packets = reinterpret_cast<usbdevfs_urb *>(urb->address)->iso_frame_desc;
      int total = 0;
      for (int k = 0; k < raw.number_of_packets; ++k) {
        std::size_t length = std::min<std::size_t>(packets[k].length, raw.buffer_length - offset);
        packets[k].actual_length = in ? static_cast<unsigned>(instrument_->IsoIn(
                                             raw.endpoint, FrameNumber(), {urb->Bytes() + offset, length}))
                                      : 0;
        packets[k].status = 0;
        total += static_cast<int>(packets[k].actual_length);
        offset += packets[k].length;
      }
      std::uint64_t plugging = plugging_;
      timers_.Schedule(std::chrono::milliseconds((raw.number_of_packets + 7) / 8), [this, urb, total, plugging] {
        std::lock_guard guard(lock_);
        if (plugging == plugging_ && flying_.count(urb->address) != 0) Finish(urb, 0, total);
      });
      break;
    }
    default:
      Finish(urb, -EINVAL, 0);
      break;
  }
  umockdev_ioctl_client_complete(client, 0, 0);
}

void EmulatedInstrument::Control(Urb &urb) {
  usbdevfs_urb &raw = urb.Get();
  std::uint8_t *bytes = urb.Bytes();
  if (bytes == nullptr || raw.buffer_length < 8) {
    raw.status = -EINVAL;
    return;
  }
  SetupPacket setup{bytes[0], bytes[1], static_cast<std::uint16_t>(bytes[2] | (bytes[3] << 8)),
                    static_cast<std::uint16_t>(bytes[4] | (bytes[5] << 8)),
                    static_cast<std::uint16_t>(bytes[6] | (bytes[7] << 8))};
  std::size_t room = std::min<std::size_t>(setup.length, raw.buffer_length - 8);
  raw.status = -EPIPE;
  raw.actual_length = 0;
  if (setup.requestType == 0x80 && setup.request == 6) {  // GET_DESCRIPTOR
    std::optional<Bytes> descriptor;
    switch (setup.value >> 8) {
      case 1:
        descriptor = instrument_->DeviceDescriptor();
        (*descriptor)[8] = static_cast<std::uint8_t>(vendor_);
        (*descriptor)[9] = static_cast<std::uint8_t>(vendor_ >> 8);
        (*descriptor)[10] = static_cast<std::uint8_t>(product_);
        (*descriptor)[11] = static_cast<std::uint8_t>(product_ >> 8);
        break;
      case 2:
        descriptor = instrument_->ConfigurationDescriptor(static_cast<std::uint8_t>(setup.value));
        break;
      case 3:
        descriptor = instrument_->StringDescriptor(static_cast<std::uint8_t>(setup.value), setup.index);
        break;
      default:
        break;
    }
    if (!descriptor) return;
    std::size_t length = std::min(room, descriptor->size());
    std::memcpy(bytes + 8, descriptor->data(), length);
    raw.status = 0;
    raw.actual_length = static_cast<int>(length);
    return;
  }
  ControlResult result = instrument_->Control(setup, {bytes + 8, room});
  if (result.outcome == Outcome::Ok) {
    raw.status = 0;
    raw.actual_length = static_cast<int>(setup.DeviceToHost() ? std::min(result.bytes, room) : room);
  }
}

void EmulatedInstrument::ServeIn() {
  // Each waiting IN URB takes packets until it is full or a packet is short,
  // as a host controller fills it; on each endpoint the first URB that gets
  // nothing waits on, and so do the ones behind it.
  if (serving_) {  // called back from the instrument while serving
    serveAgain_ = true;
    return;
  }
  serving_ = true;
  do {
    serveAgain_ = false;
    ServeInOnce();
  } while (serveAgain_);
  serving_ = false;
}

void EmulatedInstrument::ServeInOnce() {
  std::vector<std::uint8_t> blocked;
  for (auto it = waitingIn_.begin(); it != waitingIn_.end();) {
    std::shared_ptr<Urb> urb = *it;
    usbdevfs_urb &raw = urb->Get();
    if (std::find(blocked.begin(), blocked.end(), raw.endpoint) != blocked.end()) {
      ++it;
      continue;
    }
    if (instrument_->Halted(raw.endpoint)) {
      it = waitingIn_.erase(it);
      Finish(urb, -EPIPE, 0);
      continue;
    }
    std::size_t got = static_cast<std::size_t>(raw.actual_length);
    const std::size_t total = static_cast<std::size_t>(raw.buffer_length);
    bool finished = total == 0;
    while (!finished && got < total) {
      std::size_t room = std::min<std::size_t>(SubstituteInstrument::kBulkPacketSize, total - got);
      std::optional<Bytes> packet = instrument_->In(raw.endpoint, room);
      if (!packet) break;
      std::memcpy(urb->Bytes() + got, packet->data(), std::min(packet->size(), room));
      got += std::min(packet->size(), room);
      finished = packet->size() < SubstituteInstrument::kBulkPacketSize || got == total;
    }
    raw.actual_length = static_cast<int>(got);
    if (!finished) {
      blocked.push_back(raw.endpoint);
      ++it;
      continue;
    }
    it = waitingIn_.erase(it);
    Finish(urb, 0, static_cast<int>(got));
  }
}

void EmulatedInstrument::Finish(std::shared_ptr<Urb> urb, int status, int actual) {
  urb->Get().status = status;
  urb->Get().actual_length = actual;
  flying_.erase(urb->address);
  reapable_.push_back(std::move(urb));
}

}  // namespace usb::emulated
