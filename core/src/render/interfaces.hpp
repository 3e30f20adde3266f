// What imported modules offer their importers, each built once, the first
// time a module is imported: its exported functions and, when it exports its
// body, that body rendered (with the segments of its source map when the
// compile builds one). The one place where loading modules reaches
// rendering; it keeps what those renders warn.
#pragma once

#include "modules/module.hpp"
#include "quarl/result.hpp"
#include "render/source_map.hpp"

namespace quarl {

class ImportedInterfaces {
 public:
  // `map_sources`: the compile's map sources when it builds a source map.
  explicit ImportedInterfaces(MapSources* map_sources = nullptr) noexcept : map_sources_(map_sources) {}
  ImportedInterfaces(const ImportedInterfaces&) = delete;
  ImportedInterfaces& operator=(const ImportedInterfaces&) = delete;

  // What `module` offers its importers. Built on first use: a template of a
  // chain binds its chain's variables, the module's body is checked, and
  // rendered when it is exported.
  const ImportedModule& of(Module& module);

  // What rendering imported modules warned, in order.
  Warnings& warnings() noexcept { return warnings_; }

 private:
  MapSources* map_sources_;
  Warnings warnings_;
};

}  // namespace quarl
