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

// Length in bytes of the Unicode white space character (the White_Space
// property) that starts `text`, or 0 when `text` does not start with one.
std::size_t leading_space_length(std::string_view text) noexcept;

// Length in bytes of the Unicode white space character that ends `text`, or 0.
std::size_t trailing_space_length(std::string_view text) noexcept;

// `text` without Unicode white space at either end.
std::string_view trim(std::string_view text) noexcept;
std::string_view trim_start(std::string_view text) noexcept;
std::string_view trim_end(std::string_view text) noexcept;

}  // namespace quarl::utf8
