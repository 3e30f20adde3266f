#include "syntax/links.hpp"

#include <variant>

namespace quarl {

std::vector<ModuleLink> module_links(const Template& module, std::span<const FrontmatterImport> imports) {
  std::vector<ModuleLink> links;
  if (module.extends)
    links.push_back({.kind = ModuleLink::Kind::Extends, .path = module.extends->path,
                     .offset = module.extends->offset});
  for (std::size_t i = 0; i < imports.size(); ++i)
    links.push_back({.kind = ModuleLink::Kind::FrontmatterImport, .path = imports[i].path,
                     .entry = &imports[i], .index = i});
  for (const Node& node : module.body) {
    if (const auto* import = std::get_if<Import>(&node.data))
      links.push_back({.kind = ModuleLink::Kind::Import, .path = import->path, .offset = node.offset,
                       .import = import});
    else if (const auto* exported = std::get_if<Export>(&node.data))
      links.push_back({.kind = ModuleLink::Kind::Export, .path = exported->path, .offset = node.offset,
                       .exported = exported});
  }
  return links;
}

}  // namespace quarl
