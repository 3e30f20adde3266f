// The formatter: one layout for the template syntax of a module, its
// Markdown untouched. Interpolations become `{{ expr }}` and directive lines
// take one spelling, with expressions spaced one way (`f(a, b)`, `a.b`,
// `!x`, `a == b && c || d`) and string literals as written; text, fenced
// code, frontmatter, escapes, line endings and a byte order mark stay as
// they are. Nothing is returned unless the result parses to the same tree.
#pragma once

#include <string>
#include <string_view>

namespace quarl {

// The formatted text of a module, checked: the module's syntax errors are
// thrown as they are; a result whose parse differs from the original's
// (spans aside) throws `quarl::formatter_invariant` saying where.
std::string format_template(std::string_view text);

// Throws `quarl::formatter_invariant` unless `formatted` parses to the tree
// `original` parses to, spans aside; `original`'s own syntax errors as they are.
void require_same_tree(std::string_view original, std::string_view formatted);

}  // namespace quarl
