// The command line's way to an instrument: the conversation of client/ over
// the linked device-access library, in the command line's own terms.
#pragma once

#include <instrument.h>

#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

// What a transfer export reported.
enum class Transfer { Done, Failed, NotFound };

using Client::kLargestTransfer;
using Client::kReplyReadBytes;
using Client::Reading;

// The instrument named `name` through the linked library.
Client::Instrument Instrument(const std::string &name);

std::vector<std::string> ListInstruments();
// The listed name that matches `name` without regard to letter case, as the
// library matches names; nullopt when no such instrument is present.
std::optional<std::string> Resolve(const std::string &name);
// Sends the bytes to the command channel as one write.
Transfer Write(const std::string &name, std::string_view bytes);
// One read of a reply channel (1 interrogative, 2 formatted) of up to
// `capacity` bytes; nullopt when nothing was received.
std::optional<std::string> Read(const std::string &name, int channel, std::int32_t capacity);
bool Present(const std::string &name);

// Reads a reply channel until something arrives (or, with `untilNewline`,
// until what arrived ends in a line feed) or `timeoutMs` has passed; see
// Client::Instrument::Read_Within.
Reading ReadWithin(const std::string &name, int channel, int timeoutMs, bool untilNewline);

// Reads the interrogative channel until one read brings nothing; what was
// waiting there.
std::string DrainInterrogative(const std::string &name);

}  // namespace tavrin_cli
