#include "instrument_channels.h"

#include <device_library.h>

namespace tavrin_cli {

namespace {

Client::Channel ChannelNumbered(int channel) {
  return channel == 1 ? Client::Channel::Interrogative : Client::Channel::Formatted;
}

}  // namespace

Client::Instrument Instrument(const std::string &name) { return Client::Instrument(Client::Linked_Library(), name); }

std::vector<std::string> ListInstruments() { return Client::List_Instruments(Client::Linked_Library()); }

std::optional<std::string> Resolve(const std::string &name) { return Client::Resolve(Client::Linked_Library(), name); }

bool Present(const std::string &name) { return Resolve(name).has_value(); }

Transfer Write(const std::string &name, std::string_view bytes) {
  switch (Instrument(name).Write(bytes)) {
    case Client::Write_Outcome::Done:
      return Transfer::Done;
    case Client::Write_Outcome::Not_Found:
      return Transfer::NotFound;
    default:
      return Transfer::Failed;
  }
}

std::optional<std::string> Read(const std::string &name, int channel, std::int32_t capacity) {
  return Instrument(name).Poll(ChannelNumbered(channel), capacity);
}

Reading ReadWithin(const std::string &name, int channel, int timeoutMs, bool untilNewline) {
  return Instrument(name).Read_Within(ChannelNumbered(channel), timeoutMs, untilNewline);
}

std::string DrainInterrogative(const std::string &name) { return Instrument(name).Drain(Client::Channel::Interrogative); }

}  // namespace tavrin_cli
