// A module's links to other modules, enumerated once for every reader (the
// linker, scan_imports, the lint facts): its @extends target, its frontmatter
// imports, then its top-level @import and @export directives in document
// order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "syntax/frontmatter.hpp"
#include "syntax/template.hpp"

namespace quarl {

struct ModuleLink {
  enum class Kind : std::uint8_t { Extends, FrontmatterImport, Import, Export };
  Kind kind;
  std::string_view path;  // empty for an @export of the module's own name
  // Extends, Import, Export: where the directive's line starts.
  std::size_t offset = 0;
  // FrontmatterImport: the entry and its place in the list.
  const FrontmatterImport* entry = nullptr;
  std::size_t index = 0;
  const Import* import = nullptr;    // Import
  const Export* exported = nullptr;  // Export
};

// The links of `module`, whose frontmatter import list is `imports`. Only
// top-level directives count: the linker refuses the others.
std::vector<ModuleLink> module_links(const Template& module, std::span<const FrontmatterImport> imports);

}  // namespace quarl
