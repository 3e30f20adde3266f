// The parsed form of one module: frontmatter text, the @extends target, and
// the tree of body nodes.
//
// Every text and name in the tree is a view into the module text, which the
// Template keeps alive; the few texts that had to be rewritten (frontmatter
// with carriage returns, fence lines without a plain line feed) live in
// buffers the Template owns.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/value.hpp"
#include "support/limits.hpp"
#include "syntax/expressions.hpp"

namespace quarl {

struct Node;
using NodeList = std::vector<Node>;

struct Text {
  std::string_view text;
};
struct Interpolation {
  Expr expr;
  std::string_view source;  // the trimmed expression text (its span starts at the node offset)
};
// Renders as a literal {{.
struct EscapedBrace {};

struct ElseIf {
  Condition condition;
  NodeList body;
  std::size_t offset;  // the @elseif line
};
struct Else {
  NodeList body;
  std::size_t offset;  // the @else: line
};
struct If {
  Condition condition;
  NodeList then_body;
  std::vector<ElseIf> else_ifs;
  std::optional<Else> else_body;
};

// `@for item in items:` or `@for key, value in object:`.
struct For {
  std::string_view variable;                     // the item, or the key
  std::optional<std::string_view> value_variable;  // the value of a key-value loop
  Expr iterable;
  NodeList body;
};

struct Param {
  std::string_view name;
  std::optional<Value> default_value;  // a string, number, boolean or null
};
struct Define {
  std::string_view name;
  std::vector<Param> params;
  NodeList body;
};

enum class ImportForm : std::uint8_t {
  Merge,      // @import "path"
  Alias,      // @import "path" as alias
  Selective,  // @import { a, b } from "path"
};
struct ImportName {
  std::string_view name;
  std::size_t offset;  // of the name in the module text
};
struct Import {
  ImportForm form;
  std::string_view path;
  std::string_view alias;         // Alias only
  std::vector<ImportName> names;  // Selective only
};

enum class ExportForm : std::uint8_t {
  ExportName,   // @export name
  ReExport,     // @export name from "path"
  ReExportAll,  // @export * from "path"
};
struct Export {
  ExportForm form;
  std::string_view name;  // ExportName and ReExport
  std::string_view path;  // ReExport and ReExportAll
};

struct Include {
  std::string_view alias;
};

// A literal role as written (`@message system:`) or an expression
// (`@message {{ role }}:`).
using MessageRole = std::variant<std::string_view, Expr>;
struct MessageBlock {
  MessageRole role;
  NodeList body;
};

struct Block {
  std::string_view name;
  NodeList body;
};

struct Node {
  std::size_t offset;  // where the node's token starts; for directives, the line start
  std::variant<Text, Interpolation, EscapedBrace, If, For, Define, Import, Export, Include,
               MessageBlock, Block>
      data;
  // A block directive (@if, @for, @define, @message, @block): where the line
  // of its @end ends (its line feed excluded). 0 for other nodes.
  std::size_t end = 0;
};

struct Extends {
  std::string_view path;
  std::size_t offset;  // the @extends line
};

struct Template {
  ModuleText text;
  std::optional<std::string_view> frontmatter;  // the YAML between the --- lines
  std::optional<Extends> extends;
  NodeList body;
  // Rewritten texts the views above may point into.
  std::vector<std::unique_ptr<const std::string>> owned_texts;
};

// Calls `visit` with each node list directly inside `node`: the branches of
// an @if, the body of a @for, @define, @message or @block.
template <class Visit>
void for_each_body(const Node& node, Visit&& visit) {
  if (const auto* branch = std::get_if<If>(&node.data)) {
    visit(branch->then_body);
    for (const ElseIf& other : branch->else_ifs) visit(other.body);
    if (branch->else_body) visit(branch->else_body->body);
  } else if (const auto* loop = std::get_if<For>(&node.data)) {
    visit(loop->body);
  } else if (const auto* define = std::get_if<Define>(&node.data)) {
    visit(define->body);
  } else if (const auto* message = std::get_if<MessageBlock>(&node.data)) {
    visit(message->body);
  } else if (const auto* block = std::get_if<Block>(&node.data)) {
    visit(block->body);
  }
}

// From `offset` to the end of its line in `text` (line feed excluded): where
// a directive is reported.
inline Span line_span(std::string_view text, std::size_t offset) noexcept {
  const std::size_t end = std::min(text.find('\n', offset), text.size());
  return Span{offset, end - offset};
}

// Where the keyword of the directive whose line starts at `line_start`
// begins: after the line's indentation.
inline std::size_t directive_keyword(std::string_view text, std::size_t line_start) noexcept {
  while (line_start < text.size() && (text[line_start] == ' ' || text[line_start] == '\t')) ++line_start;
  return line_start;
}

// Where an error raised while handling `node` is reported: an interpolation's
// expression, or the node's line.
inline Span node_span(std::string_view text, const Node& node) noexcept {
  if (const auto* interpolation = std::get_if<Interpolation>(&node.data))
    return Span{node.offset, interpolation->source.size()};
  return line_span(text, node.offset);
}

}  // namespace quarl
