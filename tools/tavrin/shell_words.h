// The words of one `tavrin shell` line, by the POSIX shell's quoting rules
// without any expansion: 'single quotes' keep everything, "double quotes"
// keep everything but \" \\ \$ \` (and a backslash before a line end), a
// backslash outside quotes keeps the next character, and an unquoted # at
// the start of a word begins a comment.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

struct ShellWords {
  std::vector<std::string> words;
  std::string error;  // not empty: the line cannot be split (an open quote)
};

ShellWords SplitShellWords(std::string_view line);

}  // namespace tavrin_cli
