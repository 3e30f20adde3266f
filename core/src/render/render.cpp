#include "render/render.hpp"

#include "modules/inheritance.hpp"
#include "render/assembly.hpp"
#include "render/check_gate.hpp"
#include "render/evaluator.hpp"
#include "render/messages.hpp"

namespace quarl {

Rendered render_module(const Module& module, RenderMode mode, Warnings& warnings, SourceMapping* mapping,
                       bool keep_frontmatter) {
  const std::vector<Segment> plan = render_plan(module);
  Scope scope(&module.context);
  validate(plan, scope);
  if (mode == RenderMode::Validate) return std::string();
  // A chat base template makes its chain render messages even when the
  // entry's own overrides hold none, so the mode follows what renders.
  const bool messages = mode != RenderMode::Body && has_message_blocks(plan);
  Output output(messages ? Output::Mode::Messages : Output::Mode::Markdown, mode != RenderMode::Check,
                mapping && !messages ? &mapping->builder : nullptr);
  // Each render has an evaluation (and loop count) of its own.
  EvalContext context(warnings);
  evaluate(plan, scope, context, output);
  if (mode == RenderMode::Check) return std::string();
  if (messages) return output.take_messages();
  if (mode == RenderMode::Body) return output.take_text();
  const std::optional<std::string_view> frontmatter =
      keep_frontmatter ? module.passed_frontmatter() : std::nullopt;
  if (!mapping) return assemble_markdown(output.take_text(), frontmatter);
  std::string body = output.take_text();
  FinalOutput final_output{carriage_returns(body), {}, 0};
  std::string text = assemble_markdown(std::move(body), frontmatter, &final_output.prefix);
  final_output.text = text;
  mapping->map = mapping->builder.finish(final_output, warnings, mapping->sources_content);
  return text;
}

}  // namespace quarl
