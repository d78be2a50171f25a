#include "command_words.h"

#include <algorithm>
#include <array>
#include <string_view>

namespace tavrin_cli {
namespace {

// The options whose value is the next word (`--timeout=5` carries its own).
constexpr std::array<std::string_view, 7> kOptionsWithValues = {"--simulate", "--timeout", "--type", "--wait",
                                                                 "--seconds",  "--file",    "--serial"};

bool TakesNextWord(std::string_view word) {
  return std::find(kOptionsWithValues.begin(), kOptionsWithValues.end(), word) != kOptionsWithValues.end();
}

// The commands whose first word is an instrument's name.
constexpr std::array<std::string_view, 6> kNamedCommands = {"write", "read", "query", "download", "info", "monitor"};

}  // namespace

std::optional<std::size_t> CommandWordIndex(const std::vector<std::string> &words) {
  for (std::size_t i = 0; i < words.size(); ++i) {
    if (TakesNextWord(words[i])) {
      ++i;
    } else if (words[i].empty() || words[i][0] != '-') {
      return i;
    }
  }
  return std::nullopt;
}

SerialChoice TakeSerialOption(std::vector<std::string> &words, const std::string &placeholder) {
  SerialChoice choice;
  std::vector<std::string> kept;
  for (std::size_t i = 0; i < words.size(); ++i) {
    std::optional<std::string> value;
    if (words[i] == "--serial") {
      if (i + 1 == words.size()) return {std::nullopt, "--serial needs a serial number"};
      value = words[++i];
    } else if (words[i].rfind("--serial=", 0) == 0) {
      value = words[i].substr(9);
    } else {
      kept.push_back(words[i]);
      if (TakesNextWord(words[i]) && i + 1 < words.size()) kept.push_back(words[++i]);
      continue;
    }
    if (choice.serial) return {std::nullopt, "--serial is given twice"};
    choice.serial = std::move(value);
  }
  if (!choice.serial) return choice;
  std::optional<std::size_t> command = CommandWordIndex(kept);
  if (!command || std::find(kNamedCommands.begin(), kNamedCommands.end(), kept[*command]) == kNamedCommands.end()) {
    return {std::nullopt, "--serial stands for an instrument's name: use it with write, read, query, download, info or monitor"};
  }
  kept.insert(kept.begin() + static_cast<std::ptrdiff_t>(*command) + 1, placeholder);
  words = std::move(kept);
  return choice;
}

}  // namespace tavrin_cli
