#include "device_info.h"

#include "text_escape.h"

#include <tavrin_ioctl.h>
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace tavrin_cli {
namespace {

class Handle {
 public:
  explicit Handle(const std::string &name)
      : value_(CreateFileA(("\\\\.\\" + name).c_str(), GENERIC_READ | GENERIC_WRITE,
                           FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr)) {}
  ~Handle() {
    if (Valid()) CloseHandle(value_);
  }
  Handle(const Handle &) = delete;
  Handle &operator=(const Handle &) = delete;
  bool Valid() const { return value_ != INVALID_HANDLE_VALUE; }

  // One request; the bytes it returned, or nullopt when it failed.
  std::optional<std::vector<std::uint8_t>> Control(DWORD code, const void *input, DWORD inputLength,
                                                   DWORD outputLength) {
    std::vector<std::uint8_t> in(static_cast<const std::uint8_t *>(input),
                                 static_cast<const std::uint8_t *>(input) + inputLength);
    std::vector<std::uint8_t> out(outputLength);
    DWORD returned = 0;
    if (!DeviceIoControl(value_, code, in.empty() ? nullptr : in.data(), inputLength,
                         out.empty() ? nullptr : out.data(), outputLength, &returned, nullptr)) {
      return std::nullopt;
    }
    out.resize(returned);
    return out;
  }

 private:
  HANDLE value_;
};

unsigned Word(const std::vector<std::uint8_t> &bytes, std::size_t at) {
  return at + 1 < bytes.size() ? bytes[at] | (bytes[at + 1] << 8) : 0;
}

std::uint32_t Long(const std::vector<std::uint8_t> &bytes, std::size_t at) {
  std::uint32_t value = 0;
  if (at + 4 <= bytes.size()) std::memcpy(&value, bytes.data() + at, 4);
  return value;
}

std::string Hex(const std::vector<std::uint8_t> &bytes) {
  return HexBytes(std::string_view(reinterpret_cast<const char *>(bytes.data()), bytes.size()));
}

const char *PipeTypeName(unsigned type) {
  static const char *const names[] = {"control", "isochronous", "bulk", "interrupt"};
  return type < 4 ? names[type] : "unknown";
}

}  // namespace

std::uint16_t VendorId(const DeviceInfo &info) { return static_cast<std::uint16_t>(Word(info.deviceDescriptor, 8)); }

std::uint16_t ProductId(const DeviceInfo &info) { return static_cast<std::uint16_t>(Word(info.deviceDescriptor, 10)); }

std::string SerialNumber(const DeviceInfo &info) {
  constexpr std::size_t kSerialNumberIndexField = 16;  // iSerialNumber
  if (info.deviceDescriptor.size() <= kSerialNumberIndexField) return {};
  unsigned index = info.deviceDescriptor[kSerialNumberIndexField];
  for (const auto &[number, text] : info.strings) {
    if (index != 0 && number == index) return text;
  }
  return {};
}

std::optional<DeviceInfo> ReadDeviceInfo(const std::string &name) {
  Handle device(name);
  if (!device.Valid()) return std::nullopt;
  DeviceInfo info;
  if (auto version = device.Control(IOCTL_INSTR_GET_DRIVER_VERSION, nullptr, 0, sizeof(DriverVersion))) {
    info.versionMajor = Word(*version, 0);
    info.versionMinor = Word(*version, 2);
    info.versionBuild = Word(*version, 4);
  }
  if (auto descriptor = device.Control(IOCTL_INSTR_GET_DEVICE_DESCRIPTOR, nullptr, 0, 18)) {
    info.deviceDescriptor = *descriptor;
  }
  if (auto configuration = device.Control(IOCTL_INSTR_GET_CONFIG_DESCRIPTOR, nullptr, 0, 4096)) {
    info.configurationDescriptor = *configuration;
  }
  // The strings the device descriptor names: manufacturer, product, serial.
  for (std::size_t field : {14u, 15u, 16u}) {
    if (field >= info.deviceDescriptor.size() || info.deviceDescriptor[field] == 0) continue;
    StringDescriptorRequest request{info.deviceDescriptor[field], 0, 0x0409};
    if (auto text = device.Control(IOCTL_INSTR_GET_STRING_DESCRIPTOR, &request, sizeof request, 255)) {
      std::string decoded;
      for (std::size_t i = 2; i + 1 < text->size(); i += 2) decoded.push_back(static_cast<char>((*text)[i]));
      info.strings.emplace_back(info.deviceDescriptor[field], decoded);
    }
  }
  std::uint8_t buffer[TAVRIN_RECORD_BUFFER_BYTES] = {};
  if (auto record = device.Control(IOCTL_INSTR_GET_INTERFACE_RECORD, buffer, sizeof buffer, sizeof buffer)) {
    info.interfaceNumber = record->size() > 2 ? (*record)[2] : 0;
    info.alternateSetting = record->size() > 3 ? (*record)[3] : 0;
    info.interfaceClass = record->size() > 4 ? (*record)[4] : 0;
    std::uint32_t pipes = Long(*record, 16);
    for (std::uint32_t k = 0; k < pipes; ++k) {
      std::size_t at = TAVRIN_RECORD_HEADER_BYTES + TAVRIN_RECORD_PIPE_BYTES * k;
      if (at + TAVRIN_RECORD_PIPE_BYTES > record->size()) break;
      std::uint64_t handle;
      std::memcpy(&handle, record->data() + at + 8, 8);
      info.pipes.push_back({Word(*record, at), (*record)[at + 2], (*record)[at + 3], Long(*record, at + 4), handle,
                            Long(*record, at + 16), Long(*record, at + 20)});
    }
  }
  if (auto frame = device.Control(IOCTL_INSTR_GET_FRAME_NUMBER, nullptr, 0, 4)) info.frameNumber = Long(*frame, 0);
  if (auto status = device.Control(IOCTL_INSTR_GET_LAST_USBD_STATUS, nullptr, 0, 4)) {
    info.lastUsbdStatus = static_cast<std::int32_t>(Long(*status, 0));
  }
  return info;
}

std::string FormatDeviceInfo(const std::string &name, const DeviceInfo &info) {
  char line[256];
  std::string text = name + "\n";
  std::snprintf(line, sizeof line, "  driver version        %u.%u.%u\n", info.versionMajor, info.versionMinor,
                info.versionBuild);
  text += line;
  const auto &d = info.deviceDescriptor;
  if (d.size() >= 18) {
    std::snprintf(line, sizeof line, "  device                USB %x.%02x, vendor %04X, product %04X, release %x.%02x\n",
                  Word(d, 2) >> 8, Word(d, 2) & 0xFF, Word(d, 8), Word(d, 10), Word(d, 12) >> 8, Word(d, 12) & 0xFF);
    text += line;
  }
  text += "  device descriptor     " + Hex(d) + "\n";
  text += "  configuration         " + Hex(info.configurationDescriptor) + "\n";
  for (const auto &[index, value] : info.strings) {
    std::snprintf(line, sizeof line, "  string %-3u            \"%s\"\n", index, value.c_str());
    text += line;
  }
  std::snprintf(line, sizeof line, "  interface             %u, alternate setting %u, class %02X, %zu pipes\n",
                info.interfaceNumber, info.alternateSetting, info.interfaceClass, info.pipes.size());
  text += line;
  for (std::size_t k = 0; k < info.pipes.size(); ++k) {
    const PipeInfo &p = info.pipes[k];
    std::snprintf(line, sizeof line,
                  "  pipe %zu                endpoint %02X %-3s %-11s packet %u, interval %u, max transfer %u%s\n", k,
                  p.endpointAddress, p.endpointAddress & 0x80 ? "in" : "out", PipeTypeName(p.pipeType),
                  p.maximumPacketSize, p.interval, p.maximumTransferSize, p.pipeHandle ? "" : ", not usable");
    text += line;
  }
  if (info.frameNumber) {
    std::snprintf(line, sizeof line, "  frame number          %u\n", *info.frameNumber);
    text += line;
  }
  std::snprintf(line, sizeof line, "  last USBD status      0x%08X\n", static_cast<unsigned>(info.lastUsbdStatus));
  text += line;
  return text;
}

void WriteDeviceInfo(JsonWriter &json, const std::string &name, const DeviceInfo &info) {
  char version[32];
  std::snprintf(version, sizeof version, "%u.%u.%u", info.versionMajor, info.versionMinor, info.versionBuild);
  json.Field("name", name).Field("driverVersion", version);
  json.Field("deviceDescriptor", Hex(info.deviceDescriptor));
  json.Field("configurationDescriptor", Hex(info.configurationDescriptor));
  json.BeginArray("strings");
  for (const auto &[index, value] : info.strings) json.BeginObject().Field("index", index).Field("text", value).EndObject();
  json.EndArray();
  json.Key("interface").BeginObject().Field("number", info.interfaceNumber).Field("alternateSetting", info.alternateSetting);
  json.Field("class", info.interfaceClass).BeginArray("pipes");
  for (const PipeInfo &p : info.pipes) {
    json.BeginObject()
        .Field("endpointAddress", p.endpointAddress)
        .Field("direction", p.endpointAddress & 0x80 ? "in" : "out")
        .Field("type", PipeTypeName(p.pipeType))
        .Field("maximumPacketSize", p.maximumPacketSize)
        .Field("interval", p.interval)
        .Field("maximumTransferSize", p.maximumTransferSize)
        .Key("usable")
        .Bool(p.pipeHandle != 0)
        .EndObject();
  }
  json.EndArray().EndObject();
  if (info.frameNumber) json.Field("frameNumber", *info.frameNumber);
  json.Field("lastUsbdStatus", info.lastUsbdStatus);
}

}  // namespace tavrin_cli
