#include "syntax/frontmatter.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <utility>

#include "quarl/stack_guard.hpp"
#include "support/limits.hpp"
#include "support/text_scan.hpp"
#include "support/utf8.hpp"

namespace quarl {
namespace {

using Kind = YamlNode::Kind;

// The frontmatter starts on the line after the opening ---.
constexpr std::size_t kFrontmatterFirstLine = 2;

bool is_string(const YamlPtr& node) noexcept { return node && node->kind == Kind::String; }

bool is_reserved_key(std::string_view key) noexcept {
  return key == "imports" || key == "type" || key == "extends";
}

[[noreturn]] void fail_entry(std::size_t index, const std::string& detail) {
  throw Error::import("imports[" + std::to_string(index) + "]: " + detail + " (in frontmatter)");
}

std::string identifier_rule() {
  return "must start with a letter or '_' and contain only alphanumeric characters or '_'";
}

FrontmatterImport parse_import_entry(const YamlNode& entry, std::size_t index) {
  if (entry.kind != Kind::Mapping) fail_entry(index, "each entry must be a mapping");
  YamlPtr path;
  YamlPtr alias;
  YamlPtr names;
  for (const auto& [key, value] : entry.entries) {
    if (!is_string(key)) fail_entry(index, "keys must be strings");
    if (key->text == "path")
      path = value;
    else if (key->text == "as")
      alias = value;
    else if (key->text == "names")
      names = value;
    else
      fail_entry(index, "unknown key '" + key->text + "'");
  }
  if (!path) fail_entry(index, "missing required key 'path'");
  if (!is_string(path)) fail_entry(index, "'path' must be a string");
  FrontmatterImport import{path->text, ImportForm::Merge, {}, {}};
  if (!(import.path.starts_with("./") || import.path.starts_with("../")) ||
      import.path.find('\0') != std::string::npos)
    fail_entry(index, "invalid path \"" + import.path + "\": must start with './' or '../'");
  if (alias && names) fail_entry(index, "'as' and 'names' are mutually exclusive");
  if (alias) {
    if (!is_string(alias)) fail_entry(index, "'as' must be a string");
    if (!is_identifier(alias->text))
      fail_entry(index, "invalid identifier '" + alias->text + "' for 'as': " + identifier_rule());
    import.form = ImportForm::Alias;
    import.alias = alias->text;
  } else if (names) {
    if (names->kind != Kind::Sequence) fail_entry(index, "'names' must be a sequence");
    if (names->items.empty()) fail_entry(index, "names cannot be empty");
    UniqueNames seen;
    for (const YamlPtr& name : names->items) {
      if (!is_string(name)) fail_entry(index, "each name in 'names' must be a string");
      if (!is_identifier(name->text))
        fail_entry(index,
                   "invalid identifier '" + name->text + "' in 'names': " + identifier_rule());
      if (!seen.insert(name->text))
        fail_entry(index, "duplicate name '" + name->text + "' in 'names'");
      import.names.push_back(name->text);
    }
    import.form = ImportForm::Selective;
  }
  return import;
}

}  // namespace

std::vector<FrontmatterImport> parse_import_list(const YamlNode& list) {
  if (list.kind != Kind::Sequence)
    throw Error::import("imports must be a YAML sequence (in frontmatter)");
  if (list.items.size() > kMaxFrontmatterImports)
    throw Error::resource_limit(
        exceeds_maximum("imports", kMaxFrontmatterImports, {}, " entries (in frontmatter)"));
  std::vector<FrontmatterImport> imports;
  imports.reserve(list.items.size());
  for (std::size_t i = 0; i < list.items.size(); ++i)
    imports.push_back(parse_import_entry(*list.items[i], i));
  return imports;
}

bool is_type_marker_line(std::string_view line) noexcept {
  if (utf8::leading_space_length(line) != 0 || !line.starts_with("type:")) return false;
  const std::string_view value = utf8::trim(line.substr(5));
  return value == "quarl" || value == "\"quarl\"" || value == "'quarl'";
}

bool has_type_marker(std::string_view text) noexcept {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find('\n'), text.size());
    std::string_view line = text.substr(0, end);
    text.remove_prefix(std::min(end + 1, text.size()));
    if (line.ends_with('\r')) line.remove_suffix(1);
    if (is_type_marker_line(line)) return true;
  }
  return false;
}

Value value_from_yaml(const YamlNode& node, std::size_t depth) {
  if (depth > kMaxValueDepth)
    throw Error::yaml(exceeds_maximum("value nesting", kMaxValueDepth, "depth"));
  check_stack();
  switch (node.kind) {
    case Kind::Null:
      return Value::null();
    case Kind::Boolean:
      return Value::boolean(node.boolean);
    case Kind::Number:
      return Value::number(node.number);
    case Kind::String:
      return Value::string(node.text);
    case Kind::Tagged:
      return value_from_yaml(*node.items.front(), depth + 1);
    case Kind::Sequence: {
      Value::Array elements;
      elements.reserve(node.items.size());
      for (const YamlPtr& item : node.items) elements.push_back(value_from_yaml(*item, depth + 1));
      return Value::array(std::move(elements));
    }
    case Kind::Mapping: {
      std::vector<Value::Object::value_type> entries;
      entries.reserve(node.entries.size());
      for (const auto& [key, value] : node.entries) {
        if (key->kind != Kind::String)
          throw Error::yaml("QUARL only supports string keys in objects; found " +
                            std::string(yaml_kind_name(key->kind)) +
                            " key \u2014 use a quoted string key instead");
        entries.emplace_back(key->text, value_from_yaml(*value, depth + 1));
      }
      return Value::object(Value::Object::from_entries(std::move(entries)));
    }
  }
  return Value::null();
}

namespace {

// Lays the caller's variables over `variables`, whose names `position`
// locates: a caller's variable replaces one of the same name in its place,
// new ones follow. The names viewed must outlive the call (and not move).
void lay_caller_variables(Variables& variables, std::unordered_map<std::string_view, std::size_t>& position,
                          ObjectView caller_variables) {
  for (const auto& [name, value] : caller_variables) {
    const auto [at, added] = position.emplace(name, variables.size());
    if (added)
      variables.emplace_back(name, value);
    else
      variables[at->second].second = value;
  }
}

// The document's variables (each string key that `take` does not claim, in
// document order), the caller's laid over them: a caller's variable replaces
// the document's in its place, new ones follow.
template <class Take>
Variables lay_variables(const YamlNode* document, ObjectView caller_variables,
                        Take&& take) {
  Variables variables;
  // Where each variable sits; the names viewed are the document's and the
  // caller's own keys, which outlive this call.
  std::unordered_map<std::string_view, std::size_t> position;
  if (document && document->kind == Kind::Mapping) {
    for (const auto& [key, value] : document->entries) {
      if (!is_string(key) || take(key->text, *value)) continue;
      position.emplace(key->text, variables.size());
      variables.emplace_back(key->text, value_from_yaml(*value));
    }
  }
  lay_caller_variables(variables, position, caller_variables);
  return variables;
}

// A template's import list is its own: the caller cannot set it.
void refuse_caller_imports(const Frontmatter& frontmatter, ObjectView caller_variables) {
  if (frontmatter.is_template && caller_variables.contains("imports"))
    throw Error::import(
        "'imports' is a reserved frontmatter key for QUARL files and cannot be set via --set");
}

}  // namespace

Frontmatter load_frontmatter(std::optional<std::string_view> text, bool marker_required,
                             ObjectView caller_variables) {
  Frontmatter result;
  result.is_template = !marker_required || (text && has_type_marker(*text));
  if (text) result.document = load_yaml(*text, kFrontmatterFirstLine);
  result.variables = lay_variables(
      result.document.get(), caller_variables, [&](const std::string& name, const YamlNode& value) {
        if (name == "type" && marker_required) return true;
        if (name != "imports" || !result.is_template) return false;
        result.imports = parse_import_list(value);
        return true;
      });
  refuse_caller_imports(result, caller_variables);
  return result;
}

Frontmatter rebind_frontmatter(const Frontmatter& loaded, ObjectView caller_variables) {
  Frontmatter result{loaded.document, {}, loaded.imports, loaded.is_template};
  if (caller_variables.empty()) {
    result.variables = loaded.variables;
    return result;
  }
  // The loaded variables are the document's, in its order: the caller's are
  // laid over them as over the document. Reserved up front, so that the
  // names viewed never move.
  Variables& variables = result.variables;
  variables.reserve(loaded.variables.size() + caller_variables.size());
  variables.insert(variables.end(), loaded.variables.begin(), loaded.variables.end());
  std::unordered_map<std::string_view, std::size_t> position;
  for (std::size_t i = 0; i < variables.size(); ++i) position.emplace(variables[i].first, i);
  lay_caller_variables(variables, position, caller_variables);
  refuse_caller_imports(result, caller_variables);
  return result;
}

Variables merged_variables(const YamlNode& document, ObjectView caller_variables) {
  return lay_variables(&document, caller_variables,
                       [](const std::string&, const YamlNode&) { return false; });
}

YamlNode merge_frontmatter(std::span<const YamlNode* const> layers, std::size_t depth) {
  if (depth > kMaxMergeDepth)
    throw Error::resource_limit(exceeds_maximum("frontmatter merge depth", kMaxMergeDepth));
  check_stack();
  const auto kept = [depth](const YamlPtr& key) {
    return is_string(key) && !(depth == 0 && is_reserved_key(key->text));
  };
  // One slot per key, in the order keys first appear: the key as it first
  // appears, the last value given, and the trailing run of mapping values
  // that merge one level down (empty while the run has a single mapping).
  struct Slot {
    const YamlPtr* key;
    const YamlPtr* value;
    std::vector<const YamlNode*> run;
  };
  std::vector<Slot> slots;
  std::unordered_map<std::string_view, std::size_t> slot_of;
  for (const YamlNode* layer : layers) {
    if (layer->kind != Kind::Mapping) continue;
    for (const auto& [key, value] : layer->entries) {
      if (!kept(key)) continue;
      const auto [at, added] = slot_of.emplace(key->text, slots.size());
      if (added) {
        slots.push_back(Slot{&key, &value, {}});
        continue;
      }
      Slot& slot = slots[at->second];
      if (value->kind == Kind::Mapping && (*slot.value)->kind == Kind::Mapping) {
        if (slot.run.empty()) slot.run.push_back(slot.value->get());
        slot.run.push_back(value.get());
      } else {
        slot.run.clear();
      }
      slot.value = &value;
    }
  }
  YamlNode merged(Kind::Mapping);
  merged.entries.reserve(slots.size());
  for (const Slot& slot : slots)
    merged.entries.emplace_back(*slot.key, slot.run.empty()
                                               ? *slot.value
                                               : std::make_shared<const YamlNode>(
                                                     merge_frontmatter(slot.run, depth + 1)));
  return merged;
}

}  // namespace quarl
