// Expressions: the interpolation expression inside {{ }}, the directive
// expression (operands of @if, @for iterables, @message roles), call
// arguments, and @if conditions.
//
// Names are views into the text that was parsed; the parsed template keeps
// its module text alive. Literals own their (escape-processed) values.
#pragma once

#include <atomic>
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

// Where a name is bound when a loop around it, or the function whose body
// holds it, binds it: those frames stand in the same order on every render
// of the name, so the binding is the `slot`th of the frame `distance` frames
// below the innermost. Any other name (a module's variable, the caller's, an
// import's `prompt`) is looked up by name.
struct LocalSlot {
  static constexpr std::uint16_t kByName = 0xFFFF;
  std::uint16_t distance = kByName;
  std::uint16_t slot = 0;
  bool resolved() const noexcept { return distance != kByName; }
};

struct Var {
  std::string_view name;
  LocalSlot local;
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
// Where a field was last found: the records of a list (dicts of one shape)
// keep a field at one index, so each next record is tried there first. A
// loaded template's parse is shared by every thread rendering it, so the hint
// is a relaxed atomic: any value read is only a guess that the lookup checks.
class FieldHint {
 public:
  FieldHint() = default;
  FieldHint(const FieldHint& other) noexcept : index_(other.get()) {}
  FieldHint& operator=(const FieldHint& other) noexcept {
    set(other.get());
    return *this;
  }
  std::uint32_t get() const noexcept { return index_.load(std::memory_order_relaxed); }
  void set(std::uint32_t index) const noexcept { index_.store(index, std::memory_order_relaxed); }

 private:
  mutable std::atomic<std::uint32_t> index_{0};
};

// A field name of a dot path, and where it was last found.
struct Field {
  std::string_view name;
  FieldHint last_index;
};
struct DotPath {
  std::string_view root;
  std::vector<Field> segments;  // a.b.c: root a, segments b and c
  LocalSlot local;              // of the root
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
