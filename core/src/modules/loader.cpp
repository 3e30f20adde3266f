#include "modules/loader.hpp"

#include <algorithm>

#include "modules/inheritance.hpp"
#include "modules/linker.hpp"
#include "modules/paths.hpp"
#include "quarl/stack_guard.hpp"
#include "support/compiler_bug.hpp"
#include "support/limits.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"

namespace quarl {
namespace {

// The last path segment of a key, as cycles show it.
std::string_view last_segment(std::string_view key) noexcept {
  const std::size_t separator = key.find_last_of("/\\");
  return separator == std::string_view::npos ? key : key.substr(separator + 1);
}

// The frontmatter `load` gives `module`. Its errors have no span: they name
// the module.
template <class Load>
Frontmatter frontmatter_of(const Module& module, Load&& load) {
  try {
    return load();
  } catch (Error& error) {
    error.set_module_if_missing(module.text);
    throw;
  }
}

}  // namespace

// A key on the resolving stack while its module is built. finish() pops it
// and checks that it was still on top; leaving by an error just pops it.
class Loader::Resolving {
 public:
  Resolving(std::vector<std::string>& stack, const std::string& key) : stack_(stack), key_(key) {
    stack_.push_back(key);
  }
  ~Resolving() {
    if (!finished_ && !stack_.empty()) stack_.pop_back();
  }
  Resolving(const Resolving&) = delete;
  Resolving& operator=(const Resolving&) = delete;

  void finish() {
    finished_ = true;
    if (stack_.empty()) compiler_bug("resolving stack popped empty, expected " + key_);
    const std::string top = std::move(stack_.back());
    stack_.pop_back();
    if (top != key_) compiler_bug("resolving stack popped " + top + ", expected " + key_);
  }

 private:
  std::vector<std::string>& stack_;
  const std::string& key_;
  bool finished_ = false;
};

void Loader::check_loadable(const std::string& key) const {
  const auto cycle = std::find(resolving_.begin(), resolving_.end(), key);
  if (cycle != resolving_.end()) {
    std::string chain;
    for (auto it = cycle; it != resolving_.end(); ++it) {
      chain += last_segment(*it);
      chain += " \u2192 ";
    }
    chain += last_segment(key);
    throw Error::circular_import(std::move(chain));
  }
  if (resolving_.size() >= kMaxResolvingDepth)
    throw Error::import(
        exceeds_maximum("import depth", kMaxResolvingDepth, {}, " (possible deep chain)"));
}

std::string Loader::resolve(const std::string& importer, std::string_view path) {
  check_import_syntax(path);
  std::string key = text_entry_ && importer == text_entry_->first
                        ? source_.resolve_relative(text_entry_->second, path)
                        : source_.resolve(importer, path);
  if (store_) store_->resolve(importer, std::string(path), key);
  return key;
}

Module& Loader::load(const std::string& key, ModuleText text,
                       const ObjectView* caller_variables) {
  const StoredModule* stored = stored_ ? stored_->find(key) : nullptr;
  if (stored && !stored->source) stored = nullptr;
  bool marker_required = false;
  if (stored) {
    text = stored->text;
    marker_required = stored->marker_required;
  } else if (!text) {
    text = std::make_shared<const std::string>(source_.read(key));
    check_module_kind(key, *text);
    marker_required = has_markdown_extension(key);
  }
  Resolving resolving(resolving_, key);
  const ObjectView variables = caller_variables ? *caller_variables : ObjectView();
  // The caller's variables come from outside data, as JSON does, under the
  // same nesting limit.
  for (const auto& [name, value] : variables)
    if (!within_depth(value, kMaxValueDepth))
      throw Error::json(exceeds_maximum("value nesting", kMaxValueDepth, "depth"));
  Module& module = modules_.emplace_back();
  module.key = key;
  if (map_sources_)
    map_sources_->add(text_entry_ && text_entry_->first == key ? std::string(kSourceEntryFile) : key, text);
  module.text = std::move(text);
  if (stored) {
    module.source = stored->source;
    module.frontmatter = frontmatter_of(module, [&] { return rebind_frontmatter(stored->frontmatter, variables); });
  } else {
    parse(module, variables, marker_required);
  }
  link_module(*this, interfaces_, module, caller_variables);
  resolving.finish();
  return module;
}

void Loader::parse(Module& module, const ObjectView& variables, bool marker_required) {
  module.source = std::make_shared<const Template>(parse_template(lex(module.text)));
  module.frontmatter = frontmatter_of(
      module, [&] { return load_frontmatter(module.source->frontmatter, marker_required, variables); });
  check_block_count(*module.source);
  if (store_) store_->store(module.key, StoredModule{module.text, module.source, module.frontmatter, marker_required});
}

const Module& Loader::load_text(const std::string& name, ModuleText text,
                                  ObjectView variables, std::string directory) {
  check_loadable(name);
  text_entry_.emplace(name, std::move(directory));
  return load(name, std::move(text), &variables);
}

const Module& Loader::load_entry(const std::string& key, ObjectView variables) {
  check_loadable(key);
  return load(key, nullptr, &variables);
}

const Module* Loader::module_with_text(const std::string* text) const noexcept {
  for (const Module& module : modules_)
    if (module.text.get() == text) return &module;
  return nullptr;
}

Module& Loader::import(const std::string& key) {
  if (const auto cached = imported_.find(key); cached != imported_.end()) return *cached->second;
  check_loadable(key);
  check_stack();
  // Counted by the modules started, the entry aside: a module is only
  // recorded as imported once its own imports have loaded.
  const std::size_t started = modules_.size() - 1;
  if (started >= kMaxModules)
    throw Error::resource_limit(exceeds_maximum(
        "module count", kMaxModules, {}, " (" + std::to_string(started) + " modules resolved)"));
  Module& module = load(key, nullptr, nullptr);
  imported_.emplace(key, &module);
  loaded_.push_back(key);
  return module;
}

}  // namespace quarl
