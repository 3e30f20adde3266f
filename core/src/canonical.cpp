#include <array>
#include <charconv>
#include <cstdint>
#include <cstring>
#include <stdexcept>

#include "quarl/result.hpp"
#include "utf8.hpp"

namespace quarl {
namespace {

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

void write_string(std::string& out, const std::string& text) {
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
  out.append(text, run, std::string::npos);
  out += '"';
}

void write(std::string& out, const nlohmann::json& value) {
  switch (value.type()) {
    case nlohmann::json::value_t::object: {
      out += '{';
      bool first = true;
      for (const auto& [key, member] : value.items()) {
        if (!first) out += ',';
        first = false;
        write_string(out, key);
        out += ':';
        write(out, member);
      }
      out += '}';
      return;
    }
    case nlohmann::json::value_t::array: {
      out += '[';
      for (std::size_t i = 0; i < value.size(); ++i) {
        if (i) out += ',';
        write(out, value[i]);
      }
      out += ']';
      return;
    }
    case nlohmann::json::value_t::string:
      return write_string(out, value.get_ref<const std::string&>());
    case nlohmann::json::value_t::boolean:
      out += value.get<bool>() ? "true" : "false";
      return;
    case nlohmann::json::value_t::number_unsigned:
    case nlohmann::json::value_t::number_integer: {
      std::array<char, 24> digits;
      const auto end = value.is_number_unsigned()
                           ? std::to_chars(digits.data(), digits.data() + digits.size(),
                                           value.get<std::uint64_t>())
                           : std::to_chars(digits.data(), digits.data() + digits.size(),
                                           value.get<std::int64_t>());
      out.append(digits.data(), end.ptr);
      return;
    }
    default:  // null; canonical objects hold no other kind
      out += value.dump();
      return;
  }
}

nlohmann::json source_map_object(const SourceMap& map) {
  nlohmann::json out = nlohmann::json::object();
  out["version"] = 3U;
  if (map.file) out["file"] = *map.file;
  out["sources"] = map.sources;
  if (map.sources_content) out["sourcesContent"] = *map.sources_content;
  out["names"] = nlohmann::json::array();
  out["mappings"] = map.mappings;
  return out;
}

}  // namespace

nlohmann::json to_canonical_json(const CompileResult& result) {
  nlohmann::json out = nlohmann::json::object();
  if (const auto* markdown = std::get_if<std::string>(&result.output)) {
    out["kind"] = "markdown";
    out["output"] = *markdown;
  } else {
    out["kind"] = "messages";
    nlohmann::json messages = nlohmann::json::array();
    for (const Message& message : std::get<std::vector<Message>>(result.output))
      messages.push_back({{"content", message.content}, {"role", message.role}});
    out["messages"] = std::move(messages);
  }
  out["warnings"] = result.warnings;
  out["dependencies"] = result.dependencies;
  if (result.source_map) out["sourceMap"] = source_map_object(*result.source_map);
  return out;
}

std::string canonical_text(const nlohmann::json& value) {
  // Objects are std::map-backed, so keys come out in byte order.
  std::string out;
  write(out, value);
  return out;
}

}  // namespace quarl
