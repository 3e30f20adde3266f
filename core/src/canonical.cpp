#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <stdexcept>

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

// Whether any of the eight bytes in `word` needs escaping.
constexpr bool needs_escape(std::uint64_t word) noexcept {
  constexpr std::uint64_t kOnes = 0x0101010101010101ULL;
  constexpr std::uint64_t kHighs = 0x8080808080808080ULL;
  const auto has_zero = [](std::uint64_t v) { return (v - kOnes) & ~v & kHighs; };
  // Bytes below 0x20 (ASCII only: bytes with the high bit set never match).
  const std::uint64_t control = (word - kOnes * 0x20) & ~word & kHighs;
  return (control | has_zero(word ^ (kOnes * '"')) | has_zero(word ^ (kOnes * '\\'))) != 0;
}

void write_string(std::string& out, std::string_view text) {
  if (const auto bad = utf8::find_invalid(text))
    throw std::invalid_argument("string is not valid UTF-8 (byte " + std::to_string(*bad) + ")");
  out.reserve(out.size() + text.size() + 2);
  out += '"';
  std::size_t run = 0;  // start of the bytes not written yet
  for (std::size_t i = 0; i < text.size(); ++i) {
    // Skip eight plain bytes at a time.
    while (i + 8 <= text.size()) {
      std::uint64_t word;
      std::memcpy(&word, text.data() + i, sizeof word);
      if (needs_escape(word)) break;
      i += 8;
    }
    if (i == text.size()) break;
    const auto c = static_cast<unsigned char>(text[i]);
    if (!kEscaped[c]) [[likely]]
      continue;
    out.append(text, run, i - run);
    run = i + 1;
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\b': out += "\\b"; break;
      case '\t': out += "\\t"; break;
      case '\n': out += "\\n"; break;
      case '\f': out += "\\f"; break;
      case '\r': out += "\\r"; break;
      default: {
        constexpr char kHex[] = "0123456789abcdef";
        const char escape[] = {'\\', 'u', '0', '0', kHex[c >> 4U], kHex[c & 0xFU]};
        out.append(escape, sizeof escape);
      }
    }
  }
  out.append(text.substr(run));
  out += '"';
}

void write(std::string& out, const Value& value) {
  switch (value.kind()) {
    case ValueKind::Object: {
      check_stack();
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.as_object()) {
        if (!first) out += ',';
        first = false;
        write_string(out, key);
        out += ':';
        write(out, member);
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
        write(out, element);
      }
      out += ']';
      return;
    }
    case ValueKind::String:
      return write_string(out, value.as_string());
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
  Value::Object out;  // keys inserted in sorted order: each one appends
  std::vector<std::string> dependencies = std::move(result.dependencies);
  out.emplace("dependencies", strings(std::move(dependencies)));
  if (auto* markdown = std::get_if<std::string>(&result.output)) {
    out.emplace("kind", Value::string("markdown"));
    out.emplace("output", Value::string(std::move(*markdown)));
  } else {
    Value::Array messages;
    for (Message& message : std::get<std::vector<Message>>(result.output))
      messages.push_back(Value::object({{"content", Value::string(std::move(message.content))},
                                        {"role", Value::string(std::move(message.role))}}));
    out.emplace("kind", Value::string("messages"));
    out.emplace("messages", Value::array(std::move(messages)));
  }
  if (result.source_map) out.emplace("sourceMap", source_map_object(std::move(*result.source_map)));
  out.emplace("warnings", strings(std::move(result.warnings)));
  return Value::object(std::move(out));
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

std::string canonical_text(const Value& value) {
  std::string out;
  write(out, value);
  return out;
}

}  // namespace quarl
