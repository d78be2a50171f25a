// Fuzzes descriptor handling from the bus up through Tavrin.sys: a device
// whose device, configuration, interface and endpoint descriptors (and
// strings) come from the input is attached through the host and started;
// when it starts, a few requests run on it (the interface record, a write,
// timed reads, another alternate setting, descriptor reads, a short
// isochronous read), and it is pulled again.
#include "fuzz_rig.h"

#include <tavrin_ioctl.h>

#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <map>
#include <mutex>

namespace {

using tavrinfuzz::Rig;
using usb::Bytes;

// A descriptor set shaped like a real one, from the input: a configuration
// header, then interfaces with alternate settings and their endpoints, any
// of whose bytes the input may then overwrite (lengths, types, counts).
Bytes ShapedConfiguration(FuzzedDataProvider &in) {
  Bytes set = {9, 2, 0, 0, 1, 1, 0, 0x80, 50};
  int interfaces = in.ConsumeIntegralInRange<int>(0, 3);
  set[4] = static_cast<std::uint8_t>(interfaces);
  for (int i = 0; i < interfaces; ++i) {
    int alternates = in.ConsumeIntegralInRange<int>(1, 2);
    for (int a = 0; a < alternates; ++a) {
      int endpoints = in.ConsumeIntegralInRange<int>(0, 5);
      Bytes interface = {9, 4, static_cast<std::uint8_t>(i), static_cast<std::uint8_t>(a),
                         static_cast<std::uint8_t>(endpoints), 0xFF, 0, 0, 0};
      set.insert(set.end(), interface.begin(), interface.end());
      for (int e = 0; e < endpoints; ++e) {
        std::uint8_t address = in.ConsumeIntegral<std::uint8_t>();
        std::uint8_t attributes = in.ConsumeIntegralInRange<std::uint8_t>(0, 3);
        std::uint16_t maxPacket = in.ConsumeIntegralInRange<std::uint16_t>(0, 0x1FFF);
        Bytes endpoint = {7, 5, address, attributes, static_cast<std::uint8_t>(maxPacket),
                          static_cast<std::uint8_t>(maxPacket >> 8), in.ConsumeIntegral<std::uint8_t>()};
        set.insert(set.end(), endpoint.begin(), endpoint.end());
      }
    }
  }
  std::uint16_t total = static_cast<std::uint16_t>(set.size());
  set[2] = static_cast<std::uint8_t>(total);
  set[3] = static_cast<std::uint8_t>(total >> 8);
  for (int edits = in.ConsumeIntegralInRange<int>(0, 4); edits > 0 && !set.empty(); --edits) {
    set[in.ConsumeIntegralInRange<std::size_t>(0, set.size() - 1)] = in.ConsumeIntegral<std::uint8_t>();
  }
  return set;
}

// Answers from what the input gave it; its IN endpoints send a few short
// packets and then nothing, its OUT endpoints take everything.
class FuzzedDevice : public usb::DeviceModel {
 public:
  explicit FuzzedDevice(FuzzedDataProvider &in) {
    device_ = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 20));
    if (in.ConsumeBool() && device_.size() >= 2) device_[0] = 18, device_[1] = 1;
    configuration_ = in.ConsumeBool() ? ShapedConfiguration(in)
                                      : in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 300));
    for (std::uint8_t k = 0, count = in.ConsumeIntegralInRange<std::uint8_t>(0, 2); k < count; ++k) {
      strings_[in.ConsumeIntegralInRange<std::uint8_t>(0, 3)] = in.ConsumeBytes<std::uint8_t>(
          in.ConsumeIntegralInRange<std::size_t>(0, 40));
    }
    packets_ = in.ConsumeIntegralInRange<int>(0, 3);
    packet_ = in.ConsumeBytes<std::uint8_t>(in.ConsumeIntegralInRange<std::size_t>(0, 600));
    stallSetConfiguration_ = in.ConsumeIntegralInRange<int>(0, 7) == 0;
  }

  Bytes DeviceDescriptor() override { return device_; }
  Bytes ConfigurationDescriptor(std::uint8_t) override { return configuration_; }
  std::optional<Bytes> StringDescriptor(std::uint8_t index, std::uint16_t) override {
    auto it = strings_.find(index);
    if (it == strings_.end()) return std::nullopt;
    return it->second;
  }
  usb::Outcome SetConfiguration(std::uint8_t) override {
    return stallSetConfiguration_ ? usb::Outcome::Stall : usb::Outcome::Ok;
  }
  usb::ControlResult Control(const usb::SetupPacket &setup, std::span<std::uint8_t> data) override {
    std::size_t bytes = std::min<std::size_t>(data.size(), packet_.size());
    if (setup.DeviceToHost()) std::copy_n(packet_.begin(), bytes, data.begin());
    return {usb::Outcome::Ok, setup.DeviceToHost() ? bytes : data.size()};
  }
  usb::Outcome Out(std::uint8_t, std::span<const std::uint8_t>) override { return usb::Outcome::Ok; }
  std::optional<Bytes> In(std::uint8_t, std::size_t maxLength) override {
    std::lock_guard guard(lock_);
    if (packets_ == 0) return std::nullopt;
    --packets_;
    return Bytes(packet_.begin(), packet_.begin() + std::min(maxLength, packet_.size()));
  }
  std::size_t IsoIn(std::uint8_t, std::uint32_t, std::span<std::uint8_t> packet) override {
    std::size_t bytes = std::min(packet.size(), packet_.size());
    std::copy_n(packet_.begin(), bytes, packet.begin());
    return bytes;
  }

 private:
  Bytes device_, configuration_, packet_;
  std::map<std::uint8_t, Bytes> strings_;
  std::mutex lock_;
  int packets_ = 0;
  bool stallSetConfiguration_ = false;
};

void UseTheDevice(Rig &rig, FuzzedDataProvider &in) {
  static std::uint8_t buffer[8 * (1024 + 12)];
  rig.Call(IOCTL_INSTR_GET_INTERFACE_RECORD, buffer, 356, buffer, 356);
  ULONG pipe = in.ConsumeIntegralInRange<ULONG>(0, 5);
  std::uint8_t text[] = "*IDN?\n";
  rig.Call(IOCTL_INSTR_BULK_WRITE, &pipe, sizeof pipe, text, sizeof text - 1);
  for (ULONG reply = 0; reply < 3; ++reply) rig.Call(IOCTL_INSTR_BULK_READ_TIMED, &reply, sizeof reply, buffer, 512);
  InterfaceSelection selection{in.ConsumeIntegralInRange<std::uint8_t>(0, 2), in.ConsumeIntegralInRange<std::uint8_t>(0, 2)};
  rig.Call(IOCTL_INSTR_SELECT_INTERFACE, &selection, sizeof selection, nullptr, 0);
  rig.Call(IOCTL_INSTR_GET_INTERFACE_RECORD, buffer, 356, buffer, 356);
  rig.Call(IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, nullptr, 0, buffer, 18);
  rig.Call(IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, nullptr, 0, buffer, in.ConsumeIntegralInRange<ULONG>(1, 512));
  StringDescriptorRequest string{in.ConsumeIntegralInRange<std::uint8_t>(0, 3), 0, 0x0409};
  rig.Call(IOCTL_INSTR_GET_STRING_DESCRIPTOR, &string, sizeof string, buffer, 255);
  IsoTransferRequest iso{in.ConsumeIntegralInRange<std::uint32_t>(0, 5), in.ConsumeIntegralInRange<std::uint32_t>(1, 1024),
                         8, 2, 2};
  rig.Call(IOCTL_INSTR_ISO_READ, &iso, sizeof iso, buffer, sizeof buffer);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
  Rig::Instance();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size) {
  FuzzedDataProvider in(data, size);
  Rig &rig = Rig::Instance();
  if (rig.Attach(std::make_shared<FuzzedDevice>(in))) UseTheDevice(rig, in);
  rig.Detach();
  return 0;
}
