#include "image_verification.h"

#include "file_bytes.h"

#include <algorithm>

namespace tavrin_cli {
namespace {

// Long enough for an instrument that has just come back from its restart.
constexpr int kAnswerWaitMs = 2000;

// The file's size and CRC-32, read front to back in pieces.
std::optional<Image_Check::Image_Summary> SummaryOfFile(const std::string &path) {
  FileReader file(path);
  if (!file.Open()) return std::nullopt;
  Image_Check::Crc32 crc;
  std::string piece(64 * 1024, '\0');
  for (std::int64_t left = file.Size(); left > 0;) {
    std::size_t count = static_cast<std::size_t>(std::min<std::int64_t>(left, static_cast<std::int64_t>(piece.size())));
    if (!file.Read(piece.data(), count)) return std::nullopt;
    crc.Add(std::string_view(piece.data(), count));
    left -= static_cast<std::int64_t>(count);
  }
  return crc.Summary();
}

}  // namespace

Verification VerifyImage(Client::Instrument &instrument, std::string_view typeName, const std::string &path) {
  Verification verification{Verification::Outcome::Unanswered, {}, std::nullopt, {}, {}};
  Client::Query_Result asked = instrument.Query(Image_Check::kQuery.substr(0, Image_Check::kQuery.size() - 1),
                                                kAnswerWaitMs);
  verification.dropped = asked.dropped;
  verification.answer = asked.reading.bytes;
  if (!verification.answer.empty() && verification.answer.back() == '\n') verification.answer.pop_back();
  if (asked.written == Client::Write_Outcome::Done && asked.reading.outcome == Client::Reading::Outcome::Received) {
    verification.held = Image_Check::Entry(asked.reading.bytes, typeName);
  }
  if (!verification.held) return verification;
  std::optional<Image_Check::Image_Summary> file = SummaryOfFile(path);
  if (!file) {
    verification.outcome = Verification::Outcome::FileUnreadable;
    return verification;
  }
  verification.file = *file;
  verification.outcome = *file == *verification.held ? Verification::Outcome::Matches : Verification::Outcome::Differs;
  return verification;
}

}  // namespace tavrin_cli
