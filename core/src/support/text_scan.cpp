#include "support/text_scan.hpp"

namespace quarl {
namespace {

constexpr bool is_ascii_letter(char c) noexcept {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

std::vector<std::string_view> split_where(std::string_view text, std::string_view separator,
                                          bool top_level_only) {
  std::vector<std::string_view> pieces;
  std::size_t start = 0;
  scan_outside_strings(text, [&](std::size_t i, std::size_t depth) {
    if (text[i] == separator[0] && (depth == 0 || !top_level_only) && i >= start &&
        text.substr(i).starts_with(separator)) {
      pieces.push_back(text.substr(start, i - start));
      start = i + separator.size();
    }
    return false;
  });
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace

namespace {

std::string enclosed(char quote, std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += quote;
  out += text;
  out += quote;
  return out;
}

}  // namespace

std::string single_quoted(std::string_view text) { return enclosed('\'', text); }
std::string double_quoted(std::string_view text) { return enclosed('"', text); }

bool is_identifier(std::string_view text) noexcept {
  if (text.empty() || !(is_ascii_letter(text[0]) || text[0] == '_')) return false;
  for (const char c : text.substr(1))
    if (!(is_ascii_letter(c) || is_digit(c) || c == '_')) return false;
  return true;
}

bool is_string_literal(std::string_view text) noexcept {
  if (text.size() < 2 || (text.front() != '"' && text.front() != '\'') ||
      text.back() != text.front())
    return false;
  std::size_t backslashes = 0;
  for (std::size_t i = text.size() - 1; i > 1 && text[i - 1] == '\\'; --i) ++backslashes;
  return backslashes % 2 == 0;
}

std::string parse_string_escapes(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\\' && i + 1 < text.size()) {
      const char next = text[i + 1];
      if (next == '"' || next == '\'' || next == '\\') {
        out.push_back(next);
        ++i;
        continue;
      }
    }
    out.push_back(c);
  }
  return out;
}

std::vector<std::string_view> split_top_level(std::string_view text, std::string_view separator) {
  return split_where(text, separator, true);
}

std::vector<std::string_view> split_outside_strings(std::string_view text, char separator) {
  return split_where(text, std::string_view(&separator, 1), false);
}

bool UniqueNames::insert(std::string_view name) {
  if (find(name)) return false;
  if (!index_.empty()) index_.emplace(name, names_.size());
  names_.push_back(name);
  if (names_.size() == kScanned)
    for (std::size_t i = 0; i < names_.size(); ++i) index_.emplace(names_[i], i);
  return true;
}

std::optional<std::size_t> UniqueNames::find(std::string_view name) const {
  if (!index_.empty()) {
    const auto found = index_.find(name);
    return found == index_.end() ? std::nullopt : std::optional(found->second);
  }
  for (std::size_t i = 0; i < names_.size(); ++i)
    if (same_name(names_[i], name)) return i;
  return std::nullopt;
}

}  // namespace quarl
