// Text forms the binding shows: quoted strings in reprs and messages.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "quarl/value.hpp"

namespace tessel {

// `text` in double quotes with backslash escapes: \" \\ \n \r \t \0, and
// \u{..} (hexadecimal) for other control characters.
std::string debug_quoted(std::string_view text);

// ["a", "b"]: each string quoted, separated by a comma and a space. Elements
// that are not strings show their text form.
std::string debug_list(const quarl::Value& strings);

}  // namespace tessel
