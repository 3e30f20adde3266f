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

#include "api/json_string.hpp"
#include "quarl/stack_guard.hpp"
#include "support/utf8.hpp"

namespace quarl {
namespace {

// An array of the texts, borrowed.
Value strings(const std::vector<std::string>& texts, ValueArena& arena) {
  const std::span<Value> elements = arena.elements(texts.size());
  for (std::size_t i = 0; i < texts.size(); ++i) elements[i] = Value::borrowed(texts[i]);
  return arena.array(elements);
}

Value source_map_object(const SourceMap& map, ValueArena& arena) {
  const std::span<Member> members = arena.members(6);
  std::size_t count = 0;  // keys in ascending order
  if (map.file) members[count++] = {"file", Value::borrowed(*map.file)};
  members[count++] = {"mappings", Value::borrowed(map.mappings)};
  members[count++] = {"names", arena.array({})};
  members[count++] = {"sources", strings(map.sources, arena)};
  if (map.sources_content) members[count++] = {"sourcesContent", strings(*map.sources_content, arena)};
  members[count++] = {"version", Value::number(3)};
  return arena.sorted_object(members.first(count));
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
// Blocks stop this close to the end of the text, so that a block's copy from
// anywhere inside one, or from its end, stays inside the text; the rest (the
// tail, shorter than this) goes byte by byte.
constexpr std::size_t kTail = 2 * kBlock;
// The most the tail, or one block, can write: each byte escaped, plus an
// escape's padding (a block: plus its copy past the last escape).
constexpr std::size_t kMostWritten = (kTail - 1) * 6 + kLongestEscape;
static_assert(kMostWritten >= kBlock * 6 + kBlock);

// Writes `text` as a JSON string. Sixteen bytes are checked for bytes to
// escape at once; a block without one is copied whole, a block with some is
// copied up to each escape in turn (a copy of a whole block, of which the
// bytes after the escape are written again after it). The text is written
// into room for all of it and an eighth more, never zero-filled first;
// escapes beyond that eighth (a text of control characters) make more room.
void write_string(std::string& out, std::string_view text, bool validated) {
  if (!validated)
    if (const auto bad = utf8::find_invalid(text))
      throw std::invalid_argument("string is not valid UTF-8 (byte " + std::to_string(*bad) + ")");
  const char* in = text.data();
  const std::size_t size = text.size();
  std::size_t i = 0;
  out += '"';
  do {
    const std::size_t start = out.size();
    const std::size_t rest = size - i;
    // Room for the rest, an eighth more, a block's or the tail's overrun and the closing quote.
    out.resize_and_overwrite(start + rest + rest / 8 + kMostWritten + 1, [&](char* buffer, std::size_t room) noexcept {
      // Locals, not the captured ones: stores through `at` could alias those,
      // which would reload them after every block.
      const char* from = in + i;
      const char* const end = in + size;
      char* at = buffer + start;
      // Stop short of the end while a block or the tail could overrun it.
      char* const last = buffer + room - kMostWritten - 1;
      while (end - from >= static_cast<std::ptrdiff_t>(kTail) && at <= last) {
        unsigned mask = escape_mask(from);
        if (mask == 0) {
          std::memcpy(at, from, kBlock);
          at += kBlock;
          from += kBlock;
          continue;
        }
        const char* const block_end = from + kBlock;
        do {
          const auto plain = static_cast<unsigned>(std::countr_zero(mask));
          std::memcpy(at, from, kBlock);
          at = write_escape(at + plain, static_cast<unsigned char>(from[plain]));
          from += plain + 1;
          mask >>= plain + 1;  // at most 16 bits
        } while (mask != 0);
        std::memcpy(at, from, kBlock);
        at += block_end - from;
        from = block_end;
      }
      if (end - from < static_cast<std::ptrdiff_t>(kTail) && at <= last)  // room for all that is left
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

Value canonical_view(const CompileResult& result, ValueArena& arena) {
  // Keys are literals: they live as long as the program.
  const std::span<Member> members = arena.members(5);
  std::size_t count = 0;  // keys in ascending order
  members[count++] = {"dependencies", strings(result.dependencies, arena)};
  if (const auto* markdown = std::get_if<std::string>(&result.output)) {
    members[count++] = {"kind", Value::borrowed("markdown")};
    members[count++] = {"output", Value::borrowed(*markdown)};
  } else {
    const auto& list = std::get<std::vector<Message>>(result.output);
    const std::span<Value> messages = arena.elements(list.size());
    for (std::size_t i = 0; i < list.size(); ++i) {
      const std::span<Member> message = arena.members(2);
      message[0] = {"content", Value::borrowed(list[i].content)};
      message[1] = {"role", Value::borrowed(list[i].role)};
      messages[i] = arena.sorted_object(message);
    }
    members[count++] = {"kind", Value::borrowed("messages")};
    members[count++] = {"messages", arena.array(messages)};
  }
  if (result.source_map) members[count++] = {"sourceMap", source_map_object(*result.source_map, arena)};
  members[count++] = {"warnings", strings(result.warnings, arena)};
  return arena.sorted_object(members.first(count));
}

Value to_canonical_json(CompileResult result) {
  ValueArena arena;
  return to_shared(canonical_view(result, arena));
}

bool is_valid_utf8(std::string_view text) noexcept { return !utf8::find_invalid(text); }

namespace {

bool all_valid_utf8(const std::vector<std::string>& texts) noexcept {
  return std::ranges::all_of(texts, [](const std::string& text) { return is_valid_utf8(text); });
}

}  // namespace

bool holds_valid_utf8(const CompileResult& result) noexcept {
  if (const auto* markdown = std::get_if<std::string>(&result.output)) {
    if (!is_valid_utf8(*markdown)) return false;
  } else {
    for (const Message& message : std::get<std::vector<Message>>(result.output))
      if (!is_valid_utf8(message.role) || !is_valid_utf8(message.content)) return false;
  }
  if (const auto& map = result.source_map) {
    if ((map->file && !is_valid_utf8(*map->file)) || !is_valid_utf8(map->mappings) || !all_valid_utf8(map->sources) ||
        (map->sources_content && !all_valid_utf8(*map->sources_content)))
      return false;
  }
  return all_valid_utf8(result.warnings) && all_valid_utf8(result.dependencies);
}

void append_json_string(std::string& out, std::string_view text) { write_string(out, text, true); }

std::string canonical_text(const Value& value, bool validated) {
  std::string out;
  write(out, value, validated);
  return out;
}

}  // namespace quarl
