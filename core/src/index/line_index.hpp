// Lines and columns of many offsets into one text, each found in time of
// its own line's length: where the index places what it lists.
#pragma once

#include <algorithm>
#include <cstddef>
#include <string_view>
#include <vector>

#include "quarl/error.hpp"
#include "support/utf8.hpp"

namespace quarl {

class LineIndex {
 public:
  explicit LineIndex(std::string_view text) : text_(text) {
    starts_.push_back(0);
    for (std::size_t at = text.find('\n'); at != std::string_view::npos; at = text.find('\n', at + 1))
      starts_.push_back(at + 1);
  }

  // 1-based line and column (in Unicode scalar values), as errors count them.
  LineColumn locate(std::size_t offset) const noexcept {
    offset = std::min(offset, text_.size());
    const auto after = std::upper_bound(starts_.begin(), starts_.end(), offset);
    const std::size_t line = static_cast<std::size_t>(after - starts_.begin());
    const std::size_t start = starts_[line - 1];
    return {line, 1 + utf8::count_scalars(text_.substr(start, offset - start))};
  }

 private:
  std::string_view text_;
  std::vector<std::size_t> starts_;
};

}  // namespace quarl
