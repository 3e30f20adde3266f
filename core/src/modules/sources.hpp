// Where module texts come from: the filesystem, or the caller's in-memory map
// of module keys to texts. The loader and the entry points reach modules
// only through these operations.
#pragma once

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>

#include "quarl/compile.hpp"

namespace quarl {

// The entry of a source string: its key, which errors show, and its name
// wherever a file name is expected (source maps, lint findings).
inline constexpr std::string_view kSourceEntryKey = "<source>";
inline constexpr std::string_view kSourceEntryFile = "input.quarl";

class ModuleSource {
 public:
  virtual ~ModuleSource() = default;

  // The key of `path` imported by `importer` (none: the entry).
  virtual std::string resolve(std::optional<std::string_view> importer,
                              std::string_view path) = 0;
  // The key of `path` joined to the directory `base` (the imports of a
  // string entry), under the same rules as resolve.
  virtual std::string resolve_relative(std::string_view base, std::string_view path) = 0;
  // The module's whole text.
  virtual std::string read(std::string_view key) = 0;
  // Whether keys are file paths, which errors and source maps show relative
  // to the project root.
  virtual bool keys_are_paths() const noexcept { return false; }
  // The project root of file paths, once known.
  virtual std::optional<std::string> project_root() const { return std::nullopt; }
};

// Modules are files; keys are absolute canonical paths. The project root is
// the nearest directory holding ".git" or ".quarlroot", and no import may
// leave it; the final name of an import may not be a symbolic link.
class FilesystemSource final : public ModuleSource {
 public:
  std::string resolve(std::optional<std::string_view> importer, std::string_view path) override;
  // An empty `base` is the current directory, read the first time it is
  // needed (most templates import nothing).
  std::string resolve_relative(std::string_view base, std::string_view path) override;
  std::string read(std::string_view key) override;
  // Where a string entry stands: the project root is searched from this
  // canonical directory, unless an entry file placed it already.
  void set_base_directory(const std::string& canonical) { establish_root(canonical); }
  // The nearest directory from the base up holding ".git" or ".quarlroot",
  // else the base; none before anything set the base.
  std::optional<std::string> project_root() const override;
  bool keys_are_paths() const noexcept override { return true; }

 private:
  // Records where the project root is searched from; the first call wins.
  void establish_root(const std::string& directory);
  void require_within_root(const std::string& key, std::string_view path) const;
  // The key of an import joined to its importer's directory: canonical, and
  // inside the project root. Remembered for the call: a module imported from
  // many places is canonicalised once.
  std::string import_key(const std::string& joined_path, std::string_view path);

  // The search for the root (a few file-system queries per directory) runs
  // only when something needs the root: most compiles import nothing.
  std::optional<std::string> root_start_;
  mutable std::optional<std::string> root_;
  std::optional<std::string> current_directory_;
  std::unordered_map<std::string, std::string> keys_;
};

// Modules are entries of the caller's map; keys are '/'-separated.
class VirtualSource final : public ModuleSource {
 public:
  explicit VirtualSource(ModuleMap modules) : modules_(std::move(modules)) {}

  std::string resolve(std::optional<std::string_view> importer, std::string_view path) override;
  std::string resolve_relative(std::string_view base, std::string_view path) override;
  std::string read(std::string_view key) override;

 private:
  ModuleMap modules_;
};

// Throws `quarl::io` "invalid UTF-8 in {shown}: ..." unless `text` is valid
// UTF-8: module texts are, whether read from a file or handed over by a caller.
void check_utf8(std::string_view text, std::string_view shown);

// Throws unless a text handed over (not read from a file) can be a module:
// `quarl::resource_limit` past kMaxSourceBytes, then as check_utf8.
void check_module_text(std::string_view text, std::string_view shown);

// Throws `quarl::not_quarl` unless the module is one of the language: its name
// ends in ".quarl", or in ".md" and its frontmatter carries the type marker.
void check_module_kind(std::string_view key, std::string_view text);
// Whether the key names a ".md" module (a template only when its frontmatter
// says so), by the same reading of the name as check_module_kind.
bool has_markdown_extension(std::string_view key) noexcept;

// The canonical form of a directory, for the entry points; throws
// `quarl::io` "cannot resolve base directory ...".
std::string canonical_directory(std::string_view directory);

// The process's current directory as given by the system (not canonicalised);
// throws `quarl::io`.
std::string current_directory();

}  // namespace quarl
