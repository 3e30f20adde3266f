#include "expr.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "text_scan.hpp"
#include "tree_print.hpp"

namespace quarl {
namespace {

using testing_support::show;

std::string nested_calls(std::size_t calls) {
  std::string text;
  for (std::size_t i = 0; i < calls; ++i) text += "f(";
  text += "x";
  for (std::size_t i = 0; i < calls; ++i) text += ")";
  return text;
}

std::string dot_path(std::size_t names) {
  std::string text = "a";
  for (std::size_t i = 1; i < names; ++i) text += ".b";
  return text;
}

std::string operands(std::size_t count, const char* op) {
  std::string text = "x0";
  for (std::size_t i = 1; i < count; ++i) text += std::string(" ") + op + " x" + std::to_string(i);
  return text;
}

Expr interpolation(const std::string& text) {
  return parse_interpolation(text, 0, std::make_shared<const std::string>(text));
}

struct ParseCase {
  std::function<std::string(const std::string&)> parse;
  std::string input;
  std::string tree;
};

const auto kInterp = [](const std::string& s) { return show(interpolation(s)); };
const auto kDirective = [](const std::string& s) { return show(parse_directive_expr(s)); };
const auto kCondition = [](const std::string& s) { return show(parse_condition(s)); };

TEST(Expr, ParsesToTrees) {
  const std::vector<ParseCase> cases = {
      {kInterp, "name", "Var(name)"},
      {kInterp, "user.name", "Path(user.name)"},
      {kInterp, "user . name", "Path(user.name)"},
      {kInterp, "greet('Ann', 3)", "Call(greet, [Str(\"Ann\"), Num(3)])"},
      {kInterp, "greet( )", "Call(greet, [])"},
      {kInterp, "f(a,)", "Call(f, [Var(a)])"},
      {kInterp, "f(a, \"x,y\", g(b.c, -1.5e2), null, true)",
       "Call(f, [Var(a), Str(\"x,y\"), Call(g, [Path(b.c), Num(-150)]), Null, Bool(true)])"},
      {kInterp, "f(\"(\", ')')", "Call(f, [Str(\"(\"), Str(\")\")])"},
      {kInterp, "mod.greet(name)", "QCall(mod.greet, [Var(name)])"},
      {kInterp, "f(g(h(x)))", "Call(f, [Call(g, [Call(h, [Var(x)])])])"},
      {kInterp, "1x(a)", "Call(1x, [Var(a)])"},  // call names are checked later, not here
      {kInterp, dot_path(32), "Path(" + dot_path(32) + ")"},
      {kDirective, "\"a\"", "Str(\"a\")"},
      {kDirective, "'it\\'s'", "Str(\"it's\")"},
      {kDirective, "'a\\nb\\\\'", "Str(\"a\\nb\\\")"},
      {kDirective, "-1.5e2", "Num(-150)"},
      {kDirective, "false", "Bool(false)"},
      {kDirective, "null", "Null"},
      {kDirective, "x", "Var(x)"},
      {kDirective, "a.b", "Path(a.b)"},
      {kDirective, "f()", "Call(f, [])"},
      {kDirective, "m.f(1)", "QCall(m.f, [Num(1)])"},
      {kCondition, "x", "Truthy(Var(x))"},
      {kCondition, "!x", "Not(Var(x))"},
      {kCondition, "x == \"a\"", "Eq(Var(x), Str(\"a\"))"},
      {kCondition, "\"a\" == x", "Eq(Str(\"a\"), Var(x))"},
      {kCondition, "x != 'it\\'s'", "Ne(Var(x), Str(\"it's\"))"},
      {kCondition, "n == -1.5e2", "Eq(Var(n), Num(-150))"},
      {kCondition, "x == \"a||b\"", "Eq(Var(x), Str(\"a||b\"))"},
      {kCondition, "p && q || r && s", "Or[And[Truthy(Var(p)), Truthy(Var(q))], "
                                       "And[Truthy(Var(r)), Truthy(Var(s))]]"},
      {kCondition, "a || !b || c == 1", "Or[Truthy(Var(a)), Not(Var(b)), Eq(Var(c), Num(1))]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    try {
      EXPECT_EQ(c.parse(c.input), c.tree);
    } catch (const Error& e) {
      ADD_FAILURE() << e.message();
    }
  }
}

TEST(Expr, LimitsAtTheirMaximum) {
  EXPECT_NO_THROW(interpolation(nested_calls(65)));  // 64 calls nested in the outermost one
  EXPECT_NO_THROW(parse_condition(operands(16, "&&")));
  EXPECT_NO_THROW(parse_condition(operands(16, "||")));
  EXPECT_NO_THROW(parse_condition(operands(8, "&&") + " || " + operands(8, "&&")));
}

struct ErrorCase {
  std::function<void(const std::string&)> parse;
  std::string input;
  std::string message;
};

const auto kInterpE = [](const std::string& s) { interpolation(s); };
const auto kDirectiveE = [](const std::string& s) { parse_directive_expr(s); };
const auto kConditionE = [](const std::string& s) { parse_condition(s); };
const auto kArgE = [](const std::string& s) { parse_arg(s, 0); };

const std::string kBadInterpolation =
    ": use a variable name, function call like func(), or dot path like obj.field. To output a "
    "literal `{{` in the document, escape it as `\\{{`.";

TEST(Expr, Errors) {
  const std::vector<ErrorCase> cases = {
      {kInterpE, "", "invalid interpolation expression ''" + kBadInterpolation},
      {kInterpE, "'hi'", "invalid interpolation expression ''hi''" + kBadInterpolation},
      {kInterpE, "42", "invalid interpolation expression '42'" + kBadInterpolation},
      {kInterpE, "a == b", "invalid interpolation expression 'a == b'" + kBadInterpolation},
      {kInterpE, "f(x", "unclosed parenthesis in function call"},
      {kInterpE, "f(,a)", "invalid function argument: ''"},
      {kInterpE, "f(m.g(x))", "invalid function name in argument: 'm.g'"},
      {kInterpE, "a.b.c(x)",
       "invalid function name in qualified call: 'b.c' \u2014 must be a valid identifier"},
      {kInterpE, "1a.f(x)",
       "invalid namespace in qualified call: '1a' \u2014 must be a valid identifier"},
      {kInterpE, "m.f(x", "unclosed parenthesis in function call"},
      {kInterpE, "items.0",
       "invalid dot-path in interpolation: 'items.0' \u2014 each segment must be a valid "
       "identifier (got '0')"},
      {kInterpE, "a..b",
       "invalid dot-path in interpolation: 'a..b' \u2014 each segment must be a valid identifier "
       "(got '')"},
      {kInterpE, dot_path(33),
       "invalid dot-path in interpolation: '" + dot_path(33) +
           "' \u2014 dot path exceeds maximum segment count of 32"},
      {kInterpE, "f(" + nested_calls(65) + ")",
       "nested function call depth exceeds maximum of 64"},
      {kInterpE, "f(1e999)", "NaN and infinity are not valid argument values: '1e999'"},
      {kInterpE, "f(1.2.3)", "invalid numeric argument: '1.2.3'"},
      {kInterpE, "f(\"a)", "invalid function argument: '\"a'"},
      {kInterpE, "f(a b)", "invalid function argument: 'a b'"},
      {kInterpE, "f(g(x)", "unclosed parenthesis in nested function call"},
      {kConditionE, "f(a == b)", "invalid function argument: 'a == b'"},
      {kInterpE, "f(g(x y))", "invalid function argument: 'x y'"},
      {kArgE, "g(x", "unclosed parenthesis in nested function call"},
      {kArgE, "a.1", "invalid dot-path in argument: 'a.1' \u2014 each segment must be a valid "
                     "identifier (got '1')"},
      {kDirectiveE, "  ", "expected an expression"},
      {kDirectiveE, "'abc", "unterminated string literal in directive expression"},
      {kDirectiveE, "'a\\'", "unterminated string literal in directive expression"},
      {kDirectiveE, "1e999", "NaN and infinity are not valid directive expression values"},
      {kDirectiveE, "+1",
       "invalid expression in directive: '+1' \u2014 expected a variable, function call, or "
       "literal"},
      {kDirectiveE, "1x",
       "invalid expression in directive: '1x' \u2014 expected a variable, function call, or "
       "literal"},
      {kDirectiveE, "1(x)", "invalid function name in directive expression: '1'"},
      {kDirectiveE, "f(x", "unclosed parenthesis in directive expression"},
      {kDirectiveE, "1.f(x)", "invalid namespace in qualified call: '1'"},
      {kDirectiveE, "m.1(x)", "invalid function name in qualified call: '1'"},
      {kDirectiveE, "m.f(x", "unclosed parenthesis in qualified call expression"},
      {kDirectiveE, "a.b c",
       "invalid dot-path in directive expression: 'a.b c' \u2014 each segment must be a valid "
       "identifier (got 'b c')"},
      {kConditionE, "\"a\"",
       "cannot use a literal value in @if condition \u2014 use a variable or function call"},
      {kConditionE, "x = 1", "use '==' for comparison, not '='"},
      {kConditionE, "a <= b", "use '==' for comparison, not '='"},
      {kConditionE, "!x == 1",
       "cannot combine negation with comparison; use @if var != 'value': instead"},
      {kConditionE, "!f(a == b)",
       "cannot combine negation with comparison; use @if var != 'value': instead"},
      {kConditionE, "!!x", "double negation is not supported"},
      {kConditionE, "!", "expected variable name after '!'"},
      {kConditionE, "! ", "expected variable name after '!'"},
      {kConditionE, "!true",
       "cannot use a literal value after '!' \u2014 use a variable or function call"},
      {kConditionE, "x == ", "expected value after '=='"},
      {kConditionE, " == x", "expected expression before '=='"},
      {kConditionE, "!= x",  // a leading '!' is a negation, even of "= x"
       "invalid expression in directive: '= x' \u2014 expected a variable, function call, or "
       "literal"},
      {kConditionE, "a || || b", "empty operand in '||' expression"},
      {kConditionE, "a && ", "empty operand in '&&' expression"},
      {kConditionE, "", "expected an expression"},
      {kConditionE, "(a || b) && c", "invalid function name in directive expression: ''"},
      {kConditionE, operands(17, "&&"),
       "logical expression has 17 operands, exceeding maximum of 16"},
      {kConditionE, operands(9, "&&") + " || " + operands(8, "||"),
       "logical expression has 17 operands, exceeding maximum of 16"},
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

}  // namespace
}  // namespace quarl
