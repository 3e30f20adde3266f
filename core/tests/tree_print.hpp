// Trees and token lists as the tests state them (tree_text.hpp has the forms).
#pragma once

#include "syntax/lexer.hpp"

#include <string>

#include "syntax/template.hpp"
#include "syntax/tree_text.hpp"

namespace quarl::testing_support {

inline std::string show(const Expr& expr) { return tree_text(expr); }
inline std::string show(const Condition& condition) { return tree_text(condition); }
inline std::string show(const NodeList& nodes) { return tree_text(nodes, Offsets::Shown); }
inline std::string show_text(std::string_view text) { return quoted_text(text); }
inline std::string show_template(const Template& t) { return tree_text(t, Offsets::Shown); }

// Tokens as Kind@offset"text", separated by spaces ("none" for no tokens).
inline std::string show_tokens(const std::vector<Token>& tokens) {
  static constexpr const char* kNames[] = {"Text",      "Interpolation",        "EscapedBrace",
                                           "Directive", "FrontmatterDelimiter", "FrontmatterContent",
                                           "CodeFence", "CodeContent"};
  std::string out;
  for (const Token& t : tokens)
    out += (out.empty() ? "" : " ") + std::string(kNames[static_cast<int>(t.kind)]) + "@" +
           std::to_string(t.offset) + show_text(t.text);
  return out.empty() ? "none" : out;
}

}  // namespace quarl::testing_support
