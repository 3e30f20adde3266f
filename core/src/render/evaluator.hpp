// The evaluator: renders a parsed body against a Scope into Markdown text,
// evaluating expressions and conditions, running loops, and calling user
// functions and builtins.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modules/module.hpp"
#include "quarl/result.hpp"
#include "quarl/value.hpp"
#include "render/output.hpp"
#include "render/scope.hpp"
#include "support/limits.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/template.hpp"

namespace quarl {

// The user functions executing, innermost last: each by its definition (a
// function is running again only when its own @define is, whatever name or
// alias the call used) and by the name it was called by. Names are views,
// each living as long as its call. Whether a definition is among them is
// usually answered by a count of the definitions that hash to its slot,
// without a scan.
class CallStack {
 public:
  // Pushes the call of `definition` by `name` unless that definition is
  // executing; whether it did.
  bool enter(const Define* definition, std::string_view name);
  // Pops the innermost name, which must be `name`; a mismatch is a compiler
  // bug, reported as an internal error.
  void pop_checked(std::string_view name);
  void pop() noexcept;
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

 private:
  struct Entry {
    const Define* definition;
    std::string_view name;
    std::uint8_t slot;
  };

  std::vector<Entry> entries_;
  std::array<std::uint16_t, 256> per_slot_{};
};

// What one evaluate call shares with everything it renders, function bodies
// included.
struct EvalContext {
  explicit EvalContext(Warnings& warnings_) : warnings(warnings_) {}

  CallStack call_stack;
  std::size_t iterations = 0;           // @for iterations so far
  Warnings& warnings;

  // Adds a warning unless the list is full.
  void warn(std::string warning);
};

// Renders the segments one after the other into `output`, whose mode decides
// what the body may hold. Every failure is thrown as an Error.
void evaluate(std::span<const Segment> segments, Scope& scope, EvalContext& context,
              Output& output);

}  // namespace quarl
