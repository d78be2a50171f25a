#include "instrument_summary.h"

#include "commands.h"
#include "device_info.h"
#include "instrument_channels.h"
#include "kernel_backend_report.h"
#include "text_escape.h"

namespace tavrin_cli {
namespace {

constexpr int kIdentityWaitMs = 1000;

std::optional<std::string> AskIdentity(const Options &options, const std::string &name) {
  RemarkDiscarded(options, DrainInterrogative(name));
  if (Write(name, "*IDN?\n") != Transfer::Done) return std::nullopt;
  Reading answer = ReadWithin(name, 1, kIdentityWaitMs, true);
  if (answer.outcome != Reading::Outcome::Received) return std::nullopt;
  answer.bytes.pop_back();  // the line feed
  return answer.bytes;
}

// "maker,model,serial,IP 1.0.0,DSP 1.0.0,FPGA 1.0.0": the fields after the
// third that are a word and a version.
std::vector<std::pair<std::string, std::string>> Versions(const std::string &identity) {
  std::vector<std::pair<std::string, std::string>> versions;
  std::size_t field = 0;
  for (std::size_t start = 0; start <= identity.size(); ++field) {
    std::size_t end = identity.find(',', start);
    if (end == std::string::npos) end = identity.size();
    std::string text = identity.substr(start, end - start);
    std::size_t space = text.find(' ');
    if (field >= 3 && space != std::string::npos && space > 0) {
      versions.emplace_back(text.substr(0, space), text.substr(space + 1));
    }
    start = end + 1;
  }
  return versions;
}

}  // namespace

InstrumentSummary Summarize(const Options &options, const std::string &name) {
  InstrumentSummary summary;
  summary.name = name;
  if (std::optional<DeviceInfo> info = ReadDeviceInfo(name)) {
    summary.serial = SerialNumber(*info);
    summary.usb = FindUsbLocation(VendorId(*info), ProductId(*info), summary.serial);
  }
  summary.identity = AskIdentity(options, name);
  if (summary.identity) summary.versions = Versions(*summary.identity);
  return summary;
}

std::string FormatSummary(const InstrumentSummary &summary) {
  std::string line = summary.name + "  serial " + (summary.serial.empty() ? "-" : EscapeBytes(summary.serial, true));
  if (!summary.identity) line += "  (no identity)";
  for (const auto &[image, version] : summary.versions) line += "  " + EscapeBytes(image + " " + version, true);
  line += "  served by " + KernelBackendDescription();
  if (summary.usb) {
    line += "  usb bus " + std::to_string(summary.usb->bus) + " address " + std::to_string(summary.usb->address);
  }
  return line + "\n";
}

void WriteSummary(JsonWriter &json, const InstrumentSummary &summary) {
  json.BeginObject().Field("name", summary.name).TextField("serial", summary.serial);
  if (summary.identity) json.TextField("identity", *summary.identity);
  json.Key("versions").BeginObject();
  for (const auto &[image, version] : summary.versions) json.TextField(image, version);
  json.EndObject();
  WriteKernelBackend(json);
  if (summary.usb) {
    json.Key("usb").BeginObject().Field("bus", summary.usb->bus).Field("address", summary.usb->address).EndObject();
  }
  json.EndObject();
}

std::optional<std::string> FindBySerial(const std::string &serial) {
  for (const std::string &name : ListInstruments()) {
    std::optional<DeviceInfo> info = ReadDeviceInfo(name);
    if (info && SerialNumber(*info) == serial) return name;
  }
  return std::nullopt;
}

}  // namespace tavrin_cli
