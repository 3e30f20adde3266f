// Parse trees as one line of text, so that a test can state the tree it
// expects as a string and the formatter can tell whether two parses of a
// template mean the same:
//
//   Var(x)  Call(f, [...])  QCall(m.f, [...])  Path(a.b)  Str("s")  Num(1.5)
//   Bool(true)  Null  Truthy(e)  Not(e)  Eq(a, b)  Ne(a, b)  And[...]  Or[...]
//   Text"..."  {{e}}  Esc  If(c [...] ElseIf(c [...]) Else[...])  For(x in e [...])
//   Define(f(a, b=Str("x")) [...])  Import(...)  Export(...)  Include(m)
//   Message(role [...])  Block(name [...])
#pragma once

#include <string>
#include <string_view>

#include "syntax/template.hpp"

namespace quarl {

// Whether the text shows where names of imports and @extends stand
// (offsets differ between two layouts of one template; nothing else may).
enum class Offsets : bool { Hidden, Shown };

std::string tree_text(const Expr& expr);
std::string tree_text(const Condition& condition);
std::string tree_text(const Node& node, Offsets offsets);
std::string tree_text(const NodeList& nodes, Offsets offsets);
// The body tree, after the frontmatter and the @extends path when present.
std::string tree_text(const Template& tpl, Offsets offsets);

// `text` in double quotes with line feeds as \n.
std::string quoted_text(std::string_view text);
void append_quoted(std::string& out, std::string_view text);

}  // namespace quarl
