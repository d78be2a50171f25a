// The firmware download exchange's rules.
#include "download_exchange.h"

#include <cmath>
#include <limits>

namespace Download_Exchange {

std::string_view Command_Word(Image_Type type) {
  switch (type) {
    case Image_Type::IP:
      return "DL,IP";
    case Image_Type::DSP:
      return "DL,DSP";
    case Image_Type::FPGA:
      return "DL,FPGA";
  }
  return "DL,IP";
}

std::string_view Reset_Word(bool reset) { return reset ? "RESET" : "NORESET"; }

std::string Command_Line(std::string_view command_word, std::string_view reset_word) {
  std::string line;
  line.reserve(command_word.size() + reset_word.size() + 2);
  line.append(command_word);
  line.push_back(',');
  line.append(reset_word);
  line.push_back('\n');
  return line;
}

std::string Command_Line(Image_Type type, bool reset) { return Command_Line(Command_Word(type), Reset_Word(reset)); }

std::optional<Image_Type> Image_Type_Named(std::string_view name) {
  if (name == "IP") return Image_Type::IP;
  if (name == "DSP") return Image_Type::DSP;
  if (name == "FPGA") return Image_Type::FPGA;
  return std::nullopt;
}

bool Is_Accepted(std::string_view answer) { return answer.find("0\n") != std::string_view::npos; }

Wait_Outcome Judge_Read(bool read_succeeded, std::string_view text, int remaining_ms) {
  if (read_succeeded) return Is_Accepted(text) ? Wait_Outcome::Succeeded : Wait_Outcome::Failed;
  return remaining_ms <= 0 ? Wait_Outcome::Failed : Wait_Outcome::Pending;
}

std::int64_t Chunk_Bytes(std::int64_t remaining) {
  if (remaining <= 0) return 0;
  return remaining < kChunkBytes ? remaining : kChunkBytes;
}

bool Advance_Sent_Count(std::int32_t &sent_count) {
  if (sent_count > std::numeric_limits<std::int32_t>::max() - kChunkBytes) return false;
  sent_count += static_cast<std::int32_t>(kChunkBytes);
  return true;
}

double Percentage(std::int32_t sent_count, std::int64_t total_length) {
  if (total_length <= 0) return 100.0;
  const double percentage = static_cast<double>(sent_count) / static_cast<double>(total_length) * 100.0;
  return percentage > 100.0 ? 100.0 : percentage;
}

std::string Percent_Text(double percentage) {
  // Format "0%" shows its value times 100, rounded to a whole number.
  const double figure = percentage / 100.0;
  return std::to_string(static_cast<long long>(std::round(figure * 100.0))) + "%";
}

std::string Reason(std::string_view answer_text) {
  return answer_text.empty() ? std::string(kTimedOut) : std::string(answer_text);
}

std::string Error_Text(std::string_view reason) { return std::string(kErrorPrefix) + Reason(reason); }

std::string Unable_To_Locate(std::string_view path) { return std::string(kUnableToLocate) + std::string(path); }

}  // namespace Download_Exchange
