#include "text_escape.h"

#include <cstdio>

namespace tavrin_cli {
namespace {

// The length of the valid UTF-8 sequence at `at`, or 0 when the byte there
// does not start one (overlong forms, surrogates and values past U+10FFFF
// are not valid).
std::size_t SequenceLength(std::string_view bytes, std::size_t at) {
  auto byte = [&](std::size_t i) { return static_cast<unsigned char>(bytes[i]); };
  unsigned char lead = byte(at);
  if (lead < 0x80) return 1;
  std::size_t length;
  unsigned lowest, highest = 0xBF;
  unsigned char secondLow = 0x80;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4;
  } else {
    return 0;
  }
  lowest = 0x80;
  if (lead == 0xE0) secondLow = 0xA0;
  if (lead == 0xF0) secondLow = 0x90;
  unsigned secondHigh = lead == 0xED ? 0x9F : lead == 0xF4 ? 0x8F : highest;
  if (at + length > bytes.size()) return 0;
  if (byte(at + 1) < secondLow || byte(at + 1) > secondHigh) return 0;
  for (std::size_t i = 2; i < length; ++i) {
    if (byte(at + i) < lowest || byte(at + i) > highest) return 0;
  }
  return length;
}

void AppendHexEscape(std::string &text, unsigned char byte) {
  char escaped[5];
  std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
  text += escaped;
}

}  // namespace

bool IsValidUtf8(std::string_view bytes) {
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t length = SequenceLength(bytes, at);
    if (length == 0) return false;
    at += length;
  }
  return true;
}

std::string EscapeBytes(std::string_view bytes, bool controls) {
  std::string text;
  for (std::size_t at = 0; at < bytes.size();) {
    std::size_t length = SequenceLength(bytes, at);
    unsigned char byte = static_cast<unsigned char>(bytes[at]);
    if (length == 0) {
      AppendHexEscape(text, byte);
      ++at;
      continue;
    }
    if (byte == '\\') {
      text += "\\\\";
    } else if (controls && byte == '\r') {
      text += "\\r";
    } else if (controls && (byte < 0x20 || byte == 0x7F) && byte != '\n' && byte != '\t') {
      AppendHexEscape(text, byte);
    } else {
      text.append(bytes.substr(at, length));
    }
    at += length;
  }
  return text;
}

std::string HexBytes(std::string_view bytes) {
  std::string text;
  char byte[4];
  for (unsigned char b : bytes) {
    std::snprintf(byte, sizeof byte, text.empty() ? "%02X" : " %02X", b);
    text += byte;
  }
  return text;
}

}  // namespace tavrin_cli
