// One loaded module: its parse, frontmatter, names, exports and, when it
// extends another template, its place in the inheritance chain. The loader
// owns every module of a call; importers and the templates that extend it
// refer to it by address, which stays put until the call ends.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "modules/names.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/template.hpp"
#include "syntax/yaml.hpp"

namespace quarl {

struct Module;

// A module's @export list as resolved: which functions it offers, and where
// the text it offers as `prompt` comes from.
struct Exports {
  enum class Prompt : std::uint8_t {
    None,   // not exported
    Own,    // the module's own rendered body
    Other,  // re-exported from another module: `other_prompt`
  };

  bool explicit_list = false;  // the module has @export directives
  NameMap<const FunctionDef*> functions;
  Prompt prompt = Prompt::None;
  std::optional<std::string> other_prompt;
  std::vector<MapSegment> other_prompt_map;  // where other_prompt came from
};

// The current body of one @block of an inheritance chain, and the names it is
// rendered with: those of the template that supplied it.
struct EffectiveBlock {
  std::string_view name;
  const Block* block;
  std::size_t offset;       // the declaring @block line
  const ModuleText* module;  // the supplying template's text
  const ModuleNames* names;  // its functions and import aliases
};

// Where a template that extends another stands: the skeleton it renders
// (the chain's root) and every block's body after its own overrides.
struct Chain {
  const Module* root;
  std::vector<EffectiveBlock> blocks;  // in the root's declaration order
};

// A run of nodes of one module, and the names they see: the functions and
// import aliases of the template that supplied them, in a frame of their own
// (none: only the scope's). A template renders as one segment of its whole
// body; a template that extends another, as the segments of its chain's
// skeleton.
struct Segment {
  std::span<const Node> nodes;
  const ModuleText* module;
  const ModuleNames* names = nullptr;
};

struct Module {
  Module() = default;
  Module(const Module&) = delete;
  Module& operator=(const Module&) = delete;

  std::string key;
  ModuleText text;  // set first, so that errors while it parses can name it
  // The parse (null until it parses), shared with a loaded template's other
  // renders: nothing changes it once parsed.
  std::shared_ptr<const Template> source;
  Frontmatter frontmatter;  // its own (variables, import list)
  // For an entry that extends another template, its chain's merged
  // frontmatter written back as YAML text (none when the merge is empty).
  std::optional<std::string> merged_text;
  ModuleContext context;  // functions, import aliases and variables
  Exports exports;
  const Module* parent = nullptr;  // the template this one extends
  std::optional<Chain> chain;      // set when it extends one
  // A template of a chain binds its chain's merged frontmatter variables only
  // once something imports it; until then this is set.
  bool chain_variables_pending = false;
  // What its importers see, built when it is first imported.
  std::optional<ImportedModule> interface;

  // The frontmatter passed through to the output when this is the entry.
  std::optional<std::string_view> passed_frontmatter() const noexcept {
    if (merged_text) return std::string_view(*merged_text);
    return parent ? std::nullopt : source->frontmatter;
  }
};

}  // namespace quarl
