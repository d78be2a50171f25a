// The check after a download.
#include "image_check.h"

#include <zlib.h>

#include <cctype>
#include <charconv>
#include <cstdio>
#include <vector>

namespace Image_Check {

namespace {

std::vector<std::string_view> Split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  for (;;) {
    const std::size_t at = text.find(separator);
    parts.push_back(text.substr(0, at));
    if (at == std::string_view::npos) return parts;
    text.remove_prefix(at + 1);
  }
}

std::string_view Trimmed(std::string_view text) {
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.front()))) text.remove_prefix(1);
  while (!text.empty() && std::isspace(static_cast<unsigned char>(text.back()))) text.remove_suffix(1);
  return text;
}

bool Same_Letters(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i]))) return false;
  }
  return true;
}

template <typename Number>
bool Parse(std::string_view text, int base, Number &value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return error == std::errc() && end == text.data() + text.size();
}

std::string Described(const Image_Summary &image) {
  char crc[9];
  std::snprintf(crc, sizeof crc, "%08X", static_cast<unsigned>(image.Crc32));
  return std::to_string(image.Size) + " bytes (CRC-32 " + crc + ")";
}

}  // namespace

void Crc32::Add(std::string_view bytes) {
  crc_ = static_cast<std::uint32_t>(
      crc32_z(crc_, reinterpret_cast<const Bytef *>(bytes.data()), static_cast<z_size_t>(bytes.size())));
  size_ += static_cast<std::int64_t>(bytes.size());
}

std::optional<Image_Summary> Entry(std::string_view answer, std::string_view type_name) {
  while (!answer.empty() && (answer.back() == '\n' || answer.back() == '\r')) answer.remove_suffix(1);
  for (std::string_view entry : Split(answer, ',')) {
    std::vector<std::string_view> fields;
    for (std::string_view field : Split(Trimmed(entry), ' ')) {
      if (!field.empty()) fields.push_back(field);
    }
    if (fields.size() != 3 || !Same_Letters(fields[0], type_name)) continue;
    Image_Summary summary;
    if (!Parse(fields[1], 10, summary.Size) || !Parse(fields[2], 16, summary.Crc32) || summary.Size < 0) {
      return std::nullopt;
    }
    return summary;
  }
  return std::nullopt;
}

std::string Type_Named_In(std::string_view command_line) {
  const std::vector<std::string_view> fields = Split(command_line, ',');
  return fields.size() >= 2 ? std::string(Trimmed(fields[1])) : std::string();
}

std::string Mismatch_Text(const Image_Summary &sent, const Image_Summary &held) {
  return "Image check failed: sent " + Described(sent) + ", the instrument holds " + Described(held);
}

}  // namespace Image_Check
