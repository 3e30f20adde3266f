#include "render/interfaces.hpp"

#include "modules/inheritance.hpp"
#include "render/render.hpp"
#include "support/utf8.hpp"

namespace quarl {
namespace {

// Whether rendering the plan can produce text: any node but blank text and
// the directives that render nothing.
bool has_body_text(const std::vector<Segment>& plan) noexcept {
  for (const Segment& segment : plan)
    for (const Node& node : segment.nodes) {
      if (const auto* text = std::get_if<Text>(&node.data)) {
        if (!utf8::trim(text->text).empty()) return true;
      } else if (!std::holds_alternative<Define>(node.data) &&
                 !std::holds_alternative<Import>(node.data) &&
                 !std::holds_alternative<Export>(node.data)) {
        return true;
      }
    }
  return false;
}

}  // namespace

const ImportedModule& ImportedInterfaces::of(Module& module) {
  if (module.interface) return *module.interface;
  if (module.chain_variables_pending) {
    bind_chain_variables(module, {}, false);
    module.chain_variables_pending = false;
  }
  ImportedModule imported;
  imported.functions = module.exports.functions;
  switch (module.exports.prompt) {
    case Exports::Prompt::Own: {
      std::optional<MapBuilder> map;
      if (map_sources_) map.emplace(*map_sources_, module.key);
      std::string text =
          std::get<std::string>(render_module(module, RenderMode::Body, warnings_, map ? &*map : nullptr));
      if (map && map->capped() && !map_sources_->capped_in) map_sources_->capped_in = module.key;
      if (!utf8::trim(text).empty()) {
        imported.prompt = std::move(text);
        if (map) imported.prompt_map = map->segments();
      }
      break;
    }
    case Exports::Prompt::Other:
      render_module(module, RenderMode::Validate, warnings_);
      imported.prompt = module.exports.other_prompt;
      imported.prompt_map = module.exports.other_prompt_map;
      break;
    case Exports::Prompt::None:
      render_module(module, RenderMode::Validate, warnings_);
      imported.prompt_not_exported =
          module.exports.explicit_list && has_body_text(render_plan(module));
      break;
  }
  return module.interface.emplace(std::move(imported));
}

}  // namespace quarl
