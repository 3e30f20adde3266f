// Rendering one template on its own, without the check gate: no imports,
// `variables` as its module-level variables, its top-level @define
// functions callable. For the evaluator's tests and benchmark, which measure
// and probe the evaluator alone.
#pragma once

#include <memory>
#include <span>
#include <string>

#include "render/evaluator.hpp"

namespace quarl::testing_support {

// The context of a module that imports nothing: its variables and the
// functions its top-level @define nodes declare.
inline std::unique_ptr<ModuleContext> make_module_context(const Template& module, const Variables& variables) {
  auto context = std::make_unique<ModuleContext>();
  define_functions(*context, module);
  for (const auto& [name, value] : variables) context->variables.insert_or_assign(name, value);
  return context;
}

inline std::string render_template(const Template& module, const Variables& variables, Warnings& warnings,
                                   SourceMapRecorder* recorder = nullptr) {
  const std::unique_ptr<ModuleContext> names = make_module_context(module, variables);
  Scope scope(names.get());
  EvalContext context(warnings);
  Output output(Output::Mode::Markdown, true, recorder);
  const Segment segment{module.body, &module.text};
  evaluate(std::span(&segment, 1), scope, context, output);
  return output.take_text();
}

}  // namespace quarl::testing_support
