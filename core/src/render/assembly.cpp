#include "render/assembly.hpp"

#include <algorithm>

#include "support/utf8.hpp"
#include "syntax/frontmatter.hpp"

namespace quarl {
namespace {

// Whether a line after `imports:` still belongs to its value: blank,
// indented, or an item of a block list written in the first column.
bool continues_imports(std::string_view line) noexcept {
  return utf8::trim(line).empty() || line.starts_with(' ') || line.starts_with('\t') ||
         line == "-" || line.starts_with("- ");
}

// The frontmatter lines that pass through, joined with line feeds.
std::string kept_frontmatter(std::string_view frontmatter) {
  std::string kept;
  bool in_imports = false;
  while (!frontmatter.empty()) {
    const std::size_t end = std::min(frontmatter.find('\n'), frontmatter.size());
    const std::string_view line = frontmatter.substr(0, end);
    frontmatter.remove_prefix(std::min(end + 1, frontmatter.size()));
    if (in_imports && continues_imports(line)) continue;
    in_imports = line.starts_with("imports:");
    if (in_imports || is_type_marker_line(line)) continue;
    kept += line;
    kept += '\n';
  }
  return kept;
}

}  // namespace

std::string assemble_markdown(std::string body, std::optional<std::string_view> frontmatter,
                              std::size_t* prefix) {
  if (prefix) *prefix = 0;
  if (body.find('\r') != std::string::npos) std::erase(body, '\r');
  body.resize(utf8::trim_end(body).size());
  if (!body.empty()) body += '\n';
  if (!frontmatter) return body;
  const std::string kept = kept_frontmatter(*frontmatter);
  const std::string_view block = utf8::trim(kept);
  if (block.empty()) return body;
  std::string out;
  out.reserve(block.size() + body.size() + 9);
  out += "---\n";
  out += block;
  out += "\n---\n";
  if (prefix) *prefix = out.size();
  out += body;
  return out;
}

}  // namespace quarl
