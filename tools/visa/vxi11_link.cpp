#include "vxi11_link.h"

#include "instrument_io.h"

#include <algorithm>
#include <cctype>

namespace visa {

ReadPiece TakePending(Vxi11Link &link, std::size_t requestSize, bool termCharSet, char termChar) {
  ReadPiece piece;
  std::size_t count = std::min(requestSize, link.pending.size());
  if (termCharSet) {
    const std::size_t at = link.pending.find(termChar);
    if (at != std::string::npos && at < count) {
      count = at + 1;
      piece.reason |= kReasonTermChar;
    }
  }
  piece.data = link.pending.substr(0, count);
  link.pending.erase(0, count);
  if (link.pending.empty() && link.pendingEndsAnswer && !piece.data.empty()) {
    piece.reason |= kReasonEnd;
    link.pendingEndsAnswer = false;
  }
  if (piece.data.size() == requestSize) piece.reason |= kReasonRequestCount;
  return piece;
}

bool ParseDeviceName(const std::string &name, int &instrument, int &channel) {
  std::string lower;
  for (char c : name) lower += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  std::string digits;
  if (lower.starts_with("inst")) {
    channel = kInterrogative;
    digits = lower.substr(4);
  } else if (lower.starts_with("fmt")) {
    channel = kFormatted;
    digits = lower.substr(3);
  } else {
    return false;
  }
  if (digits.empty() || digits.size() > 2 || (digits.size() > 1 && digits[0] == '0')) return false;
  if (!std::all_of(digits.begin(), digits.end(), [](char c) { return c >= '0' && c <= '9'; })) return false;
  instrument = std::stoi(digits);
  return instrument < kMaxInstruments;
}

}  // namespace visa
