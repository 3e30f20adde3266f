#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <span>
#include <stdexcept>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "quarl/result.hpp"
#include "quarl/stack_guard.hpp"
#include "utf8.hpp"

namespace quarl {
namespace {

Value strings(std::vector<std::string> texts) {
  Value::Array array;
  array.reserve(texts.size());
  for (std::string& text : texts) array.push_back(Value::string(std::move(text)));
  return Value::array(std::move(array));
}

Value source_map_object(SourceMap map) {
  Value::Object out;  // keys in sorted order: each one appends
  if (map.file) out.emplace("file", Value::string(std::move(*map.file)));
  out.emplace("mappings", Value::string(std::move(map.mappings)));
  out.emplace("names", Value::array({}));
  out.emplace("sources", strings(std::move(map.sources)));
  if (map.sources_content)
    out.emplace("sourcesContent", strings(std::move(*map.sources_content)));
  out.emplace("version", Value::number(3));
  return Value::object(std::move(out));
}

// Bytes a JSON string must escape: the quote, the backslash, and every
// control character below U+0020.
constexpr std::array<bool, 256> kEscaped = [] {
  std::array<bool, 256> table{};
  for (int c = 0; c < 0x20; ++c) table[static_cast<std::size_t>(c)] = true;
  table['"'] = true;
  table['\\'] = true;
  return table;
}();

// Bit i set when byte i of the 16 at `p` needs escaping.
unsigned escape_mask(const char* p) noexcept {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  const __m128i quote = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('"'));
  const __m128i backslash = _mm_cmpeq_epi8(bytes, _mm_set1_epi8('\\'));
  // Unsigned bytes up to 0x1F are those the maximum with 0x1F leaves alone.
  const __m128i control = _mm_cmpeq_epi8(_mm_max_epu8(bytes, _mm_set1_epi8(0x1F)), _mm_set1_epi8(0x1F));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_or_si128(_mm_or_si128(quote, backslash), control)));
#else
  unsigned mask = 0;
  for (unsigned i = 0; i < 16; ++i)
    if (kEscaped[static_cast<unsigned char>(p[i])]) mask |= 1U << i;
  return mask;
#endif
}

// The escape of each byte that needs one, padded to eight bytes so that it
// is written with one copy.
struct Escape {
  char bytes[8];
  std::uint8_t length;
};
constexpr std::array<Escape, 0x20 + 1> kControlEscapes = [] {
  std::array<Escape, 0x20 + 1> table{};
  constexpr char kHex[] = "0123456789abcdef";
  for (unsigned c = 0; c < 0x20; ++c)
    table[c] = {{'\\', 'u', '0', '0', kHex[c >> 4U], kHex[c & 0xFU]}, 6};
  for (const auto& [c, letter] : {std::pair{'\b', 'b'}, {'\t', 't'}, {'\n', 'n'}, {'\f', 'f'}, {'\r', 'r'}})
    table[static_cast<unsigned char>(c)] = {{'\\', letter}, 2};
  return table;
}();

// Writes the escape of `c` at `at`, which has room for eight bytes; returns
// where the next byte goes.
char* write_escape(char* at, unsigned char c) noexcept {
  if (c >= 0x20) {  // the quote or the backslash
    at[0] = '\\';
    at[1] = static_cast<char>(c);
    return at + 2;
  }
  std::memcpy(at, kControlEscapes[c].bytes, sizeof kControlEscapes[c].bytes);
  return at + kControlEscapes[c].length;
}

constexpr std::size_t kBlock = 16;
constexpr std::size_t kLongestEscape = 8;  // with its padding

// Writes `text` as a JSON string. Sixteen bytes are copied at a time (and
// checked for bytes to escape at once); an escape is written where one is
// found, and the copy goes on from the byte after it. The text is written into
// room for all of it and an eighth more, never zero-filled first; escapes
// beyond that eighth (a text of control characters) make more room.
void write_string(std::string& out, std::string_view text, bool validated) {
  if (!validated)
    if (const auto bad = utf8::find_invalid(text))
      throw std::invalid_argument("string is not valid UTF-8 (byte " + std::to_string(*bad) + ")");
  // The most one block can write: each of its bytes escaped, plus an escape's padding.
  constexpr std::size_t kBlockRoom = kBlock * 6 + kLongestEscape;
  const char* in = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
  out += '"';
  do {
    const std::size_t start = out.size();
    const std::size_t rest = size - i;
    // Room for the rest, an eighth more, a block's overrun and the closing quote.
    out.resize_and_overwrite(start + rest + rest / 8 + kBlockRoom + 1, [&](char* buffer, std::size_t room) noexcept {
      // Locals, not the captured ones: stores through `at` could alias those,
      // which would reload them after every block.
      const char* from = in + i;
      const char* const end = in + size;
      char* at = buffer + start;
      // Stop short of the end while a block could overrun it.
      char* const last = buffer + room - kBlockRoom - 1;
      while (end - from >= static_cast<std::ptrdiff_t>(kBlock) && at <= last) {
        const unsigned mask = escape_mask(from);
        std::memcpy(at, from, kBlock);
        if (mask == 0) {
          at += kBlock;
          from += kBlock;
          continue;
        }
        const auto plain = static_cast<std::size_t>(std::countr_zero(mask));
        at = write_escape(at + plain, static_cast<unsigned char>(from[plain]));
        from += plain + 1;
      }
      if (end - from < static_cast<std::ptrdiff_t>(kBlock) && at <= last)  // room for all that is left
        for (; from != end; ++from) {
          const auto c = static_cast<unsigned char>(*from);
          if (kEscaped[c])
            at = write_escape(at, c);
          else
            *at++ = static_cast<char>(c);
        }
      i = static_cast<std::size_t>(from - in);
      return static_cast<std::size_t>(at - buffer);
    });
  } while (i < size);
  out += '"';
}

void write(std::string& out, const Value& value, bool validated) {
  switch (value.kind()) {
    case ValueKind::Object: {
      check_stack();
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.as_object()) {
        if (!first) out += ',';
        first = false;
        write_string(out, key, validated);
        out += ':';
        write(out, member, validated);
      }
      out += '}';
      return;
    }
    case ValueKind::Array: {
      check_stack();
      out += '[';
      bool first = true;
      for (const Value& element : value.as_array()) {
        if (!first) out += ',';
        first = false;
        write(out, element, validated);
      }
      out += ']';
      return;
    }
    case ValueKind::String:
      return write_string(out, value.as_string(), validated);
    case ValueKind::Number:
      if (!std::isfinite(value.as_number()))
        throw std::invalid_argument("JSON has no form for the number " + to_text(value));
      return append_text(out, value);  // integral values as integers
    case ValueKind::Boolean:
      out += value.as_boolean() ? "true" : "false";
      return;
    case ValueKind::Null:
      out += "null";
      return;
  }
}

}  // namespace

Value to_canonical_json(CompileResult result) {
  std::array<Member, 5> members;  // keys in ascending order
  std::size_t count = 0;
  members[count++] = {"dependencies", strings(std::move(result.dependencies))};
  if (const auto* markdown = std::get_if<std::string>(&result.output)) {
    members[count++] = {"kind", Value::borrowed("markdown")};  // a literal: it lives as long as the program
    members[count++] = {"output", Value::string(*markdown)};
  } else {
    const auto& list = std::get<std::vector<Message>>(result.output);
    Value::Array messages;
    messages.reserve(list.size());
    for (const Message& message : list)
      messages.push_back(Value::object({{"content", Value::string(message.content)},
                                        {"role", Value::string(message.role)}}));
    members[count++] = {"kind", Value::borrowed("messages")};
    members[count++] = {"messages", Value::array(std::move(messages))};
  }
  if (result.source_map) members[count++] = {"sourceMap", source_map_object(std::move(*result.source_map))};
  members[count++] = {"warnings", strings(std::move(result.warnings))};
  return Value::object(std::span<const Member>(members.data(), count));
}

bool is_valid_utf8(std::string_view text) noexcept { return !utf8::find_invalid(text); }

bool holds_valid_utf8(const Value& value) noexcept {
  switch (value.kind()) {
    case ValueKind::String:
      return is_valid_utf8(value.as_string());
    case ValueKind::Array:
      for (const Value& element : value.as_array())
        if (!holds_valid_utf8(element)) return false;
      return true;
    case ValueKind::Object:
      for (const auto& [key, element] : value.as_object())
        if (!is_valid_utf8(key) || !holds_valid_utf8(element)) return false;
      return true;
    default:
      return true;
  }
}

std::string canonical_text(const Value& value, bool validated) {
  std::string out;
  write(out, value, validated);
  return out;
}

}  // namespace quarl
