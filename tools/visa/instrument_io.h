// The gateway's way to an instrument: the conversation every program holds
// with one (client/), and a presence check by opening the instrument's device
// name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace visa {

// The largest transfer the driver takes in one request.
constexpr std::size_t kMaxTransfer = 0xFFFF;
// Instrument numbers the library finds: TAVRIN-0 ... TAVRIN-31.
constexpr int kMaxInstruments = 32;
constexpr int kInterrogative = 1;
constexpr int kFormatted = 2;

std::string InstrumentName(int instrument);
bool InstrumentPresent(int instrument);
// The names of the instruments present now.
std::vector<std::string> InstrumentsPresent();

enum class WriteOutcome { Done, Failed, Absent };
WriteOutcome WriteCommand(int instrument, std::string_view bytes);

// One transfer's worth of a reply channel. `endsAnswer` is true when the
// transfer ended short of the room offered, that is with the instrument's
// end of the answer (a short or empty packet).
struct ReplyChunk {
  std::string bytes;
  bool endsAnswer = false;
};
std::optional<ReplyChunk> ReadReply(int instrument, int channel);

}  // namespace visa
