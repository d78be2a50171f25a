// The command line's way to an instrument: the device-access library's
// exports, with the OLE Automation strings and arrays they take kept inside.
#pragma once

#include <cstdint>
#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

// What a transfer export reported.
enum class Transfer { Done, Failed, NotFound };

// One reply read's capacity: any answer or formatted burst the instrument
// queues.
inline constexpr std::int32_t kReplyReadBytes = 32000;

// The largest transfer the driver moves in one request.
inline constexpr std::size_t kLargestTransfer = 65535;

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

// What a read that may wait brought.
struct Reading {
  enum class Outcome { Received, TimedOut, Gone } outcome;
  std::string bytes;  // everything received, also on a time-out
};

// Reads a reply channel until something arrives (or, with `untilNewline`,
// until what arrived ends in a line feed) or `timeoutMs` has passed; with a
// time-out of 0, one read. The library cannot tell an idle channel from a
// failed transfer, so an instrument that is no longer present when nothing
// arrives is the failure: Gone.
Reading ReadWithin(const std::string &name, int channel, int timeoutMs, bool untilNewline);

// Reads the interrogative channel until one read brings nothing; what was
// waiting there.
std::string DrainInterrogative(const std::string &name);

}  // namespace tavrin_cli
