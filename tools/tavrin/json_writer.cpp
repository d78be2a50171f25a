#include "json_writer.h"

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
        if (c < 0x20 || c >= 0x7F) {
          char escaped[8];
          std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
          text_ += escaped;
        } else {
          text_ += static_cast<char>(c);
        }
    }
  }
  text_ += '"';
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
