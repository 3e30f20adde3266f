// What a compile or check call produces, and its one canonical JSON form.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <variant>
#include <vector>

#include "quarl/value.hpp"

namespace quarl {

using Warnings = std::vector<std::string>;

// One chat message of a messages-mode template.
struct Message {
  std::string role;
  std::string content;

  friend bool operator==(const Message&, const Message&) = default;
};

enum class OutputKind : std::uint8_t { Markdown, Messages };

// A Source Map revision 3 document.
struct SourceMap {
  std::optional<std::string> file;
  std::vector<std::string> sources;
  std::optional<std::vector<std::string>> sources_content;
  std::string mappings;

  friend bool operator==(const SourceMap&, const SourceMap&) = default;
};

struct CompileResult {
  // The Markdown text, or the messages.
  std::variant<std::string, std::vector<Message>> output;
  Warnings warnings;
  // Keys of the imported modules, each after the modules it imports.
  std::vector<std::string> dependencies;
  std::optional<SourceMap> source_map;

  OutputKind kind() const noexcept {
    return output.index() == 0 ? OutputKind::Markdown : OutputKind::Messages;
  }
};

struct CheckResult {
  Warnings warnings;
};

// The canonical object of a compile result, as a Value (objects keep their
// keys in ascending byte order): "output" or "messages" by kind, "sourceMap"
// only with a map. The result's strings are copied into its blocks.
Value to_canonical_json(CompileResult result);

// The same object as a view that copies no text: its strings are `result`'s
// own and its arrays and objects are made in `arena`. `result` must stay
// unchanged, and it and `arena` must outlive the value and every copy of it.
Value canonical_view(const CompileResult& result, ValueArena& arena);

// Why `canonical`, a value built outside the compiler (a caller's dict, a
// stored JSON text), is not one the compile entry points could have
// returned, or none: a key the object has no place for, a "kind" other than
// "markdown" or "messages", the other kind's payload, a field of the wrong
// type, a source map of another shape. A key left out is no problem (its
// field reads as empty).
std::optional<std::string> compile_result_problem(const Value& canonical);

// Whether `text` is well-formed UTF-8, and whether every text of `result`
// is: what a binding checks before it hands text to its host.
bool is_valid_utf8(std::string_view text) noexcept;
bool holds_valid_utf8(const CompileResult& result) noexcept;

// A canonical value as JSON text: compact, keys sorted, strings escaped only
// where JSON requires it (quote, backslash, control characters), everything
// else (non-ASCII, '/') as it is, integral numbers as integers. Throws
// std::invalid_argument for a string that is not valid UTF-8, or a number
// that JSON cannot hold (not finite); a `quarl::resource_limit` Error when
// the value nests deeper than the thread's stack can take. `validated`: the
// caller has checked that every string is valid UTF-8 (holds_valid_utf8), and
// they are not checked again.
std::string canonical_text(const Value& value, bool validated = false);

}  // namespace quarl
