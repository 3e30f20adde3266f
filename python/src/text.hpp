// Text forms the binding shows: quoted strings in reprs and messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/value.hpp"

namespace tessel {

using quarl::debug_quoted;

// ["a", "b"]: each string quoted, separated by a comma and a space. Elements
// that are not strings show their text form.
std::string debug_list(const quarl::Value& strings);

}  // namespace tessel
