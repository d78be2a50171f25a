#include "json_writer.h"

#include "text_escape.h"

#include <cstdio>

namespace tavrin_cli {

void JsonWriter::Separate() {
  if (afterKey_) {
    afterKey_ = false;
    return;
  }
  if (!first_.empty()) {
    if (!first_.back()) text_ += ',';
    first_.back() = false;
  }
}

JsonWriter &JsonWriter::BeginObject() {
  Separate();
  text_ += '{';
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::EndObject() {
  text_ += '}';
  first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::BeginArray(std::string_view key) {
  if (!key.empty()) Key(key);
  Separate();
  text_ += '[';
  first_.push_back(true);
  return *this;
}

JsonWriter &JsonWriter::EndArray() {
  text_ += ']';
  first_.pop_back();
  return *this;
}

JsonWriter &JsonWriter::Key(std::string_view key) {
  String(key);
  text_ += ':';
  afterKey_ = true;
  return *this;
}

JsonWriter &JsonWriter::String(std::string_view value) {
  Separate();
  // Valid UTF-8 goes out as it is; other bytes are spelled \xHH (with
  // backslashes doubled), never widened one byte to one character.
  std::string escaped;
  if (!IsValidUtf8(value)) {
    escaped = EscapeBytes(value, false);
    value = escaped;
  }
  text_ += '"';
  for (unsigned char c : value) {
    switch (c) {
      case '"':
        text_ += "\\\"";
        break;
      case '\\':
        text_ += "\\\\";
        break;
      case '\n':
        text_ += "\\n";
        break;
      case '\r':
        text_ += "\\r";
        break;
      case '\t':
        text_ += "\\t";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          char control[8];
          std::snprintf(control, sizeof control, "\\u%04x", c);
          text_ += control;
        } else {
          text_ += static_cast<char>(c);
        }
    }
  }
  text_ += '"';
  return *this;
}

JsonWriter &JsonWriter::TextField(std::string_view key, std::string_view bytes) {
  Field(key, bytes);
  if (!IsValidUtf8(bytes)) Key(std::string(key) + "Escaped").Bool(true);
  return *this;
}

JsonWriter &JsonWriter::Number(std::int64_t value) {
  Separate();
  text_ += std::to_string(value);
  return *this;
}

JsonWriter &JsonWriter::Bool(bool value) {
  Separate();
  text_ += value ? "true" : "false";
  return *this;
}

}  // namespace tavrin_cli
