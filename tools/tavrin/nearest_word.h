// The word a mistyped one was most likely meant to be.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace tavrin_cli {

// The candidate with the fewest single-letter edits (insert, delete,
// replace) from `word`, ignoring letter case; the first such when several
// tie. Empty when there are no candidates.
std::string NearestWord(std::string_view word, const std::vector<std::string> &candidates);

}  // namespace tavrin_cli
