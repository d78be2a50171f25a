#include "instrument_io.h"

#include <device_library.h>
#include <instrument.h>

#include <windows.h>

namespace visa {

std::string InstrumentName(int instrument) { return "TAVRIN-" + std::to_string(instrument); }

bool InstrumentPresent(int instrument) {
  const std::string path = "\\\\.\\" + InstrumentName(instrument);
  HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                              nullptr, OPEN_EXISTING, 0, nullptr);
  if (handle == INVALID_HANDLE_VALUE) return false;
  CloseHandle(handle);
  return true;
}

namespace {

Client::Instrument Conversation(int instrument) {
  return Client::Instrument(Client::Linked_Library(), InstrumentName(instrument));
}

}  // namespace

std::vector<std::string> InstrumentsPresent() { return Client::List_Instruments(Client::Linked_Library()); }

WriteOutcome WriteCommand(int instrument, std::string_view bytes) {
  switch (Conversation(instrument).Write(bytes)) {
    case Client::Write_Outcome::Done:
    case Client::Write_Outcome::Nothing_To_Send:
      return WriteOutcome::Done;
    case Client::Write_Outcome::Not_Found:
      return WriteOutcome::Absent;
    case Client::Write_Outcome::Failed:
      break;
  }
  return WriteOutcome::Failed;
}

std::optional<ReplyChunk> ReadReply(int instrument, int channel) {
  auto bytes = Conversation(instrument).Poll(channel == kInterrogative ? Client::Channel::Interrogative
                                                                       : Client::Channel::Formatted,
                                             static_cast<std::int32_t>(kMaxTransfer));
  if (!bytes) return std::nullopt;
  ReplyChunk chunk;
  chunk.endsAnswer = bytes->size() < kMaxTransfer;
  chunk.bytes = std::move(*bytes);
  return chunk;
}

}  // namespace visa
