// The builtin functions callable from templates: upper, lower, trim, replace,
// split, starts_with, ends_with, slice, contains, join, length, first, last,
// reverse, sort, unique, string, number.
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>
#include <vector>

#include "quarl/value.hpp"
#include "support/limits.hpp"

namespace quarl {

struct Builtin {
  std::string_view name;
  std::size_t min_args;
  std::size_t max_args;
  // The value types each argument accepts, as JSON names them separated by
  // spaces ("string", "string array"); empty for any value.
  std::array<std::string_view, 3> accepts;
  // Takes evaluated arguments, their count within [min_args, max_args].
  // Throws a `quarl::builtin` Error.
  Value (*call)(std::span<const Value> args);
};

// The builtin named `name`, or null.
const Builtin* find_builtin(std::string_view name) noexcept;
// The names of all builtins.
std::vector<std::string_view> builtin_names();

}  // namespace quarl
