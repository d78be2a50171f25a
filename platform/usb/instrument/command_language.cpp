// The command language on the command channel: text lines ended by a line
// feed (a carriage return before it is dropped), keywords in any case.
// Queries answer one line on the interrogative channel; FMT and FMT:STREAM
// write numbered lines on the formatted channel; DL hands over to the
// download exchange.
#include "substitute_instrument.h"

#include <cctype>
#include <cinttypes>
#include <cstdio>

namespace usb {
namespace {

constexpr std::string_view kBlanks = " \t";
// The longest streaming period FMT:STREAM accepts: one hour.
constexpr std::uint64_t kMaxStreamPeriodMs = 3'600'000;

std::string_view Trim(std::string_view text) {
  const auto first = text.find_first_not_of(kBlanks);
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(kBlanks);
  return text.substr(first, last - first + 1);
}

std::string Upper(std::string_view text) {
  std::string out(text);
  for (char &c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

// A decimal count of at most nine digits, nothing else.
std::optional<std::uint64_t> ParseCount(std::string_view text) {
  if (text.empty() || text.size() > 9) return std::nullopt;
  std::uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + static_cast<std::uint64_t>(c - '0');
  }
  return value;
}

}  // namespace

std::string SubstituteInstrument::Reading(std::uint64_t n) {
  char text[32];
  std::snprintf(text, sizeof text, "%+.6E", static_cast<double>(n));
  return text;
}

void SubstituteInstrument::TakeCommandByte(Effects &fx, std::uint8_t byte) {
  if (byte != '\n') {
    // An overlong line is kept only up to the limit and refused when it ends.
    if (lineBuffer_.size() >= kMaxLineLength)
      lineOverflow_ = true;
    else
      lineBuffer_.push_back(static_cast<char>(byte));
    return;
  }
  std::string line;
  line.swap(lineBuffer_);
  if (!line.empty() && line.back() == '\r') line.pop_back();
  if (lineOverflow_) {
    lineOverflow_ = false;
    commands_.push_back(std::move(line));
    Answer(fx, "ERR line too long");
    return;
  }
  ExecuteLine(fx, line);
}

void SubstituteInstrument::ExecuteLine(Effects &fx, const std::string &line) {
  const std::string_view text = Trim(line);
  if (text.empty()) return;  // empty lines are ignored
  commands_.push_back(line);

  const auto end = text.find_first_of(" \t,");
  const std::string keyword = Upper(text.substr(0, end));
  const bool commaAfterKeyword = end != std::string_view::npos && text[end] == ',';
  const std::string_view argument = end == std::string_view::npos ? std::string_view{} : Trim(text.substr(end + 1));

  if (keyword == "DL") {
    BeginDownload(fx, std::string(text));
    return;
  }
  if (commaAfterKeyword) {
    Answer(fx, "ERR unknown command");
    return;
  }
  if (keyword == "ECHO") {
    // The text is answered exactly as it followed the keyword and its
    // separating blank.
    const std::size_t start = line.find_first_not_of(kBlanks) + 4;
    Answer(fx, start < line.size() ? line.substr(start + 1) : std::string{});
    return;
  }
  if (keyword == "*IDN?" || keyword == "*RST" || keyword == "MEAS?" || keyword == "FW?") {
    if (!argument.empty()) {
      Answer(fx, "ERR unexpected argument");
    } else if (keyword == "*IDN?") {
      Answer(fx, Identity());
    } else if (keyword == "*RST") {
      ClearReplies(fx);
      StartStream(fx, std::chrono::milliseconds{0});
    } else if (keyword == "MEAS?") {
      Answer(fx, Reading(++readings_));
    } else {
      Answer(fx, FirmwareSummary());
    }
    return;
  }
  if (keyword == "FMT") {
    const auto count = ParseCount(argument);
    if (!count) {
      Answer(fx, "ERR bad argument");
    } else if (*count > kMaxFormattedCount) {
      Answer(fx, "ERR count out of range");
    } else {
      for (std::uint64_t i = 1; i <= *count; ++i) {
        Queue(fx, kFormattedEndpoint,
              "FMT " + std::to_string(i) + " of " + std::to_string(*count) + ": " + Reading(i) + "\n");
      }
    }
    return;
  }
  if (keyword == "FMT:STREAM") {
    const auto period = ParseCount(argument);
    if (!period) {
      Answer(fx, "ERR bad argument");
    } else if (*period > kMaxStreamPeriodMs) {
      Answer(fx, "ERR period out of range");
    } else {
      StartStream(fx, std::chrono::milliseconds{static_cast<std::int64_t>(*period)});
    }
    return;
  }
  Answer(fx, "ERR unknown command");
}

void SubstituteInstrument::StartStream(Effects &fx, std::chrono::milliseconds period) {
  // A new generation silences the timer of any earlier stream.
  const std::uint64_t generation = ++streamGeneration_;
  streamLines_ = 0;
  if (period.count() <= 0) return;
  Schedule(fx, period, [this, generation, period](Effects &later) { StreamTick(later, generation, period); });
}

void SubstituteInstrument::StreamTick(Effects &fx, std::uint64_t generation, std::chrono::milliseconds period) {
  if (generation != streamGeneration_) return;
  const std::uint64_t n = ++streamLines_;
  // A line that finds the channel's backlog full is lost; its number is
  // skipped so that a reader sees the gap.
  if (formatted_.size() < kStreamBacklogLimit)
    Queue(fx, kFormattedEndpoint, "STREAM " + std::to_string(n) + ": " + Reading(n) + "\n");
  Schedule(fx, period, [this, generation, period](Effects &later) { StreamTick(later, generation, period); });
}

std::string SubstituteInstrument::Identity() const {
  return "TAVRIN,570x," + config_.serialNumber + ",IP " + config_.ipVersion + ",DSP " + config_.dspVersion +
         ",FPGA " + config_.fpgaVersion;
}

std::string SubstituteInstrument::FirmwareSummary() const {
  std::string out;
  for (std::size_t i = 0; i < kImageTypeCount; ++i) {
    char entry[64];
    std::snprintf(entry, sizeof entry, "%s%s %zu %08" PRIX32, i == 0 ? "" : ",",
                  ImageName(static_cast<ImageType>(i)).data(), images_[i].size, images_[i].crc32);
    out += entry;
  }
  return out;
}

}  // namespace usb
