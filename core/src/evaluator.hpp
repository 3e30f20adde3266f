// The evaluator: renders a parsed body against a Scope into Markdown text,
// evaluating expressions and conditions, running loops, and calling user
// functions and builtins.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "frontmatter.hpp"
#include "quarl/error.hpp"
#include "quarl/value.hpp"
#include "scope.hpp"
#include "template.hpp"

namespace quarl {

using Warnings = std::vector<std::string>;

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

// What one evaluate call shares with everything it renders, function bodies
// included.
struct EvalContext {
  explicit EvalContext(Warnings& warnings_, SourceMapRecorder* recorder_ = nullptr)
      : warnings(warnings_), recorder(recorder_) {
    call_stack.reserve(8);
  }

  std::vector<std::string> call_stack;  // names as called, innermost last
  std::size_t iterations = 0;           // @for iterations so far
  Warnings& warnings;
  SourceMapRecorder* recorder;

  // Adds a warning unless the list is full.
  void warn(std::string warning);
};

// Renders `body` (nodes of `module`) against `scope`. Throws an Error.
std::string evaluate(const NodeList& body, const ModuleText& module, Scope& scope,
                     EvalContext& context);

// Renders a template on its own: no imports, `variables` as its module-level
// variables, its top-level @define functions callable.
std::string render_template(const std::shared_ptr<const Template>& module,
                            const Variables& variables, Warnings& warnings,
                            SourceMapRecorder* recorder = nullptr);

}  // namespace quarl
