// The lexer: one module's text to a flat list of tokens.
//
// It decides which lines are directives, where interpolations begin and end,
// and that nothing inside fenced code is ever interpreted. Tokens are views
// into the module text; the token list keeps that text alive.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "quarl/error.hpp"

namespace quarl {

enum class TokenKind : std::uint8_t {
  Text,                  // literal text, verbatim
  Interpolation,         // the expression between {{ and }}, trimmed
  EscapedBrace,          // \{{ (no payload)
  Directive,             // a line starting with @, without its line end
  FrontmatterDelimiter,  // an opening or closing --- line (no payload)
  FrontmatterContent,    // the YAML between the delimiters, carriage returns removed
  CodeFence,             // an opening or closing fence line, without its line end
  CodeContent,           // the lines inside a fenced block, verbatim
};

struct Token {
  TokenKind kind;
  std::size_t offset;     // byte offset of the token's start in the module text
  std::string_view text;  // payload; empty for EscapedBrace and FrontmatterDelimiter

  friend bool operator==(const Token&, const Token&) = default;
};

struct TokenList {
  ModuleText text;
  std::vector<Token> tokens;
  // Frontmatter content with its carriage returns removed, when it had any;
  // the FrontmatterContent token views this copy instead of the module text.
  std::unique_ptr<const std::string> frontmatter_copy;
};

// Where the content of a module text starts: after the UTF-8 byte order mark
// some editors write (3), else at 0. The mark is not content (it would hide
// the frontmatter or reach the output), but it stays in the text, so that
// every offset counts in the text as the caller gave it.
inline std::size_t content_start(std::string_view text) noexcept {
  return text.starts_with("\xEF\xBB\xBF") ? 3 : 0;
}

// Splits the module text into tokens, from its content start on. Throws a `quarl::syntax` Error, spanned
// into `text`, for unclosed frontmatter, an unclosed interpolation, or a code
// fence still open at the end.
TokenList lex(ModuleText text);

}  // namespace quarl
