// Loading and linking modules: the module pipeline (lex, parse, frontmatter,
// imports, exports, inheritance) run for each module, the resolving stack
// that catches cycles and runaway depth, and the cache of loaded modules.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "module_record.hpp"
#include "module_source.hpp"
#include "quarl/result.hpp"
#include "quarl/value.hpp"
#include "scope.hpp"

namespace quarl {

inline constexpr std::size_t kMaxResolvingDepth = 64;
inline constexpr std::size_t kMaxModules = 256;

// One call's linker. Imported modules are loaded at most once; each is
// checked and its body rendered (when it exports it) the first time a module
// imports it.
class Resolver {
 public:
  explicit Resolver(ModuleSource& source) : source_(source) {}

  // The entry module of a string compile: `text` under the name `name`, its
  // imports resolved against `directory`.
  ModulePtr load_text(const std::string& name, ModuleText text, const Value::Object& variables,
                      std::string directory);
  // The entry module of a file or virtual compile, read from the source.
  ModulePtr load_entry(const std::string& key, const Value::Object& variables);

  // Keys of the loaded imports, each after the modules it imports.
  const std::vector<std::string>& dependencies() const noexcept { return loaded_; }
  // What rendering imported modules warned, in order.
  Warnings& warnings() noexcept { return warnings_; }

 private:
  class Resolving;
  class Linker;

  ModulePtr load_module(const std::string& key);
  // The module pipeline for one module.
  // `caller_variables` are the entry's; null for an imported module.
  ModulePtr build(const std::string& key, ModuleText text, bool marker_required,
                  const Value::Object* caller_variables);
  // build with the key on the resolving stack.
  ModulePtr build_on_stack(const std::string& key, ModuleText text, bool marker_required,
                           const Value::Object* caller_variables);
  // Reads a module from the source, applies the module kind rule, builds it.
  ModulePtr read_and_build(const std::string& key, const Value::Object* caller_variables);
  // Fails when loading `key` would close a cycle or go too deep.
  void check_loadable(const std::string& key) const;
  // The key of the import path `path` written in the module `importer`.
  std::string resolve(const std::string& importer, std::string_view path);
  // What `module` offers its importers: its exported functions and prompt.
  // Built on first use: the module's body is checked, and rendered when it is
  // exported.
  ImportedModulePtr interface_of(const ModulePtr& module);

  ModuleSource& source_;
  Warnings warnings_;
  // A string entry's name, and the directory its imports resolve against.
  std::optional<std::pair<std::string, std::string>> text_entry_;
  std::vector<std::string> resolving_;  // keys being loaded, innermost last
  std::vector<std::string> loaded_;     // the cache's keys in insertion order
  NameMap<ModulePtr> cache_;
  NameMap<ImportedModulePtr> interfaces_;
  // The contexts of templates in a chain whose merged frontmatter variables
  // are not bound yet: nothing has imported them so far.
  NameMap<std::shared_ptr<ModuleContext>> unmerged_;
};

}  // namespace quarl
