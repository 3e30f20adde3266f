// Loading modules: the steps every module of a call goes through once (read,
// lex, parse, frontmatter, then link), the resolving stack that catches
// cycles and runaway depth, the count limit, and the owner of every module.
#pragma once

#include <cstddef>
#include <list>
#include <optional>
#include <string>
#include <vector>

#include "modules/module.hpp"
#include "modules/module_store.hpp"
#include "modules/sources.hpp"
#include "quarl/compile.hpp"
#include "quarl/result.hpp"
#include "quarl/value.hpp"
#include "render/source_map.hpp"
#include "support/limits.hpp"

namespace quarl {

class ImportedInterfaces;

// One call's loader. It owns every module it loads, for as long as it lives;
// the modules refer to each other by address. Imported modules are loaded
// at most once; what each offers its importers comes from `interfaces`.
class Loader {
 public:
  // `map_sources`: where the modules are added as they load, when the
  // compile builds a source map (the maps of imported bodies point there).
  // `stored`: modules parsed before, used instead of parsing them again;
  // `store`: where each module read and parsed, and each import resolved, is
  // kept (loaded without caller variables, so that it suits any call).
  Loader(ModuleSource& source, ImportedInterfaces& interfaces, MapSources* map_sources = nullptr,
         const ModuleStore* stored = nullptr, ModuleStore* store = nullptr)
      : source_(source), interfaces_(interfaces), map_sources_(map_sources), stored_(stored), store_(store) {}
  Loader(const Loader&) = delete;
  Loader& operator=(const Loader&) = delete;

  // The entry module of a string compile: `text` under the name `name` (none:
  // the stored one), its imports resolved against `directory`.
  const Module& load_text(const std::string& name, ModuleText text,
                          ObjectView variables, std::string directory);
  // The entry module of a file or virtual compile, read from the source.
  const Module& load_entry(const std::string& key, ObjectView variables);

  // Keys of the loaded imports, each after the modules it imports.
  const std::vector<std::string>& dependencies() const noexcept { return loaded_; }
  // Every module loaded, the entry first, in the order they started loading
  // (a module whose loading failed included, as far as it got).
  std::list<Module>& modules() noexcept { return modules_; }
  // The loaded module whose text is `text` (its address), or null.
  const Module* module_with_text(const std::string* text) const noexcept;

  // The imported module `key`: loaded the first time, the same one after.
  Module& import(const std::string& key);
  // The key of the import path `path` written in the module `importer`.
  std::string resolve(const std::string& importer, std::string_view path);

 private:
  class Resolving;

  // The module pipeline for one module, with its key on the resolving stack:
  // `text`, or else the module the source reads under `key` (which must be of
  // a kind that can be imported), lexed, parsed and linked.
  // `caller_variables` are the entry's; null for an imported module.
  Module& load(const std::string& key, ModuleText text, const ObjectView* caller_variables);
  // Fails when loading `key` would close a cycle or go too deep.
  void check_loadable(const std::string& key) const;

  // Its parse and frontmatter: stored, or made now (and stored when the
  // loader keeps a store).
  void parse(Module& module, const ObjectView& variables, bool marker_required);

  ModuleSource& source_;
  ImportedInterfaces& interfaces_;
  MapSources* map_sources_;
  const ModuleStore* stored_;
  ModuleStore* store_;
  // A string entry's name, and the directory its imports resolve against.
  std::optional<std::pair<std::string, std::string>> text_entry_;
  std::vector<std::string> resolving_;  // keys being loaded, innermost last
  std::list<Module> modules_;            // every module loaded, the entry too
  NameMap<Module*> imported_;           // the imported ones by key
  std::vector<std::string> loaded_;     // their keys in the order loaded
};

}  // namespace quarl
