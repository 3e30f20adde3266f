#include "syntax/expressions.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "support/text_scan.hpp"

namespace quarl {
namespace {

Expr interpolation(const std::string& text) {
  return parse_interpolation(text, 0, std::make_shared<const std::string>(text));
}

struct ErrorCase {
  std::function<void(const std::string&)> parse;
  std::string input;
  std::string message;
};

const auto kInterpE = [](const std::string& s) { interpolation(s); };
const auto kDirectiveE = [](const std::string& s) { parse_directive_expr(s); };

// The trees and errors of expressions written in templates are cases in
// tests/cases/ (parse_trees.txt, expression_errors.txt); these are the
// parsers' own errors where the surrounding directive reports another first.
TEST(Expr, Errors) {
  const std::vector<ErrorCase> cases = {
      {kInterpE, "f(\"a)", "invalid function argument: '\"a'"},
      {kDirectiveE, "'abc", "unterminated string literal in directive expression"},
      {kDirectiveE, "'a\\'", "unterminated string literal in directive expression"},
      {kDirectiveE, "f(x", "unclosed parenthesis in directive expression"},
      {kDirectiveE, "m.f(x", "unclosed parenthesis in qualified call expression"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    try {
      c.parse(c.input);
      ADD_FAILURE() << "parsed without error";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), ErrorCode::Syntax);
      EXPECT_EQ(e.message(), "syntax error: " + c.message);
    }
  }
}

TEST(Expr, InterpolationErrorsSpanTheExpression) {
  const auto text = std::make_shared<const std::string>("ab {{  f(x  }}");
  try {
    parse_interpolation("f(x", 3, text);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.span(), (Span{3, 3}));
    EXPECT_EQ(e.module_text(), text);
  }
  // Errors of the other parsers get their span from the directive parser.
  try {
    parse_directive_expr("f(x");
    FAIL();
  } catch (const Error& e) {
    EXPECT_FALSE(e.span());
  }
}

struct LiteralCase {
  std::string text;
  bool literal;
  std::string content;
};

TEST(TextScan, StringLiteralsAndEscapes) {
  const std::vector<LiteralCase> cases = {
      {"\"\"", true, ""},
      {"''", true, ""},
      {"'a\"b'", true, "a\"b"},
      {"\"a\\\\\"", true, "a\\"},         // "a\\" : the final quote is not escaped
      {"\"a\\\"", false, ""},            // "a\"  : it is
      {"'x\\n\\t\\\\y'", true, "x\\n\\t\\y"},  // unknown escapes stay as written
      {"\"", false, ""},
      {"\"a'", false, ""},
      {"a", false, ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.text);
    EXPECT_EQ(is_string_literal(c.text), c.literal);
    if (c.literal) {
      EXPECT_EQ(parse_string_escapes(c.text.substr(1, c.text.size() - 2)), c.content);
    }
  }
  EXPECT_EQ(parse_string_escapes("end\\"), "end\\");  // a lone backslash at the end stays
}

TEST(TextScan, Identifiers) {
  for (const char* good : {"a", "_", "_a1", "Z9_z"}) EXPECT_TRUE(is_identifier(good)) << good;
  for (const char* bad : {"", "1a", "a-b", "a b", "\u00e9", "a.b"})
    EXPECT_FALSE(is_identifier(bad)) << bad;
}

// Names are compared a word at a time: every length up to three words, with
// the one differing byte at each place, from views that do not start on a
// word boundary.
TEST(TextScan, SameNameAtEveryLengthAndPlace) {
  const std::string base = "xabcdefghijklmnopqrstuvwxyz";
  for (std::size_t size = 0; size <= 24; ++size) {
    const std::string_view name = std::string_view(base).substr(1, size);
    std::string copy = "y" + std::string(name);
    EXPECT_TRUE(same_name(name, std::string_view(copy).substr(1))) << size;
    EXPECT_FALSE(same_name(name, std::string_view(base).substr(1, size + 1))) << size;
    for (std::size_t at = 1; at <= size; ++at) {
      std::string other = copy;
      other[at] = '#';
      EXPECT_FALSE(same_name(name, std::string_view(other).substr(1))) << size << " at " << at;
    }
  }
}

}  // namespace
}  // namespace quarl
