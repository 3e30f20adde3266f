#include "support/suggest.hpp"

#include <algorithm>
#include <vector>

#include "support/limits.hpp"

namespace quarl {
namespace {

// The optimal string alignment distance of `a` and `b` (Levenshtein, plus
// the swap of two neighbouring characters), or `limit` + 1 once it is known
// to exceed `limit`.
std::size_t distance(std::string_view a, std::string_view b, std::size_t limit) {
  const std::size_t gap = a.size() > b.size() ? a.size() - b.size() : b.size() - a.size();
  if (gap > limit) return limit + 1;
  std::vector<std::size_t> before(b.size() + 1), previous(b.size() + 1), current(b.size() + 1);
  for (std::size_t j = 0; j <= b.size(); ++j) previous[j] = j;
  for (std::size_t i = 1; i <= a.size(); ++i) {
    current[0] = i;
    std::size_t row_best = current[0];
    for (std::size_t j = 1; j <= b.size(); ++j) {
      const std::size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
      current[j] = std::min({previous[j] + 1, current[j - 1] + 1, previous[j - 1] + cost});
      if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1])
        current[j] = std::min(current[j], before[j - 2] + 1);
      row_best = std::min(row_best, current[j]);
    }
    if (row_best > limit) return limit + 1;
    std::swap(before, previous);
    std::swap(previous, current);
  }
  return previous[b.size()];
}

std::size_t tolerance(std::string_view name) noexcept { return name.size() <= 5 ? 1 : name.size() <= 10 ? 2 : 3; }

}  // namespace

// Names longer than kMaxCompared are not compared: no one misspells a
// paragraph.
std::optional<std::string_view> closest_name(std::string_view name, std::span<const std::string_view> candidates) {
  if (name.size() > kMaxCompared) return std::nullopt;
  std::optional<std::string_view> best;
  std::size_t best_distance = tolerance(name) + 1;
  for (const std::string_view candidate : candidates) {
    if (candidate == name || candidate.size() > kMaxCompared) continue;
    const std::size_t d = distance(name, candidate, best_distance);
    if (d < best_distance || (d == best_distance && best && d <= tolerance(name) && candidate < *best)) {
      best = candidate;
      best_distance = d;
    }
  }
  return best;
}

std::optional<std::string> did_you_mean(std::string_view name, std::span<const std::string_view> candidates) {
  const std::optional<std::string_view> found = closest_name(name, candidates);
  if (!found) return std::nullopt;
  return "did you mean '" + std::string(*found) + "'?";
}

}  // namespace quarl
