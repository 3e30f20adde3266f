// One loaded module: its parse, frontmatter, names, exports and, when it
// extends another template, its place in the inheritance chain. Built once
// per call by the resolver, immutable afterwards, shared by its importers and
// by the templates that extend it.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "frontmatter.hpp"
#include "scope.hpp"
#include "template.hpp"
#include "yaml.hpp"

namespace quarl {

struct Module;
using ModulePtr = std::shared_ptr<const Module>;

// A module's @export list as resolved: which functions it offers, and where
// the text it offers as `prompt` comes from.
struct Exports {
  enum class Prompt : std::uint8_t {
    None,   // not exported
    Own,    // the module's own rendered body
    Other,  // re-exported from another module: `other_prompt`
  };

  bool explicit_list = false;  // the module has @export directives
  NameMap<FunctionPtr> functions;
  Prompt prompt = Prompt::None;
  std::optional<std::string> other_prompt;
};

// The current body of one @block of an inheritance chain, and the names it is
// rendered with: those of the template that supplied it.
struct EffectiveBlock {
  std::string_view name;
  const Block* block;
  std::size_t offset;       // the declaring @block line
  const ModuleText* module;  // the supplying template's text
  ModuleContextPtr names;    // its functions and import aliases, no variables
};

// Where a template that extends another stands: the skeleton it renders
// (the chain's root) and every block's body after its own overrides.
struct Chain {
  ModulePtr root;
  ModuleContextPtr root_names;
  std::vector<EffectiveBlock> blocks;  // in the root's declaration order
};

struct Module {
  std::string key;
  std::shared_ptr<const Template> source;  // the parse, holding the module text
  Frontmatter frontmatter;                 // its own (variables, import list)
  // For an entry that extends another template, its chain's merged
  // frontmatter written back as YAML text (none when the merge is empty).
  std::optional<std::string> merged_text;
  ModuleContextPtr context;  // functions, import aliases and variables
  Exports exports;
  ModulePtr parent;           // the template this one extends
  std::optional<Chain> chain;  // set when it extends one

  // The frontmatter passed through to the output when this is the entry.
  std::optional<std::string_view> passed_frontmatter() const noexcept {
    if (merged_text) return std::string_view(*merged_text);
    return parent ? std::nullopt : source->frontmatter;
  }
};

}  // namespace quarl
