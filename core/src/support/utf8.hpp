// Byte-level helpers for UTF-8 text.
//
// Module texts are UTF-8 and every delimiter of the language is ASCII, which
// never occurs inside a multi-byte sequence; so the front end scans bytes and
// only these helpers know how characters are encoded.
#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace quarl::utf8 {

// A byte that continues a multi-byte sequence (10xxxxxx).
constexpr bool is_continuation(char byte) noexcept {
  return (static_cast<unsigned char>(byte) & 0xC0U) == 0x80U;
}

// Offset of the first byte that does not belong to a well-formed UTF-8
// sequence (overlong forms, surrogates and values past U+10FFFF included),
// or none when all of `text` is valid.
std::optional<std::size_t> find_invalid(std::string_view text) noexcept;

// Number of Unicode scalar values in `text`.
std::size_t count_scalars(std::string_view text) noexcept;

// Number of UTF-16 code units of `text`: one per character, two for a
// character above U+FFFF (a four-byte sequence).
std::size_t count_utf16_units(std::string_view text) noexcept;

// One character: its code point and its length in bytes.
struct Character {
  char32_t code;
  std::size_t length;
};

// The character at byte `at` of `text` (which must be inside it). A byte
// that does not start a complete sequence stands for itself.
Character character_at(std::string_view text, std::size_t at) noexcept;

// Length in bytes of the Unicode white space character (the White_Space
// property) that starts `text`, or 0 when `text` does not start with one.
std::size_t leading_space_length(std::string_view text) noexcept;

// Length in bytes of the Unicode white space character that ends `text`, or 0.
std::size_t trailing_space_length(std::string_view text) noexcept;

// Whether `byte` cannot begin or end a white space character: an ASCII byte
// other than space, tab, line feed, vertical tab, form feed and carriage
// return.
constexpr bool is_plain_ascii(char byte) noexcept {
  const auto c = static_cast<unsigned char>(byte);
  return c < 0x80 && c != ' ' && (c < '\t' || c > '\r');
}

std::string_view trim_start_slow(std::string_view text) noexcept;
std::string_view trim_end_slow(std::string_view text) noexcept;

// `text` without Unicode white space at either end. Most text starts and
// ends with a plain ASCII byte, which settles it at once.
inline std::string_view trim_start(std::string_view text) noexcept {
  return !text.empty() && is_plain_ascii(text.front()) ? text : trim_start_slow(text);
}
inline std::string_view trim_end(std::string_view text) noexcept {
  return !text.empty() && is_plain_ascii(text.back()) ? text : trim_end_slow(text);
}
inline std::string_view trim(std::string_view text) noexcept { return trim_end(trim_start(text)); }

}  // namespace quarl::utf8
