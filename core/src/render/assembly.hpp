// The final Markdown of a compile: the rendered body cleaned up, with the
// entry module's frontmatter passed through in front of it.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace quarl {

// Carriage returns removed, trailing white space trimmed, one final line feed
// (none for an empty body); then, when the frontmatter keeps any lines, those
// lines between --- lines in front. The frontmatter drops its `imports:` entry
// (with the indented or "- " list lines that belong to it) and its template
// marker line.
// `prefix`, when given, is set to the length of what stands in front of the
// body.
std::string assemble_markdown(std::string body, std::optional<std::string_view> frontmatter,
                              std::size_t* prefix = nullptr);

}  // namespace quarl
