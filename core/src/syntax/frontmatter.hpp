// Frontmatter: the module's variables, its import list, the template marker,
// and the merge of two frontmatter mappings along an inheritance chain.
#pragma once

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarl/value.hpp"
#include "support/limits.hpp"
#include "syntax/template.hpp"
#include "syntax/yaml.hpp"

namespace quarl {

// One entry of the frontmatter `imports` list.
struct FrontmatterImport {
  std::string path;  // as written; starts with ./ or ../
  ImportForm form = ImportForm::Merge;
  std::string alias;               // Alias only
  std::vector<std::string> names;  // Selective only: unique, in the order written
};

// Variables in the order the frontmatter defines them, caller variables laid
// over them.
using Variables = std::vector<std::pair<std::string, Value>>;

struct Frontmatter {
  YamlPtr document;  // the loaded YAML (null without frontmatter or document)
  Variables variables;
  std::vector<FrontmatterImport> imports;
  bool is_template = true;
};

// Whether a line (without its line end) is the template marker: not
// indented, `type:`, then quarl, "quarl" or 'quarl' and nothing else.
bool is_type_marker_line(std::string_view line) noexcept;

// Whether a top-level line of the text is the template marker. Textual: no
// YAML is parsed.
bool has_type_marker(std::string_view text) noexcept;

// The entries of a frontmatter `imports` value. Throws `quarl::import` and
// `quarl::resource_limit` errors naming the entry.
std::vector<FrontmatterImport> parse_import_list(const YamlNode& list);

// Loads a module's frontmatter (none: the module has none). `marker_required`
// makes the module a template only when it carries the type marker; then
// `type` is not a variable. Throws the loader's errors, value conversion
// errors (`quarl::yaml`), import list errors, and `quarl::import` for a caller
// variable named `imports` in a template.
Frontmatter load_frontmatter(std::optional<std::string_view> text, bool marker_required,
                             ObjectView caller_variables);

// A frontmatter loaded before, without caller variables, with the caller's
// laid over its variables as load_frontmatter would have; throws as it does
// for a caller variable named `imports` in a template.
Frontmatter rebind_frontmatter(const Frontmatter& loaded, ObjectView caller_variables);

// The variables of a merged frontmatter document (one that merge_frontmatter
// built: no reserved keys, only string keys at the top), the caller's laid
// over them.
Variables merged_variables(const YamlNode& document, ObjectView caller_variables);

// Converts a YAML node to a Value; `depth` is the node's own nesting depth.
// Throws `quarl::yaml` for nesting deeper than kMaxValueDepth and for a
// mapping key that is not a string.
Value value_from_yaml(const YamlNode& node, std::size_t depth = 0);

// Mappings laid over each other, base first: of the values a key has, the
// last layer's wins, except that a run of mappings at the end merges key by
// key the same way one level down; a key keeps the place where it first
// appears. At the top level no layer's `imports`, `type` or `extends`
// survives, and keys that are not strings are dropped (in merged mappings
// below it too). The same as merging the layers pairwise, base first, but in
// time linear in their total size. Throws `quarl::resource_limit` past
// kMaxMergeDepth.
YamlNode merge_frontmatter(std::span<const YamlNode* const> layers, std::size_t depth = 0);

}  // namespace quarl
