// The command line's way to an instrument: the device-access library's
// exports, with the OLE Automation strings and arrays they take kept inside.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

// What a transfer export reported.
enum class Transfer { Done, Failed, NotFound };

std::vector<std::string> ListInstruments();
// Sends the bytes to the command channel as one write.
Transfer Write(const std::string &name, const std::string &bytes);
// One read of a reply channel (1 interrogative, 2 formatted) of up to
// `capacity` bytes; nullopt when nothing was received.
std::optional<std::string> Read(const std::string &name, int channel, std::int32_t capacity);
bool Present(const std::string &name);

}  // namespace tavrin_cli
