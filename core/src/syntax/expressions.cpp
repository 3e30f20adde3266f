#include "syntax/expressions.hpp"

#include <algorithm>
#include <cmath>
#include <optional>
#include <string>
#include <utility>

#include "quarl/stack_guard.hpp"
#include "support/limits.hpp"
#include "support/placing.hpp"
#include "support/text_scan.hpp"
#include "support/utf8.hpp"
#include "values/number.hpp"

namespace quarl {
namespace {

using utf8::trim;

[[noreturn]] void fail(std::string message) { throw Error::syntax(std::move(message)); }

Expr make(auto node) { return Expr{std::move(node)}; }

Expr string_literal(std::string_view literal) {
  return make(StringLit{Value::string(parse_string_escapes(literal.substr(1, literal.size() - 2)))});
}

// The names of a dot path; throws with `context` ("interpolation", "directive
// expression", "argument") naming where the path was written.
DotPath parse_dot_path(std::string_view text, std::string_view context) {
  const auto fail_path = [&](std::string_view detail) {
    fail("invalid dot-path in " + std::string(context) + ": " + single_quoted(text) + " \u2014 " +
         std::string(detail));
  };
  std::size_t names = 1;
  for (const char c : text) names += c == '.' ? 1 : 0;
  if (names > kMaxDotPathNames)
    fail_path(exceeds_maximum("dot path", kMaxDotPathNames, "segment count"));
  DotPath path;
  path.segments.reserve(names - 1);
  std::size_t start = 0;
  for (std::size_t i = 0; i < names; ++i) {
    const std::size_t dot = std::min(text.find('.', start), text.size());
    const std::string_view name = trim(text.substr(start, dot - start));
    if (!is_identifier(name))
      fail_path("each segment must be a valid identifier (got " + single_quoted(name) + ")");
    if (i == 0)
      path.root = name;
    else
      path.segments.push_back({name, {}});
    start = dot + 1;
  }
  return path;
}

// The argument list of a call whose text after the opening parenthesis is
// `rest`: it must end with ')', else `unclosed` is the message.
ExprList parse_call_args(std::string_view rest, std::size_t depth, std::string_view unclosed) {
  rest = trim(rest);
  if (!rest.ends_with(')')) fail(std::string(unclosed));
  return parse_args(rest.substr(0, rest.size() - 1), depth);
}

// A literal number, or none when the text does not read as one; `infinite`
// is the message for a literal beyond a double's range.
std::optional<Expr> number_literal(std::string_view text, const std::string& infinite) {
  const std::optional<double> number = parse_decimal(text);
  if (!number) return std::nullopt;
  if (!std::isfinite(*number)) fail(infinite);
  return make(NumberLit{*number});
}

std::optional<Expr> keyword_literal(std::string_view text) {
  if (text == "true") return make(BoolLit{true});
  if (text == "false") return make(BoolLit{false});
  if (text == "null") return make(NullLit{});
  return std::nullopt;
}

// The comparison and assignment signs of a condition operand, found in one
// scan outside its string literals.
struct LeafSigns {
  std::size_t comparison = std::string_view::npos;  // the first == or != outside calls
  bool nested_comparison = false;  // == or != anywhere, call arguments included
  bool assignment = false;         // a single = outside calls
};

LeafSigns scan_signs(std::string_view text) {
  LeafSigns signs;
  scan_outside_strings(text, [&](std::size_t i, std::size_t depth) {
    const bool pair = (text[i] == '=' || text[i] == '!') && i + 1 < text.size() && text[i + 1] == '=';
    if (pair) {
      signs.nested_comparison = true;
      if (depth == 0 && signs.comparison == std::string_view::npos) signs.comparison = i;
    } else if (depth == 0 && text[i] == '=' && (i == 0 || text[i - 1] != '!')) {
      signs.assignment = true;
    }
    return false;
  });
  return signs;
}

Condition parse_negation(std::string_view text) {
  if (text.starts_with("!!")) fail("double negation is not supported");
  const std::string_view rest = text.substr(1);
  if (scan_signs(rest).nested_comparison)
    fail("cannot combine negation with comparison; use @if var != 'value': instead");
  if (trim(rest).empty()) fail("expected variable name after '!'");
  Expr operand = parse_directive_expr(rest);
  if (operand.is_literal())
    fail("cannot use a literal value after '!' \u2014 use a variable or function call");
  return Condition{Not{std::move(operand)}};
}

Condition parse_comparison(std::string_view text, std::size_t op) {
  const std::string_view symbol = text.substr(op, 2);
  const std::string_view left = trim(text.substr(0, op));
  const std::string_view right = trim(text.substr(op + 2));
  if (left.empty()) fail("expected expression before '" + std::string(symbol) + "'");
  if (right.empty()) fail("expected value after '" + std::string(symbol) + "'");
  Expr lhs = parse_directive_expr(left);
  Expr rhs = parse_directive_expr(right);
  if (symbol == "==") return Condition{Eq{std::move(lhs), std::move(rhs)}};
  return Condition{Ne{std::move(lhs), std::move(rhs)}};
}

// One operand of a condition (no && or || left in `text`).
Condition parse_leaf(std::string_view text) {
  text = trim(text);
  if (text.starts_with('!')) return parse_negation(text);
  const LeafSigns signs = scan_signs(text);
  if (signs.comparison != std::string_view::npos) return parse_comparison(text, signs.comparison);
  if (signs.assignment) fail("use '==' for comparison, not '='");
  Expr operand = parse_directive_expr(text);
  if (operand.is_literal())
    fail("cannot use a literal value in @if condition \u2014 use a variable or function call");
  return Condition{Truthy{std::move(operand)}};
}

std::size_t leaf_count(const Condition& condition) noexcept {
  if (const auto* all = std::get_if<And>(&condition.node)) return all->operands.size();
  if (const auto* any = std::get_if<Or>(&condition.node)) {
    std::size_t count = 0;
    for (const Condition& operand : any->operands) count += leaf_count(operand);
    return count;
  }
  return 1;
}

// Operands joined by `op` (`&&` or `||`), each parsed by `parse_operand`:
// a `Chain` of them, or the one operand itself. Most conditions have no
// operator: then there is nothing to split.
template <class Chain, class ParseOperand>
Condition parse_chain(std::string_view text, std::string_view op, ParseOperand&& parse_operand) {
  if (text.find(op) == std::string_view::npos) return parse_operand(text);
  const std::vector<std::string_view> pieces = split_top_level(text, op);
  if (pieces.size() == 1) return parse_operand(pieces.front());
  Chain chain;
  chain.operands.reserve(pieces.size());
  for (const std::string_view piece : pieces) {
    if (trim(piece).empty()) fail("empty operand in '" + std::string(op) + "' expression");
    chain.operands.push_back(parse_operand(piece));
  }
  return Condition{std::move(chain)};
}

Condition parse_and(std::string_view text) { return parse_chain<And>(text, "&&", parse_leaf); }
Condition parse_or(std::string_view text) { return parse_chain<Or>(text, "||", parse_and); }

}  // namespace

Expr parse_interpolation(std::string_view text, std::size_t offset, const ModuleText& module) {
  return placing_errors(module, [&] { return Span{offset, text.size()}; }, [&] {
  const std::size_t dot = text.find('.');
  const std::size_t paren = text.find('(');
  if (paren != std::string_view::npos && (dot == std::string_view::npos || paren < dot)) {
    return make(Call{trim(text.substr(0, paren)),
                     parse_call_args(text.substr(paren + 1), 0,
                                     "unclosed parenthesis in function call")});
  }
  if (dot != std::string_view::npos && paren != std::string_view::npos) {
    const std::string_view alias = trim(text.substr(0, dot));
    const std::string_view name = trim(text.substr(dot + 1, paren - dot - 1));
    if (!is_identifier(alias))
      fail("invalid namespace in qualified call: " + single_quoted(alias) +
           " \u2014 must be a valid identifier");
    if (!is_identifier(name))
      fail("invalid function name in qualified call: " + single_quoted(name) +
           " \u2014 must be a valid identifier");
    return make(QualifiedCall{
        alias, name,
        parse_call_args(text.substr(paren + 1), 0, "unclosed parenthesis in function call")});
  }
  if (dot != std::string_view::npos) return make(parse_dot_path(text, "interpolation"));
  if (!is_identifier(text))
    fail("invalid interpolation expression " + single_quoted(text) +
         ": use a variable name, function call like func(), or dot path like obj.field. To "
         "output a literal `{{` in the document, escape it as `\\{{`.");
  return make(Var{text, {}});
  });
}

Expr parse_directive_expr(std::string_view text) {
  text = trim(text);
  if (text.empty()) fail("expected an expression");
  if (is_string_literal(text)) return string_literal(text);
  if (text.starts_with('"') || text.starts_with('\''))
    fail("unterminated string literal in directive expression");
  if (std::optional<Expr> keyword = keyword_literal(text)) return std::move(*keyword);
  if (std::optional<Expr> number =
          number_literal(text, "NaN and infinity are not valid directive expression values"))
    return std::move(*number);

  const std::size_t dot = text.find('.');
  const std::size_t paren = text.find('(');
  if (paren != std::string_view::npos && (dot == std::string_view::npos || paren < dot)) {
    const std::string_view name = trim(text.substr(0, paren));
    if (!is_identifier(name)) fail("invalid function name in directive expression: " + single_quoted(name));
    return make(Call{name, parse_call_args(text.substr(paren + 1), 0,
                                           "unclosed parenthesis in directive expression")});
  }
  if (dot != std::string_view::npos && paren != std::string_view::npos) {
    const std::string_view alias = trim(text.substr(0, dot));
    const std::string_view name = trim(text.substr(dot + 1, paren - dot - 1));
    if (!is_identifier(alias)) fail("invalid namespace in qualified call: " + single_quoted(alias));
    if (!is_identifier(name)) fail("invalid function name in qualified call: " + single_quoted(name));
    return make(QualifiedCall{alias, name,
                              parse_call_args(text.substr(paren + 1), 0,
                                              "unclosed parenthesis in qualified call expression")});
  }
  if (dot != std::string_view::npos) return make(parse_dot_path(text, "directive expression"));
  if (!is_identifier(text))
    fail("invalid expression in directive: " + single_quoted(text) +
         " \u2014 expected a variable, function call, or literal");
  return make(Var{text, {}});
}

ExprList parse_args(std::string_view text, std::size_t depth) {
  if (depth > kMaxCallDepth)
    fail(exceeds_maximum("nested function call depth", kMaxCallDepth));
  check_stack();
  text = trim(text);
  ExprList args;
  if (text.empty()) return args;
  if (text.find(',') == std::string_view::npos) {  // one argument: nothing to split
    args.push_back(parse_arg(text, depth));
    return args;
  }
  const std::vector<std::string_view> pieces = split_top_level(text, ",");
  args.reserve(pieces.size());
  for (std::size_t i = 0; i < pieces.size(); ++i) {
    if (i + 1 == pieces.size() && trim(pieces[i]).empty()) break;  // a trailing comma
    args.push_back(parse_arg(pieces[i], depth));
  }
  return args;
}

Expr parse_arg(std::string_view text, std::size_t depth) {
  text = trim(text);
  if (is_string_literal(text)) return string_literal(text);
  const std::size_t paren = text.find('(');
  if (paren == std::string_view::npos) {
    if (std::optional<Expr> keyword = keyword_literal(text)) return std::move(*keyword);
    if (has_numeric_start(text)) {
      std::optional<Expr> number =
          number_literal(text, "NaN and infinity are not valid argument values: " + single_quoted(text));
      if (!number) fail("invalid numeric argument: " + single_quoted(text));
      return std::move(*number);
    }
    if (text.find('.') != std::string_view::npos) return make(parse_dot_path(text, "argument"));
    if (!is_identifier(text)) fail("invalid function argument: " + single_quoted(text));
    return make(Var{text, {}});
  }
  const std::string_view name = trim(text.substr(0, paren));
  if (!is_identifier(name)) fail("invalid function name in argument: " + single_quoted(name));
  return make(Call{name, parse_call_args(text.substr(paren + 1), depth + 1,
                                         "unclosed parenthesis in nested function call")});
}

Condition parse_condition(std::string_view text) {
  const Condition condition = parse_or(trim(text));
  if (const std::size_t count = leaf_count(condition); count > kMaxConditionOperands)
    fail("logical expression has " + std::to_string(count) + " operands, exceeding maximum of " +
         std::to_string(kMaxConditionOperands));
  return condition;
}

}  // namespace quarl
