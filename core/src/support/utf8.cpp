#include "support/utf8.hpp"

#include <cstdint>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarl::utf8 {
namespace {

constexpr bool is_ascii_space(unsigned char c) noexcept {
  return c == ' ' || (c >= '\t' && c <= '\r');
}

// Whether the bytes `a b` or `a b c` encode a multi-byte white space character:
//   U+0085 C2 85, U+00A0 C2 A0, U+1680 E1 9A 80, U+2000..U+200A E2 80 80..8A,
//   U+2028 E2 80 A8, U+2029 E2 80 A9, U+202F E2 80 AF, U+205F E2 81 9F,
//   U+3000 E3 80 80
constexpr bool is_two_byte_space(unsigned char a, unsigned char b) noexcept {
  return a == 0xC2 && (b == 0x85 || b == 0xA0);
}
constexpr bool is_three_byte_space(unsigned char a, unsigned char b, unsigned char c) noexcept {
  switch (a) {
    case 0xE1:
      return b == 0x9A && c == 0x80;
    case 0xE2:
      if (b == 0x80) return c <= 0x8A ? c >= 0x80 : (c == 0xA8 || c == 0xA9 || c == 0xAF);
      return b == 0x81 && c == 0x9F;
    case 0xE3:
      return b == 0x80 && c == 0x80;
    default:
      return false;
  }
}

unsigned char byte_at(std::string_view text, std::size_t i) noexcept {
  return static_cast<unsigned char>(text[i]);
}

}  // namespace

std::optional<std::size_t> find_invalid(std::string_view text) noexcept {
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    // Skip ASCII sixteen, then eight bytes at a time.
#if defined(__SSE2__)
    while (i + 16 <= n &&
           _mm_movemask_epi8(_mm_loadu_si128(reinterpret_cast<const __m128i*>(text.data() + i))) == 0)
      i += 16;
#endif
    while (i + 8 <= n) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (word & 0x8080808080808080ULL) break;
      i += 8;
    }
    if (i == n) break;
    const unsigned char a = byte_at(text, i);
    if (a < 0x80) {
      ++i;
      continue;
    }
    // The allowed range of the second byte depends on the first (Unicode
    // table 3-7); later bytes are plain continuation bytes.
    std::size_t length = 0;
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (a >= 0xC2 && a <= 0xDF) {
      length = 2;
    } else if (a >= 0xE0 && a <= 0xEF) {
      length = 3;
      if (a == 0xE0) low = 0xA0;
      if (a == 0xED) high = 0x9F;
    } else if (a >= 0xF0 && a <= 0xF4) {
      length = 4;
      if (a == 0xF0) low = 0x90;
      if (a == 0xF4) high = 0x8F;
    } else {
      return i;
    }
    if (i + length > n) return i;
    const unsigned char b = byte_at(text, i + 1);
    if (b < low || b > high) return i;
    for (std::size_t k = 2; k < length; ++k)
      if (!is_continuation(text[i + k])) return i;
    i += length;
  }
  return std::nullopt;
}

std::size_t count_scalars(std::string_view text) noexcept {
  std::size_t count = 0;
  for (const char c : text) count += is_continuation(c) ? 0 : 1;
  return count;
}

std::size_t count_utf16_units(std::string_view text) noexcept {
  const auto units_of = [](char byte) -> std::size_t {
    if (is_continuation(byte)) return 0;
    return static_cast<unsigned char>(byte) >= 0xF0 ? 2 : 1;
  };
  std::size_t units = 0;
  std::size_t i = 0;
  // ASCII goes eight bytes at a time.
  for (; i + 8 <= text.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, text.data() + i, sizeof word);
    if ((word & 0x8080808080808080ULL) == 0) {
      units += 8;
      continue;
    }
    for (std::size_t k = i; k < i + 8; ++k) units += units_of(text[k]);
  }
  for (; i < text.size(); ++i) units += units_of(text[i]);
  return units;
}

Character character_at(std::string_view text, std::size_t at) noexcept {
  const unsigned char lead = byte_at(text, at);
  const std::size_t length = lead < 0x80 ? 1 : lead >= 0xF0 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC0 ? 2 : 1;
  if (length == 1 || at + length > text.size()) return {lead, 1};
  char32_t code = lead & (0x7FU >> length);
  for (std::size_t i = 1; i < length; ++i) code = (code << 6U) | (byte_at(text, at + i) & 0x3FU);
  return {code, length};
}

std::size_t leading_space_length(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n == 0) return 0;
  const unsigned char a = byte_at(text, 0);
  if (a < 0x80) return is_ascii_space(a) ? 1 : 0;
  if (n >= 2 && is_two_byte_space(a, byte_at(text, 1))) return 2;
  if (n >= 3 && is_three_byte_space(a, byte_at(text, 1), byte_at(text, 2))) return 3;
  return 0;
}

std::size_t trailing_space_length(std::string_view text) noexcept {
  const std::size_t n = text.size();
  if (n == 0) return 0;
  const unsigned char z = byte_at(text, n - 1);
  if (z < 0x80) return is_ascii_space(z) ? 1 : 0;
  if (n >= 2 && is_two_byte_space(byte_at(text, n - 2), z)) return 2;
  if (n >= 3 && is_three_byte_space(byte_at(text, n - 3), byte_at(text, n - 2), z)) return 3;
  return 0;
}

// ASCII white space (a line's end, mostly) is dropped a byte at a time here;
// only a byte above ASCII needs the full check.
std::string_view trim_start_slow(std::string_view text) noexcept {
  for (;;) {
    while (!text.empty() && is_ascii_space(byte_at(text, 0))) text.remove_prefix(1);
    const std::size_t k = leading_space_length(text);
    if (k == 0) return text;
    text.remove_prefix(k);
  }
}

std::string_view trim_end_slow(std::string_view text) noexcept {
  for (;;) {
    while (!text.empty() && is_ascii_space(byte_at(text, text.size() - 1))) text.remove_suffix(1);
    const std::size_t k = trailing_space_length(text);
    if (k == 0) return text;
    text.remove_suffix(k);
  }
}

}  // namespace quarl::utf8
