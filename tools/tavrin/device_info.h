// `tavrin info`: what the driver reports about one instrument, through its
// diagnostic control codes.
#pragma once

#include "json_writer.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

struct PipeInfo {
  unsigned maximumPacketSize;
  unsigned endpointAddress;
  unsigned interval;
  unsigned pipeType;
  std::uint64_t pipeHandle;
  unsigned maximumTransferSize;
  unsigned pipeFlags;
};

struct DeviceInfo {
  unsigned versionMajor = 0, versionMinor = 0, versionBuild = 0;
  std::vector<std::uint8_t> deviceDescriptor;
  std::vector<std::uint8_t> configurationDescriptor;
  std::vector<std::pair<unsigned, std::string>> strings;  // index, text
  unsigned interfaceNumber = 0, alternateSetting = 0, interfaceClass = 0;
  std::vector<PipeInfo> pipes;
  std::optional<std::uint32_t> frameNumber;
  std::int32_t lastUsbdStatus = 0;
};

// The device descriptor's vendor and product identifiers, and the text of
// the serial-number string it names (empty when it names none).
std::uint16_t VendorId(const DeviceInfo &info);
std::uint16_t ProductId(const DeviceInfo &info);
std::string SerialNumber(const DeviceInfo &info);

// Nullopt when the instrument cannot be opened.
std::optional<DeviceInfo> ReadDeviceInfo(const std::string &name);
std::string FormatDeviceInfo(const std::string &name, const DeviceInfo &info);
// Adds the fields to an open object.
void WriteDeviceInfo(JsonWriter &json, const std::string &name, const DeviceInfo &info);

}  // namespace tavrin_cli
