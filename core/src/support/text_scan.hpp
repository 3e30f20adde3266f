// Scanning helpers shared by the expression parser and the directive parser:
// identifiers, string literals, and searches that skip quoted text and
// parenthesised groups.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace quarl {

// `text` between single quotes, or between double quotes, as messages show
// names and paths (nothing inside is escaped).
std::string single_quoted(std::string_view text);
std::string double_quoted(std::string_view text);

// Equality of two short names (identifiers), compared inline: names are a
// few bytes long, too short for a call to memcmp to pay off. Words are
// compared, the last one overlapping the one before when the length is not
// a multiple of the word.
inline bool same_name(std::string_view a, std::string_view b) noexcept {
  const std::size_t size = a.size();
  if (size != b.size()) return false;
  const auto word = [](const char* at, auto type) {
    decltype(type) value;
    std::memcpy(&value, at, sizeof value);
    return value;
  };
  const char* const x = a.data();
  const char* const y = b.data();
  if (size >= 8) {
    for (std::size_t i = 0; i + 8 < size; i += 8)
      if (word(x + i, std::uint64_t{}) != word(y + i, std::uint64_t{})) return false;
    return word(x + size - 8, std::uint64_t{}) == word(y + size - 8, std::uint64_t{});
  }
  if (size >= 4)
    return word(x, std::uint32_t{}) == word(y, std::uint32_t{}) &&
           word(x + size - 4, std::uint32_t{}) == word(y + size - 4, std::uint32_t{});
  for (std::size_t i = 0; i < size; ++i)
    if (x[i] != y[i]) return false;
  return true;
}

// Non-empty; an ASCII letter or '_' first, then ASCII letters, digits or '_'.
bool is_identifier(std::string_view text) noexcept;

// At least two characters, opened and closed by the same quote character
// (" or '), the closing quote not escaped by an odd run of backslashes.
bool is_string_literal(std::string_view text) noexcept;

// The content of a string literal with its escapes processed: \" gives ",
// \' gives ', \\ gives \; a backslash before anything else stays, as does a
// lone backslash at the end.
std::string parse_string_escapes(std::string_view text);

// How a scan ended: inside an unterminated string literal, and the
// parenthesis depth reached.
struct ScanEnd {
  bool in_string = false;
  std::size_t depth = 0;
};

// Visits the positions of `text` that lie outside string literals (opened by
// " or ', closed by the same character, a backslash escaping the next one),
// with the parenthesis depth there (a ')' never takes it below 0). Quote
// characters that open or close a literal are not visited. Stops early when
// `visit(position, depth)` returns true.
template <class Visit>
ScanEnd scan_outside_strings(std::string_view text, Visit&& visit) {
  ScanEnd state;
  char quote = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (quote) {
      if (c == '\\')
        ++i;
      else if (c == quote)
        quote = 0;
      continue;
    }
    if (c == '"' || c == '\'') {
      quote = c;
      continue;
    }
    if (visit(i, state.depth)) break;
    if (c == '(') ++state.depth;
    if (c == ')' && state.depth > 0) --state.depth;
  }
  state.in_string = quote != 0;
  return state;
}

// `text` split at every top-level occurrence of `separator` (pieces untrimmed).
std::vector<std::string_view> split_top_level(std::string_view text, std::string_view separator);

// `text` split at every occurrence of `separator` outside string literals,
// whatever the parenthesis depth (pieces untrimmed).
std::vector<std::string_view> split_outside_strings(std::string_view text, char separator);

// A set of names that tells whether a name was seen before, and where: a
// scan while the set is small (parameter and import lists, a loop's names
// usually are), a hash index beyond.
class UniqueNames {
 public:
  // Adds `name` after the others; false when it was there already. The text
  // must outlive the set.
  bool insert(std::string_view name);
  // The position `name` was added at, if it was.
  std::optional<std::size_t> find(std::string_view name) const;

 private:
  static constexpr std::size_t kScanned = 8;
  std::vector<std::string_view> names_;
  std::unordered_map<std::string_view, std::size_t> index_;  // empty while scanned
};

}  // namespace quarl
