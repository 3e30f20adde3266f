// The names a module binds: the functions it defines (FunctionDef), what an
// import alias names (ImportedModule), and a module's functions, aliases and
// variables together (ModuleContext). The linker builds them; rendering reads
// them through a Scope.
#pragma once

#include <cstddef>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "quarl/value.hpp"
#include "render/source_map.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/template.hpp"

namespace quarl {

struct ModuleContext;

// Hash and equality that let string-keyed maps be searched with a view.
struct NameHash {
  using is_transparent = void;
  std::size_t operator()(std::string_view name) const noexcept {
    return std::hash<std::string_view>{}(name);
  }
};
template <class T>
using NameMap = std::unordered_map<std::string, T, NameHash, std::equal_to<>>;

// A function declared with @define, owned by its defining module's context.
// Everything it points to lives as long as the call that loaded the module.
struct FunctionDef {
  std::string_view name;
  const Define* define;           // parameters and body
  const Template* source;         // the defining module's parse and text
  const ModuleContext* context;   // the defining module's names
  // "name(a, b = \"x\")", shown with arity errors.
  std::string signature;
  // The parameters without a default.
  std::size_t required_params = 0;
};

// What an import alias names: the functions a module exports and, when it
// exports it and it is not blank, its rendered body.
struct ImportedModule {
  NameMap<const FunctionDef*> functions;
  std::optional<std::string> prompt;
  // Where the prompt's text came from, when the compile builds a source map.
  std::vector<MapSegment> prompt_map;
  // The module has body text but an explicit @export list without `prompt`.
  bool prompt_not_exported = false;
};

// The functions and import aliases of a module: what its nodes see of it
// when they render inside another template's scope (an inheritance chain's
// blocks and skeleton).
struct ModuleNames {
  NameMap<const FunctionDef*> functions;
  NameMap<const ImportedModule*> modules;
};

// A module's names, its module-level variables and the functions it defines.
// Those functions point back here, so a context stays where it was made.
struct ModuleContext : ModuleNames {
  ModuleContext() = default;
  ModuleContext(const ModuleContext&) = delete;
  ModuleContext& operator=(const ModuleContext&) = delete;

  NameMap<Value> variables;
  std::list<FunctionDef> defined;
};

// Binds the functions the top-level @define nodes of `module` declare into
// `context`, their defining module's; each replaces a function of the same
// name bound before it (an imported one, or an earlier definition).
void define_functions(ModuleContext& context, const Template& module);

// "name(a, b = \"x\", n = 3)".
std::string function_signature(const Define& define);

}  // namespace quarl
