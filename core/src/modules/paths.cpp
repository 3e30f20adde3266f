#include "modules/paths.hpp"

#include <vector>

#include "quarl/error.hpp"
#include "support/text_scan.hpp"

namespace quarl {
namespace {

[[noreturn]] void too_many_segments(std::string_view path) {
  throw Error::resource_limit("import path exceeds maximum segment count (" +
                              std::to_string(kMaxKeySegments) + "): " + double_quoted(path));
}

// Calls `visit` with every '/'-separated segment of `path`, empty ones included.
template <class Visit>
void for_each_segment(std::string_view path, Visit&& visit) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t slash = path.find('/', start);
    visit(path.substr(start, slash == std::string_view::npos ? std::string_view::npos
                                                              : slash - start));
    if (slash == std::string_view::npos) return;
    start = slash + 1;
  }
}

std::string join(const std::vector<std::string_view>& segments) {
  std::string out;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (i) out += '/';
    out += segments[i];
  }
  return out;
}

// Segments without empty and "." ones; ".." removes the previous segment
// unless there is none or it is itself "..".
std::vector<std::string_view> normal_segments(std::string_view path) {
  std::vector<std::string_view> out;
  for_each_segment(path, [&](std::string_view segment) {
    if (segment.empty() || segment == ".") return;
    if (segment == ".." && !out.empty() && out.back() != "..")
      out.pop_back();
    else
      out.push_back(segment);
  });
  return out;
}

bool is_ascii_letter(char c) noexcept { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

bool is_absolute(std::string_view path) noexcept {
  return path.starts_with('/') || path.find(":\\") != std::string_view::npos ||
         path.find(":/") != std::string_view::npos ||
         (path.size() >= 2 && is_ascii_letter(path[0]) && path[1] == ':');
}

// Whether `path` starts with all of `prefix`'s segments.
bool has_prefix(const std::vector<std::string_view>& path,
                const std::vector<std::string_view>& prefix) noexcept {
  if (prefix.size() > path.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i)
    if (path[i] != prefix[i]) return false;
  return true;
}

// `path` relative to `directory`, both normalised segment lists.
std::string relative_to(const std::vector<std::string_view>& path,
                        const std::vector<std::string_view>& directory) {
  std::size_t common = 0;
  while (common < path.size() && common < directory.size() && path[common] == directory[common])
    ++common;
  std::vector<std::string_view> out(directory.size() - common, "..");
  out.insert(out.end(), path.begin() + static_cast<std::ptrdiff_t>(common), path.end());
  const std::string text = join(out);
  return text.empty() ? "." : text;
}

std::string with_forward_slashes(std::string_view path) {
  std::string out(path);
  for (char& c : out)
    if (c == '\\') c = '/';
  return out;
}

}  // namespace

void check_import_syntax(std::string_view path) {
  if (!path.starts_with("./") && !path.starts_with("../"))
    throw Error::import("import path must be relative (start with './' or '../'): " +
                        double_quoted(path));
  if (path.find('\0') != std::string_view::npos)
    throw Error::import("import path contains null byte");
}

void validate_path(std::string_view path) {
  if (path.empty()) throw Error::import("import path is empty");
  if (path.find('\0') != std::string_view::npos)
    throw Error::import("import path contains null byte");
}

std::string resolve_virtual(std::optional<std::string_view> importer, std::string_view path) {
  validate_path(path);
  if (!importer) {
    std::size_t count = 0;
    for_each_segment(path, [&](std::string_view segment) {
      if (!segment.empty() && segment != ".") ++count;
    });
    if (count > kMaxKeySegments) too_many_segments(path);
    return std::string(path);
  }
  const std::size_t slash = importer->rfind('/');
  return resolve_virtual_from(
      slash == std::string_view::npos ? std::string_view() : importer->substr(0, slash), path);
}

std::string resolve_virtual_from(std::string_view base, std::string_view path) {
  validate_path(path);
  std::vector<std::string_view> stack;
  for_each_segment(base, [&](std::string_view segment) {
    if (!segment.empty()) stack.push_back(segment);
  });
  for_each_segment(path, [&](std::string_view segment) {
    if (segment.empty() || segment == ".") return;
    if (segment == "..") {
      if (stack.empty())
        throw Error::import("import path escapes project directory: " + double_quoted(path));
      stack.pop_back();
      return;
    }
    if (stack.size() >= kMaxKeySegments) too_many_segments(path);
    stack.push_back(segment);
  });
  if (stack.empty()) throw Error::import("import path resolves to empty key: " + double_quoted(path));
  return join(stack);
}

bool is_within(std::string_view path, std::string_view directory) noexcept {
  return has_prefix(normal_segments(path), normal_segments(directory));
}

std::string display_path(std::string_view path, std::optional<std::string_view> base,
                         std::optional<std::string_view> root) {
  if (path.size() >= 2 && path.starts_with('<') && path.ends_with('>')) return std::string(path);
  std::string text = with_forward_slashes(path);
  for (const std::string_view prefix : {"//?/UNC/", "//?/"})
    if (text.starts_with(prefix)) {
      text.erase(0, prefix.size());
      break;
    }
  if (text.empty()) return "source";

  const std::vector<std::string_view> segments = normal_segments(text);
  if (!is_absolute(text)) {
    const std::string relative = join(segments);
    return relative.empty() ? "source" : relative;
  }
  std::string absolute = text.starts_with('/') ? "/" : "";
  absolute += join(segments);
  if (!root) return absolute;
  const std::string root_text = with_forward_slashes(*root);
  const std::vector<std::string_view> root_segments = normal_segments(root_text);
  if (!has_prefix(segments, root_segments)) return absolute;
  if (base) {
    const std::string base_text = with_forward_slashes(*base);
    const std::vector<std::string_view> base_segments = normal_segments(base_text);
    if (has_prefix(base_segments, root_segments)) return relative_to(segments, base_segments);
  }
  return relative_to(segments, root_segments);
}

}  // namespace quarl
