#include "shell_words.h"

namespace tavrin_cli {

ShellWords SplitShellWords(std::string_view line) {
  ShellWords result;
  std::string word;
  bool inWord = false;
  auto endWord = [&] {
    if (inWord) result.words.push_back(word);
    word.clear();
    inWord = false;
  };
  for (std::size_t i = 0; i < line.size(); ++i) {
    char c = line[i];
    if (c == ' ' || c == '\t' || c == '\n') {
      endWord();
    } else if (c == '#' && !inWord) {
      break;
    } else if (c == '\\') {
      inWord = true;
      if (++i < line.size()) word += line[i];
    } else if (c == '\'') {
      inWord = true;
      std::size_t close = line.find('\'', i + 1);
      if (close == std::string_view::npos) {
        result.error = "no closing single quote";
        return result;
      }
      word.append(line.substr(i + 1, close - i - 1));
      i = close;
    } else if (c == '"') {
      inWord = true;
      for (++i;; ++i) {
        if (i >= line.size()) {
          result.error = "no closing double quote";
          return result;
        }
        if (line[i] == '"') break;
        if (line[i] == '\\' && i + 1 < line.size() && std::string_view("\"\\$`\n").find(line[i + 1]) != std::string_view::npos) {
          ++i;
          if (line[i] == '\n') continue;
        }
        word += line[i];
      }
    } else {
      inWord = true;
      word += c;
    }
  }
  endWord();
  return result;
}

}  // namespace tavrin_cli
