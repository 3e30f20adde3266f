#include "render/render.hpp"

#include <algorithm>

#include "modules/inheritance.hpp"
#include "render/check_gate.hpp"
#include "render/evaluator.hpp"
#include "render/messages.hpp"

namespace quarl {

Rendered render_module(const Module& module, RenderMode mode, Warnings& warnings, MapBuilder* map,
                       std::size_t size_hint) {
  const std::vector<Segment> plan = render_plan(module);
  Scope scope(&module.context);
  validate(plan, scope);
  if (mode == RenderMode::Validate) return std::string();
  // A chat base template makes its chain render messages even when the
  // entry's own overrides hold none, so the mode follows what renders.
  const bool messages = mode != RenderMode::Body && has_message_blocks(plan);
  Output output(messages ? Output::Mode::Messages : Output::Mode::Markdown, mode != RenderMode::Check,
                messages ? nullptr : map);
  // Room for the whole text from the start: as much as the template's own
  // text, or as the last render of the same loaded template wrote.
  if (mode != RenderMode::Check) output.reserve(std::max(module.text->size(), size_hint));
  // Each render has an evaluation (and loop count) of its own.
  EvalContext context(warnings);
  evaluate(plan, scope, context, output);
  if (mode == RenderMode::Check) return std::string();
  if (messages) return output.take_messages();
  return output.take_text();
}

}  // namespace quarl
