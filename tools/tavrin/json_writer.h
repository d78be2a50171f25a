// A small JSON writer for the command line's --json output: objects, arrays,
// strings (escaped; bytes above 0x7F taken as Latin-1), numbers and booleans.
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
  const std::string &Text() const { return text_; }

 private:
  void Separate();
  std::string text_;
  std::vector<bool> first_;  // per open container: nothing written in it yet
  bool afterKey_ = false;
};

}  // namespace tavrin_cli
