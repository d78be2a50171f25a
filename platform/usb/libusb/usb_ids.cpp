#include "usb_ids.h"

#include <substitute_instrument.h>

#include <charconv>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace usb::libusb {
namespace {

std::string_view Trim(std::string_view text) {
  const char *blank = " \t\r\n";
  std::size_t first = text.find_first_not_of(blank);
  if (first == std::string_view::npos) return {};
  return text.substr(first, text.find_last_not_of(blank) - first + 1);
}

std::optional<std::uint16_t> Hex16(std::string_view text) {
  if (text.empty() || text.size() > 4) return std::nullopt;
  unsigned value = 0;
  auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, 16);
  if (error != std::errc() || end != text.data() + text.size()) return std::nullopt;
  return static_cast<std::uint16_t>(value);
}

void Add(UsbIdList &list, std::string_view entry) {
  entry = Trim(entry);
  if (entry.empty()) return;
  if (auto id = ParseUsbId(entry)) {
    list.ids.push_back(*id);
  } else {
    list.errors.push_back(std::string(entry));
  }
}

}  // namespace

std::optional<UsbId> UsbIdList::Match(std::uint16_t vendor, std::uint16_t product) const {
  for (const UsbId &id : ids) {
    if (id.vendor == vendor && id.product == product) return id;
  }
  return std::nullopt;
}

std::optional<UsbId> ParseUsbId(std::string_view text) {
  text = Trim(text);
  std::size_t colon = text.find(':');
  if (colon == std::string_view::npos) return std::nullopt;
  std::size_t end = text.find_first_of(" \t", colon);
  auto vendor = Hex16(text.substr(0, colon));
  auto product = Hex16(text.substr(colon + 1, end == std::string_view::npos ? end : end - colon - 1));
  if (!vendor || !product) return std::nullopt;
  UsbId id{*vendor, *product, false};
  if (end != std::string_view::npos) {
    std::string_view option = Trim(text.substr(end));
    if (option != "detach") return std::nullopt;
    id.detachKernelDriver = true;
  }
  return id;
}

UsbIdList ParseUsbIdFile(std::string_view text, std::string source) {
  UsbIdList list;
  list.source = std::move(source);
  std::size_t start = 0;
  while (start <= text.size()) {
    std::size_t end = text.find('\n', start);
    std::string_view line = text.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
    Add(list, line.substr(0, line.find('#')));
    if (end == std::string_view::npos) break;
    start = end + 1;
  }
  return list;
}

UsbIdList ParseUsbIdVariable(std::string_view text) {
  UsbIdList list;
  list.source = "TAVRIN_USB_IDS";
  if (Trim(text) == "none") return list;
  std::size_t start = 0;
  while (true) {
    std::size_t comma = text.find(',', start);
    Add(list, text.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return list;
}

std::string DefaultUsbIdFile() { return TAVRIN_USB_ID_FILE; }

UsbIdList ConfiguredUsbIds() {
  if (const char *variable = std::getenv("TAVRIN_USB_IDS")) return ParseUsbIdVariable(variable);
  const char *named = std::getenv("TAVRIN_USB_CONFIG");
  std::string path = named != nullptr ? named : DefaultUsbIdFile();
  std::ifstream file(path);
  if (file) {
    std::stringstream text;
    text << file.rdbuf();
    return ParseUsbIdFile(text.str(), path);
  }
  UsbIdList list;
  list.source = "the built-in default (no " + path + ")";
  list.ids.push_back({SubstituteInstrument::kVendorId, SubstituteInstrument::kProductId, false});
  return list;
}

}  // namespace usb::libusb
