// Holds a substitute instrument behind an emulated usbfs device for programs
// in other processes: it sets up umockdev's testbed, plugs the instrument in
// and answers the usbfs requests of every process started with umockdev's
// preload library and this testbed's directory (UMOCKDEV_DIR). Wine's USB bus
// driver, which reaches devices through libusb, is such a process.
//
// It prints "UMOCKDEV_DIR=<directory>" and then "ready", and from then on
// takes one command per line on its standard input and answers each with one
// line:
//   plug, unplug        plugs the device in or pulls it ("ok")
//   plugged             1 or 0
//   discards            URBs the client took back with a discard
//   waiting             bulk and interrupt IN URBs waiting for data
//   image IP|DSP|FPGA   size and CRC-32 (hexadecimal) of the stored image
//   downloads, resets   completed downloads, reboots after RESET downloads
//   commands            command lines taken so far
//   alternate           the interface's current alternate setting
//   quit                unplugs and ends ("ok")
// End of input ends it too.
//
// Usage: emulated_instrument_host [--reset-delay MS] [--image-gap MS]
//                                 [--serial TEXT]
#include "emulated_instrument.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

namespace {

using usb::ImageType;
using usb::emulated::EmulatedInstrument;

std::string Answer(EmulatedInstrument &device, const std::string &line) {
  usb::SubstituteInstrument &instrument = device.Instrument();
  if (line == "plug") {
    device.Plug();
    return "ok";
  }
  if (line == "unplug") {
    device.Unplug();
    return "ok";
  }
  if (line == "plugged") return device.Plugged() ? "1" : "0";
  if (line == "discards") return std::to_string(device.Discards());
  if (line == "waiting") return std::to_string(device.WaitingReads());
  if (line == "downloads") return std::to_string(instrument.CompletedDownloads());
  if (line == "resets") return std::to_string(instrument.Resets());
  if (line == "commands") return std::to_string(instrument.Commands().size());
  if (line == "alternate") return std::to_string(instrument.AlternateSetting());
  if (line.rfind("image ", 0) == 0) {
    const std::string name = line.substr(6);
    for (std::size_t i = 0; i < usb::kImageTypeCount; ++i) {
      const auto type = static_cast<ImageType>(i);
      if (usb::ImageName(type) != name) continue;
      usb::StoredImage image = instrument.Image(type);
      char text[64];
      std::snprintf(text, sizeof text, "%zu %08X", image.size, static_cast<unsigned>(image.crc32));
      return text;
    }
    return "error: no image type " + name;
  }
  return "error: unknown command " + line;
}

int Milliseconds(const char *text) {
  char *end = nullptr;
  long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 0 || value > 600000) {
    std::fprintf(stderr, "emulated_instrument_host: not a time in milliseconds: %s\n", text);
    std::exit(2);
  }
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char **argv) {
  usb::InstrumentConfig config;
  for (int i = 1; i < argc; ++i) {
    const std::string option = argv[i];
    if (i + 1 >= argc) {
      std::fprintf(stderr, "emulated_instrument_host: %s needs a value\n", option.c_str());
      return 2;
    }
    const char *value = argv[++i];
    if (option == "--reset-delay") {
      config.resetDelay = std::chrono::milliseconds(Milliseconds(value));
    } else if (option == "--image-gap") {
      config.imageGap = std::chrono::milliseconds(Milliseconds(value));
    } else if (option == "--serial") {
      config.serialNumber = value;
    } else {
      std::fprintf(stderr, "emulated_instrument_host: unknown option %s\n", option.c_str());
      return 2;
    }
  }
  // The clients live in other processes: their memory is reached only
  // through umockdev's requests.
  EmulatedInstrument device(config, usb::SubstituteInstrument::kVendorId, usb::SubstituteInstrument::kProductId, 2,
                            EmulatedInstrument::Clients::OtherProcesses);
  device.Plug();
  const char *directory = std::getenv("UMOCKDEV_DIR");
  std::cout << "UMOCKDEV_DIR=" << (directory != nullptr ? directory : "") << "\nready" << std::endl;
  std::string line;
  while (std::getline(std::cin, line)) {
    if (line == "quit") break;
    std::cout << Answer(device, line) << std::endl;
  }
  device.Unplug();
  std::cout << "ok" << std::endl;
  return 0;
}
