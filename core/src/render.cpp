#include "render.hpp"

#include "assembly.hpp"
#include "evaluator.hpp"
#include "inheritance.hpp"
#include "messages.hpp"
#include "validator.hpp"

namespace quarl {

Rendered render_module(const Module& module, RenderMode mode, Warnings& warnings) {
  const std::vector<Segment> plan = render_plan(module);
  Scope scope(&module.context);
  validate(plan, scope);
  if (mode == RenderMode::Check) return std::string();
  // Each render has an evaluation (and loop count) of its own.
  EvalContext context(warnings);
  // A chat base template makes its chain render messages even when the
  // entry's own overrides hold none, so the mode follows what renders.
  if (mode == RenderMode::Document && has_message_blocks(plan))
    return evaluate_messages(plan, scope, context);
  std::string text = evaluate(plan, scope, context);
  if (mode == RenderMode::Document)
    return assemble_markdown(std::move(text), module.passed_frontmatter());
  return text;
}

}  // namespace quarl
