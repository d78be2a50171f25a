// A command line's words before they are parsed: which one names the
// command, and --serial, which stands for an instrument's name.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

namespace tavrin_cli {

// The position of the command's name: the first word that is neither an
// option nor the value of one; nullopt when there is none.
std::optional<std::size_t> CommandWordIndex(const std::vector<std::string> &words);

struct SerialChoice {
  std::optional<std::string> serial;  // the serial number given
  std::string error;                  // not empty: --serial cannot be used so
};

// Takes `--serial S` (or `--serial=S`) out of `words` and puts `placeholder`
// where the instrument's name stands, right after the command's name.
SerialChoice TakeSerialOption(std::vector<std::string> &words, const std::string &placeholder);

}  // namespace tavrin_cli
