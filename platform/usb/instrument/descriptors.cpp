// The instrument's descriptors in USB wire format: one high-speed device with
// one configuration whose single vendor-class interface has two alternate
// settings — the three bulk channels, and the same three plus an
// isochronous stream.
#include "substitute_instrument.h"

namespace usb {
namespace {

constexpr std::uint8_t kDeviceType = 0x01;
constexpr std::uint8_t kConfigurationType = 0x02;
constexpr std::uint8_t kStringType = 0x03;
constexpr std::uint8_t kInterfaceType = 0x04;
constexpr std::uint8_t kEndpointType = 0x05;

constexpr std::uint8_t kBulk = 0x02;
constexpr std::uint8_t kIsochronous = 0x01;  // no synchronisation, data endpoint
constexpr std::uint8_t kVendorClass = 0xFF;

constexpr std::uint8_t kManufacturerString = 1;
constexpr std::uint8_t kProductString = 2;
constexpr std::uint8_t kSerialString = 3;
constexpr std::uint16_t kEnglishUs = 0x0409;

// A string descriptor holds at most 126 UTF-16 code units (bLength <= 254).
constexpr std::size_t kMaxStringUnits = 126;

void Put16(Bytes &out, std::uint16_t value) {
  out.push_back(static_cast<std::uint8_t>(value & 0xFF));
  out.push_back(static_cast<std::uint8_t>(value >> 8));
}

void PutInterface(Bytes &out, std::uint8_t alternate, std::uint8_t endpoints) {
  out.insert(out.end(), {9, kInterfaceType, SubstituteInstrument::kInterfaceNumber, alternate, endpoints,
                         kVendorClass, 0x00, 0x00, 0x00});
}

void PutEndpoint(Bytes &out, std::uint8_t address, std::uint8_t attributes, std::uint16_t maxPacket,
                 std::uint8_t interval) {
  out.insert(out.end(), {7, kEndpointType, address, attributes});
  Put16(out, maxPacket);
  out.push_back(interval);
}

void PutBulkChannels(Bytes &out) {
  constexpr auto packet = static_cast<std::uint16_t>(SubstituteInstrument::kBulkPacketSize);
  PutEndpoint(out, SubstituteInstrument::kCommandEndpoint, kBulk, packet, 0);
  PutEndpoint(out, SubstituteInstrument::kInterrogativeEndpoint, kBulk, packet, 0);
  PutEndpoint(out, SubstituteInstrument::kFormattedEndpoint, kBulk, packet, 0);
}

// Widens a text to UTF-16LE; the instrument's strings are ASCII.
Bytes StringBytes(std::string_view text) {
  if (text.size() > kMaxStringUnits) text = text.substr(0, kMaxStringUnits);
  Bytes out{static_cast<std::uint8_t>(2 + 2 * text.size()), kStringType};
  for (char c : text) Put16(out, static_cast<std::uint8_t>(c));
  return out;
}

}  // namespace

Bytes SubstituteInstrument::DeviceDescriptor() {
  Bytes out{18, kDeviceType};
  Put16(out, 0x0200);                   // bcdUSB: USB 2.0, high speed
  out.insert(out.end(), {0, 0, 0, 64});  // class per interface; bMaxPacketSize0
  Put16(out, kVendorId);
  Put16(out, kProductId);
  Put16(out, kDeviceRelease);
  out.insert(out.end(), {kManufacturerString, kProductString, kSerialString, 1});
  return out;
}

Bytes SubstituteInstrument::ConfigurationDescriptor(std::uint8_t index) {
  // A device with one configuration has nothing at any other index.
  if (index != 0) return {};
  Bytes out{9, kConfigurationType, 0, 0, 1, kConfigurationValue, 0, 0x80 /* bus powered */,
            250 /* 500 mA */};
  PutInterface(out, 0, 3);
  PutBulkChannels(out);
  PutInterface(out, 1, 4);
  PutBulkChannels(out);
  PutEndpoint(out, kIsoEndpoint, kIsochronous, static_cast<std::uint16_t>(kIsoPacketSize), 1);
  const auto total = static_cast<std::uint16_t>(out.size());
  out[2] = static_cast<std::uint8_t>(total & 0xFF);
  out[3] = static_cast<std::uint8_t>(total >> 8);
  return out;
}

std::optional<Bytes> SubstituteInstrument::StringDescriptor(std::uint8_t index, std::uint16_t language) {
  // The instrument has one language; like most devices it gives its strings
  // whatever language the host names.
  (void)language;
  switch (index) {
    case 0: {
      Bytes out{4, kStringType};
      Put16(out, kEnglishUs);
      return out;
    }
    case kManufacturerString:
      return StringBytes("Tavrin");
    case kProductString:
      return StringBytes("Tavrin 570x substitute instrument");
    case kSerialString:
      return StringBytes(Config().serialNumber);
    default:
      return std::nullopt;
  }
}

}  // namespace usb
