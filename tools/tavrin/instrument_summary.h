// One instrument as `list --long` shows it: name, serial number, image
// versions from its identity, the kernel that serves it and, for one
// plugged into this computer's USB, its bus and address. Also finding an
// instrument by its serial number, for --serial.
#pragma once

#include "report.h"
#include "usb_location.h"

#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace tavrin_cli {

struct InstrumentSummary {
  std::string name;
  std::string serial;                     // from the USB descriptor; empty when it has none
  std::optional<std::string> identity;    // the *IDN? answer without its line feed
  std::vector<std::pair<std::string, std::string>> versions;  // ("IP", "1.0.0") ... from the identity
  std::optional<UsbLocation> usb;
};

// Asks the instrument *IDN? (answers nobody read yet are discarded first,
// as a query does) and reads its descriptors.
InstrumentSummary Summarize(const Options &options, const std::string &name);
// "TAVRIN-0  serial TVR00000  IP 1.0.0  ...  served by ...  usb bus 1 address 4"
std::string FormatSummary(const InstrumentSummary &summary);
// The summary as one JSON object, inside an open array.
void WriteSummary(JsonWriter &json, const InstrumentSummary &summary);

// The present instrument whose USB serial number is `serial`; nullopt when
// none is. Reads descriptors only: no instrument is sent anything.
std::optional<std::string> FindBySerial(const std::string &serial);

}  // namespace tavrin_cli
