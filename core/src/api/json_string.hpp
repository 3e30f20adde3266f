// A JSON string literal as the canonical text writes it, for code that
// writes canonical JSON text of its own.
#pragma once

#include <string>
#include <string_view>

namespace quarl {

// Appends `text` (valid UTF-8) to `out` as a JSON string: quotes,
// backslashes and control characters escaped.
void append_json_string(std::string& out, std::string_view text);

}  // namespace quarl
