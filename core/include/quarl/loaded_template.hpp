// A template loaded once and rendered many times.
//
// Loading reads every module the entry reaches (its imports, re-exports,
// includes and @extends chain, all named by literal paths, so the set does
// not depend on variables), lexes and parses each, loads its frontmatter and
// links it, and keeps the parses. Each render then links the entry with the
// caller's variables, checks and renders: it never reads a file again. A
// loaded template is immutable; any number of threads may render it at once.
#pragma once

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarl/compile.hpp"
#include "quarl/lint.hpp"

namespace quarl {

class ModuleStore;

// An import path written in the module `importer`, and the key it resolved to.
struct ImportResolution {
  std::string importer;
  std::string path;
  std::string key;

  friend bool operator==(const ImportResolution&, const ImportResolution&) = default;
};

// Everything a loaded template was made from, to store it and load it again
// without the files it was read from.
struct TemplateSnapshot {
  TemplateInput::Kind kind = TemplateInput::Kind::Source;
  // What lint findings name: "input.quarl" for a source, the path as given
  // for a file, the entry's key for a map.
  std::string name;
  std::string entry;  // the entry's key
  // Every module's key and text, the entry first, then in the order loaded.
  std::vector<std::pair<std::string, std::string>> modules;
  std::vector<ImportResolution> resolutions;
  // The project root that file keys are shown relative to (files only).
  std::optional<std::string> project_root;
  // The keys of the imported modules, each after the modules it imports.
  std::vector<std::string> dependencies;
};

class LoadedTemplate {
 public:
  // What load_template made: its modules in `store`, read-only from now on.
  LoadedTemplate(TemplateInput::Kind kind, std::string name, std::string entry, std::unique_ptr<ModuleStore> store,
                 std::vector<std::string> dependencies, std::optional<std::string> project_root);
  ~LoadedTemplate();
  LoadedTemplate(const LoadedTemplate&) = delete;
  LoadedTemplate& operator=(const LoadedTemplate&) = delete;

  TemplateInput::Kind kind() const noexcept { return kind_; }
  const std::string& name() const noexcept { return name_; }
  const std::string& entry() const noexcept { return entry_; }
  const std::vector<std::string>& dependencies() const noexcept { return dependencies_; }
  const std::optional<std::string>& project_root() const noexcept { return project_root_; }
  const ModuleStore& store() const noexcept { return *store_; }

  TemplateSnapshot snapshot() const;

  // The size of the last document rendered from it: the room the next
  // render's output starts with. Renders on several threads share it; it is
  // only ever a hint, so a relaxed atomic does.
  std::size_t output_size_hint() const noexcept { return last_output_size_.load(std::memory_order_relaxed); }
  void note_output_size(std::size_t size) const noexcept { last_output_size_.store(size, std::memory_order_relaxed); }

 private:
  TemplateInput::Kind kind_;
  std::string name_;
  std::string entry_;
  std::unique_ptr<const ModuleStore> store_;
  std::vector<std::string> dependencies_;
  std::optional<std::string> project_root_;
  mutable std::atomic<std::size_t> last_output_size_{0};
};

using LoadedTemplatePtr = std::shared_ptr<const LoadedTemplate>;

// Loads `input` (`base_path` as for a compile of a source string). Fails
// with the error a compile of the same input would raise whatever its
// variables: a module that cannot be read or does not parse, a frontmatter
// that does not load, an import that fails, a limit passed.
Outcome<LoadedTemplatePtr> load_template(TemplateInput input, std::optional<std::string> base_path = {});
// Loads a snapshot again from its texts, touching no file; fails as loading
// its input did, or when the snapshot lacks a module or a resolution.
Outcome<LoadedTemplatePtr> load_template(const TemplateSnapshot& snapshot);

// What compile, check, lint and index give for the input the template was
// loaded from, with these options (their base_path is not used: the imports
// resolved when it loaded).
Outcome<CompileResult> compile(const LoadedTemplate& loaded, const CompileOptions& options);
Outcome<CheckResult> check(const LoadedTemplate& loaded, const CompileOptions& options);
Outcome<Value> lint(const LoadedTemplate& loaded, const CompileOptions& options, const RuleConfig& rules);
Outcome<std::string> index(const LoadedTemplate& loaded, const CompileOptions& options);

}  // namespace quarl
