#include "render/render.hpp"

#include "modules/inheritance.hpp"
#include "render/check_gate.hpp"
#include "render/evaluator.hpp"
#include "render/messages.hpp"

namespace quarl {

Rendered render_module(const Module& module, RenderMode mode, Warnings& warnings, MapBuilder* map) {
  const std::vector<Segment> plan = render_plan(module);
  Scope scope(&module.context);
  validate(plan, scope);
  if (mode == RenderMode::Validate) return std::string();
  // A chat base template makes its chain render messages even when the
  // entry's own overrides hold none, so the mode follows what renders.
  const bool messages = mode != RenderMode::Body && has_message_blocks(plan);
  Output output(messages ? Output::Mode::Messages : Output::Mode::Markdown, mode != RenderMode::Check,
                messages ? nullptr : map);
  output.reserve(16384);
  // Each render has an evaluation (and loop count) of its own.
  EvalContext context(warnings);
  evaluate(plan, scope, context, output);
  if (mode == RenderMode::Check) return std::string();
  if (messages) return output.take_messages();
  return output.take_text();
}

}  // namespace quarl
