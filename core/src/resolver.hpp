// Loading modules: the module pipeline (lex, parse, frontmatter, names) run
// for each module, the resolving stack that catches cycles and runaway
// depth, and the cache of loaded modules.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "frontmatter.hpp"
#include "module_source.hpp"
#include "quarl/value.hpp"
#include "scope.hpp"
#include "template.hpp"

namespace quarl {

inline constexpr std::size_t kMaxResolvingDepth = 64;
inline constexpr std::size_t kMaxModules = 256;

// One loaded module. Immutable once built, shared by its importers.
struct Module {
  std::string key;
  std::shared_ptr<const Template> source;  // the parse, holding the module text
  Frontmatter frontmatter;
  ModuleContextPtr context;  // its functions, import aliases and variables
};
using ModulePtr = std::shared_ptr<const Module>;

class Resolver {
 public:
  explicit Resolver(ModuleSource& source) : source_(source) {}

  // The entry module of a string compile: `text` under the name `name`.
  ModulePtr load_text(const std::string& name, ModuleText text, const Value::Object& variables);
  // The entry module of a file or virtual compile, read from the source.
  ModulePtr load_entry(const std::string& key, const Value::Object& variables);

  // Keys of the loaded imports, each after the modules it imports.
  const std::vector<std::string>& dependencies() const noexcept { return loaded_; }

 private:
  class Resolving;

  ModulePtr build(const std::string& key, ModuleText text, bool marker_required,
                  const Value::Object& variables);
  // Fails when loading `key` would close a cycle or go too deep.
  void check_loadable(const std::string& key) const;

  ModuleSource& source_;
  std::vector<std::string> resolving_;  // keys being loaded, innermost last
  std::vector<std::string> loaded_;
};

}  // namespace quarl
