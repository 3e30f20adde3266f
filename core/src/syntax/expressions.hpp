// Expressions: the interpolation expression inside {{ }}, the directive
// expression (operands of @if, @for iterables, @message roles), call
// arguments, and @if conditions.
//
// Names are views into the text that was parsed; the parsed template keeps
// its module text alive. Literals own their (escape-processed) values.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <variant>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/value.hpp"
#include "support/limits.hpp"

namespace quarl {

struct Expr;
using ExprList = std::vector<Expr>;

struct Var {
  std::string_view name;
};
struct Call {
  std::string_view name;
  ExprList args;
};
struct QualifiedCall {
  std::string_view alias;  // an import alias
  std::string_view name;
  ExprList args;
};
// A field name of a dot path, and where it was last found: the records of a
// list (dicts of one shape) keep a field at one index, so each next record is
// tried there first. A parse tree belongs to one call, never shared between
// threads.
struct Field {
  std::string_view name;
  mutable std::uint32_t last_index = 0;
};
struct DotPath {
  std::string_view root;
  std::vector<Field> segments;  // a.b.c: root a, segments b and c
};
// The literal's string, escapes processed, built once as a Value so that
// evaluating it never copies the text.
struct StringLit {
  Value value;
};
struct NumberLit {
  double value;  // always finite
};
struct BoolLit {
  bool value;
};
struct NullLit {};

struct Expr {
  std::variant<Var, Call, QualifiedCall, DotPath, StringLit, NumberLit, BoolLit, NullLit> node;

  bool is_literal() const noexcept {
    return std::holds_alternative<StringLit>(node) || std::holds_alternative<NumberLit>(node) ||
           std::holds_alternative<BoolLit>(node) || std::holds_alternative<NullLit>(node);
  }
};

struct Condition;

// `@if expr:` - the truthiness of a (non-literal) expression.
struct Truthy {
  Expr expr;
};
// `@if !expr:`
struct Not {
  Expr expr;
};
struct Eq {
  Expr left;
  Expr right;
};
struct Ne {
  Expr left;
  Expr right;
};
// Two or more leaves (Truthy, Not, Eq, Ne) joined by &&.
struct And {
  std::vector<Condition> operands;
};
// Two or more leaves or And conditions joined by ||.
struct Or {
  std::vector<Condition> operands;
};

struct Condition {
  std::variant<Truthy, Not, Eq, Ne, And, Or> node;
};

// Every parser below throws a `quarl::syntax` Error. Only parse_interpolation
// gives it a span (the {{ at `offset`, as long as the trimmed `text`); the
// directive parser gives the others the span of their directive line.

// `text` is the trimmed payload of an interpolation token starting at `offset`.
Expr parse_interpolation(std::string_view text, std::size_t offset, const ModuleText& module);
Expr parse_directive_expr(std::string_view text);
Condition parse_condition(std::string_view text);
ExprList parse_args(std::string_view text, std::size_t depth);
Expr parse_arg(std::string_view text, std::size_t depth);

}  // namespace quarl
