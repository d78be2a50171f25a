#include "instrument_io.h"

#include "../tavrin/instrument_channels.h"

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

WriteOutcome WriteCommand(int instrument, std::string_view bytes) {
  switch (tavrin_cli::Write(InstrumentName(instrument), std::string(bytes))) {
    case tavrin_cli::Transfer::Done:
      return WriteOutcome::Done;
    case tavrin_cli::Transfer::NotFound:
      return WriteOutcome::Absent;
    default:
      return WriteOutcome::Failed;
  }
}

std::optional<ReplyChunk> ReadReply(int instrument, int channel) {
  auto bytes = tavrin_cli::Read(InstrumentName(instrument), channel, static_cast<std::int32_t>(kMaxTransfer));
  if (!bytes) return std::nullopt;
  ReplyChunk chunk;
  chunk.endsAnswer = bytes->size() < kMaxTransfer;
  chunk.bytes = std::move(*bytes);
  return chunk;
}

}  // namespace visa
