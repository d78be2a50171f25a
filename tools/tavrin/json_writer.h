// A small JSON writer for the command line's --json output: objects, arrays,
// UTF-8 strings, numbers and booleans. Bytes that are not valid UTF-8 are
// written as \xHH inside the string, with backslashes doubled.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

class JsonWriter {
 public:
  JsonWriter &BeginObject();
  JsonWriter &EndObject();
  JsonWriter &BeginArray(std::string_view key = {});
  JsonWriter &EndArray();
  JsonWriter &Key(std::string_view key);
  JsonWriter &String(std::string_view value);
  JsonWriter &Number(std::int64_t value);
  JsonWriter &Bool(bool value);
  JsonWriter &Field(std::string_view key, std::string_view value) { return Key(key).String(value); }
  JsonWriter &Field(std::string_view key, std::int64_t value) { return Key(key).Number(value); }
  // An instrument's bytes: the field, and beside it "<key>Escaped": true when
  // they were not valid UTF-8 and so carry \xHH escapes.
  JsonWriter &TextField(std::string_view key, std::string_view bytes);
  const std::string &Text() const { return text_; }

 private:
  void Separate();
  std::string text_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace tavrin_cli
