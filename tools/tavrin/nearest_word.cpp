#include "nearest_word.h"

#include <algorithm>
#include <cctype>
#include <numeric>

namespace tavrin_cli {
namespace {

// Levenshtein distance, one row at a time.
std::size_t EditDistance(std::string_view a, std::string_view b) {
  std::vector<std::size_t> row(b.size() + 1);
  std::iota(row.begin(), row.end(), std::size_t{0});
  for (std::size_t i = 1; i <= a.size(); ++i) {
    std::size_t diagonal = row[0];
    row[0] = i;
    for (std::size_t j = 1; j <= b.size(); ++j) {
      std::size_t above = row[j];
      bool same = std::tolower(static_cast<unsigned char>(a[i - 1])) == std::tolower(static_cast<unsigned char>(b[j - 1]));
      row[j] = std::min({above + 1, row[j - 1] + 1, diagonal + (same ? 0 : 1)});
      diagonal = above;
    }
  }
  return row[b.size()];
}

}  // namespace

std::string NearestWord(std::string_view word, const std::vector<std::string> &candidates) {
  std::string nearest;
  std::size_t best = 0;
  for (const std::string &candidate : candidates) {
    std::size_t distance = EditDistance(word, candidate);
    if (nearest.empty() || distance < best) {
      nearest = candidate;
      best = distance;
    }
  }
  return nearest;
}

}  // namespace tavrin_cli
