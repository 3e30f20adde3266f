// Near misses: the name a misspelt one most likely meant, for the notes an
// error carries ("did you mean 'audience'?").
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace quarl {

// The candidate closest to `name` when it is close enough to be a slip of
// the keyboard: a few characters added, dropped, changed or swapped (one for
// a name of up to five characters, two up to ten, three beyond). Ties go
// to the candidate first in byte order; `name` itself is never suggested.
std::optional<std::string_view> closest_name(std::string_view name, std::span<const std::string_view> candidates);

// "did you mean 'x'?" for the closest candidate, or none.
std::optional<std::string> did_you_mean(std::string_view name, std::span<const std::string_view> candidates);

}  // namespace quarl
