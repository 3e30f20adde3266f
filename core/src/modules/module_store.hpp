// What a loaded template keeps of its modules so that every later render
// skips reading, lexing, parsing and loading frontmatter: each module's text,
// parse and frontmatter (loaded without caller variables), and how each
// import path resolved. Filled once by the loader that loads the template,
// read-only after that, so any number of renders share it.
#pragma once

#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "modules/names.hpp"
#include "modules/sources.hpp"
#include "quarl/loaded_template.hpp"
#include "syntax/frontmatter.hpp"
#include "syntax/template.hpp"

namespace quarl {

struct StoredModule {
  ModuleText text;
  std::shared_ptr<const Template> source;  // null: not parsed yet
  Frontmatter frontmatter;                 // without caller variables
  bool marker_required = false;            // a ".md" module read by key
};

class ModuleStore {
 public:
  // The module stored under `key`, or null.
  const StoredModule* find(std::string_view key) const;
  // Stores (or replaces) the module `key`; keys keep the order first stored.
  void store(const std::string& key, StoredModule module);

  std::optional<std::string_view> resolved(std::string_view importer, std::string_view path) const;
  void resolve(std::string importer, std::string path, std::string key);

  // The stored keys in the order first stored (the entry first).
  const std::vector<std::string>& keys() const noexcept { return keys_; }
  std::vector<ImportResolution> resolutions() const;

 private:
  // Orders (importer, path) pairs of owned strings and of views alike.
  struct ByImporterAndPath {
    using is_transparent = void;
    template <class A, class B>
    bool operator()(const A& a, const B& b) const noexcept {
      return std::pair<std::string_view, std::string_view>(a.first, a.second) <
             std::pair<std::string_view, std::string_view>(b.first, b.second);
    }
  };

  NameMap<StoredModule> modules_;
  std::vector<std::string> keys_;
  std::map<std::pair<std::string, std::string>, std::string, ByImporterAndPath> resolutions_;
};

// Modules served from a store: what a template loaded once (its renders
// never touch the filesystem), or what a stored template's snapshot holds
// (loaded again from its texts). Keys and the project root are the ones the
// store was filled under.
class StoredSource final : public ModuleSource {
 public:
  StoredSource(const ModuleStore& store, bool keys_are_paths, std::optional<std::string> root)
      : store_(store), keys_are_paths_(keys_are_paths), root_(std::move(root)) {}

  std::string resolve(std::optional<std::string_view> importer, std::string_view path) override;
  // Only a string entry resolves against a directory; the store knows its
  // imports under the entry's key.
  std::string resolve_relative(std::string_view base, std::string_view path) override;
  std::string read(std::string_view key) override;
  bool keys_are_paths() const noexcept override { return keys_are_paths_; }
  std::optional<std::string> project_root() const override { return root_; }

 private:
  const ModuleStore& store_;
  bool keys_are_paths_;
  std::optional<std::string> root_;
};

}  // namespace quarl
