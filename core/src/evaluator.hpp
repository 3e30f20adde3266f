// The evaluator: renders a parsed body against a Scope into Markdown text,
// evaluating expressions and conditions, running loops, and calling user
// functions and builtins.
#pragma once

#include <cstddef>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "frontmatter.hpp"
#include "quarl/error.hpp"
#include "quarl/result.hpp"
#include "quarl/stack_guard.hpp"
#include "quarl/value.hpp"
#include "scope.hpp"
#include "template.hpp"

namespace quarl {

// Limits of one evaluation.
inline constexpr std::size_t kMaxLoopIterations = 100000;        // one @for
inline constexpr std::size_t kMaxTotalIterations = 1000000;      // all @for of one evaluate call
inline constexpr std::size_t kMaxOutputBytes = 52428800;         // rendered text
inline constexpr std::size_t kMaxCallStack = 128;               // user functions executing
inline constexpr std::size_t kMaxWarnings = 1000;

// Receives, while a body renders, which source bytes produced which output.
// Offsets are into the text being rendered: the evaluation's output, or the
// body of the user function currently executing.
class SourceMapRecorder {
 public:
  virtual ~SourceMapRecorder() = default;
  // Output from `output_offset` on came from `source_length` bytes at
  // `source_offset` of `module`.
  virtual void segment(std::size_t output_offset, const ModuleText& module,
                       std::size_t source_offset, std::size_t source_length) = 0;
  // A user function's body starts rendering into text of its own.
  virtual void begin_call() = 0;
  // It ended; its result is its text with `trimmed_front` bytes cut from the
  // start and `kept_length` bytes kept. Its segments wait for place_calls.
  virtual void end_call(std::size_t trimmed_front, std::size_t kept_length) = 0;
  // An interpolation that called user functions wrote its value at
  // `output_offset`: the waiting segments of those calls belong there.
  virtual void place_calls(std::size_t output_offset) = 0;
};

// A run of nodes of one module, and the names they see: the functions and
// import aliases of the template that supplied them, in a frame of their own
// (none: only the scope's). A template renders as one segment of its whole
// body; a template that extends another, as the segments of its chain's
// skeleton.
struct Segment {
  std::span<const Node> nodes;
  const ModuleText* module;
  const ModuleNames* names = nullptr;
};

// What one evaluate call shares with everything it renders, function bodies
// included.
struct EvalContext {
  explicit EvalContext(Warnings& warnings_, SourceMapRecorder* recorder_ = nullptr)
      : warnings(warnings_), recorder(recorder_) {
    call_stack.reserve(8);
  }

  // Names as called, innermost last. Views: each lives as long as its call.
  std::vector<std::string_view> call_stack;
  std::size_t iterations = 0;           // @for iterations so far
  Warnings& warnings;
  SourceMapRecorder* recorder;

  // Adds a warning unless the list is full.
  void warn(std::string warning);
};

// Renders node lists of one module (and, through calls, of the modules whose
// functions they call) against a scope. Every failure is thrown as an Error.
class Evaluator {
 public:
  Evaluator(Scope& scope, EvalContext& context, const ModuleText& module);

  // Renders `nodes` onto the end of `out`.
  void render(std::string& out, std::span<const Node> nodes);
  // Runs `work` on the nodes of `segment`: in its module, with its names.
  template <class Work>
  void in_segment(const Segment& segment, Work&& work) {
    in_segment_with(segment, &work, [](void* run) { (*static_cast<Work*>(run))(); });
  }
  Value evaluate(const Expr& expr);
  // The body an @if chooses (its first true branch), or null.
  const NodeList* choose(std::size_t offset, const If& node);
  // Runs `body` once per iteration of `loop`, with the loop variables bound
  // in a frame of their own; checks the iterable and the loop limits.
  template <class Body>
  void iterate(std::size_t offset, const For& loop, Body&& body) {
    iterate_with(offset, loop, &body, [](void* run) { (*static_cast<Body*>(run))(); });
  }

  const ModuleText& module() const noexcept { return *module_; }
  EvalContext& context() noexcept { return context_; }
  // From `offset` to the end of its line in the current module.
  Span line_span(std::size_t offset) const noexcept;
  // Where an error raised while handling `node` is reported.
  Span node_span(const Node& node) const noexcept;
  // Runs `work` for the node list item `node`; an error without a span gets
  // the node's.
  template <class Work>
  void at_node(const Node& node, Work&& work) {
    try {
      work();
    } catch (Error& error) {
      error.set_span_if_missing(node_span(node), *module_);
      throw;
    }
  }

 private:
  class InModule;
  class CallEntry;

  template <class Evaluate>
  auto on_line(std::size_t offset, Evaluate&& evaluate);
  void iterate_with(std::size_t offset, const For& loop, void* body, void (*run)(void*));
  void in_segment_with(const Segment& segment, void* work, void (*run)(void*));
  void count_iteration();
  void render_node(std::string& out, const Node& node);
  void interpolate(std::string& out, std::size_t offset, const Interpolation& interpolation);
  void render_include(std::string& out, const Include& include);
  bool test_on_line(std::size_t offset, const Condition& condition);
  bool test(const Condition& condition, std::size_t line);
  bool compare(const Expr& left, const Expr& right, std::size_t line);
  const Value& resolve(const Expr& expr, Value& storage);
  const Value& resolve_path(const DotPath& path);
  class Arguments;

  Arguments arguments(const ExprList& args);
  Value call_builtin(std::string_view name, Arguments& args);
  Value call(const Call& call);
  Value call(const QualifiedCall& call);
  Value invoke(const FunctionDef& function, std::string_view called, Arguments& args);
  // Renders the call's result onto the end of `out`.
  void invoke_into(std::string& out, const FunctionDef& function, std::string_view called,
                   Arguments& args);

  Scope& scope_;
  EvalContext& context_;
  const ModuleText* module_;  // the module whose nodes are rendering
  std::size_t calls_made_ = 0;
  StackGuard stack_;
};

// Renders `body` (nodes of `module`) against `scope`. Throws an Error.
std::string evaluate(const NodeList& body, const ModuleText& module, Scope& scope,
                     EvalContext& context);
// Renders the segments one after the other into one text.
std::string evaluate(std::span<const Segment> segments, Scope& scope, EvalContext& context);

// Renders a template on its own: no imports, `variables` as its module-level
// variables, its top-level @define functions callable.
std::string render_template(const Template& module, const Variables& variables,
                            Warnings& warnings, SourceMapRecorder* recorder = nullptr);

}  // namespace quarl
