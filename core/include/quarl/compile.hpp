// The entry points of the compiler core.
//
// Each call owns everything it creates and returns its result or exactly one
// failure: a compile error, or an internal fault (a bug, or memory exhausted)
// caught at this boundary. Nothing escapes as an exception.
#pragma once

#include <cstdint>
#include <expected>
#include <optional>
#include <initializer_list>
#include <string>
#include <string_view>
#include <unordered_map>
#include <variant>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/result.hpp"
#include "quarl/value.hpp"

namespace quarl {

// A fault that is not a compile error.
struct InternalFault {
  bool out_of_memory = false;
  std::string detail;
};

using Failure = std::variant<Error, InternalFault>;
template <class T>
using Outcome = std::expected<T, Failure>;

// The variables a caller passes: an object value, or none.
class CallerVariables {
 public:
  CallerVariables() = default;
  CallerVariables(const Value::Object& entries) : object_(Value::object(entries)) {}  // NOLINT: implicit
  CallerVariables(std::initializer_list<Value::Object::value_type> entries)
      : CallerVariables(Value::Object(entries)) {}
  // Throws std::invalid_argument unless `object` is an object.
  explicit CallerVariables(Value object);

  ObjectView entries() const noexcept { return object_.is_null() ? ObjectView() : object_.as_object(); }

 private:
  Value object_;
};

struct CompileOptions {
  // Variables laid over the entry module's frontmatter variables.
  CallerVariables vars;
  // String entry points: the directory imports resolve against (none or
  // empty: the current directory).
  std::optional<std::string> base_path;
  // Compile only: build a source map, and embed the module texts in it.
  bool source_map = false;
  bool sources_content = false;
  // Compile only: Markdown output starts with the entry's frontmatter block
  // (what is left of it); false leaves the block out (a prompt sent to a
  // model has no use for it). Spans, maps and dependencies are the same.
  bool keep_frontmatter = true;
};

// Module key to module text, for the virtual entry points.
using ModuleMap = std::unordered_map<std::string, std::string>;

// Inputs (each module text, and a virtual map's texts together) at most this
// long.
inline constexpr std::size_t kMaxSourceBytes = 10485760;
// Modules one call may load besides its entry, and entries of a virtual map.
inline constexpr std::size_t kMaxModules = 256;

// What to compile: a source string (its imports resolved against the
// options' base_path; "<source>" in errors, "input.quarl" in source maps and
// lint), a file (by its path), or a map of module texts and the key of its
// entry.
struct TemplateInput {
  enum class Kind : std::uint8_t { Source, File, Map };

  static TemplateInput source(std::string text) { return {Kind::Source, std::move(text), {}}; }
  static TemplateInput file(std::string path) { return {Kind::File, std::move(path), {}}; }
  static TemplateInput map(ModuleMap modules, std::string entry) {
    return {Kind::Map, std::move(entry), std::move(modules)};
  }

  Kind kind;
  std::string text;   // the source, the file's path, or the entry's key
  ModuleMap modules;  // Map only
};

// The limits of a module map a binding reads from its caller: at most
// kMaxModules entries, each text and all texts together at most
// kMaxSourceBytes. A binding checks them as it reads the map (the count
// first, then each text in the order it reads them), so that a map over the
// limits is refused before the rest of the call is read; each check returns
// the `quarl::resource_limit` error (its payload the message a binding
// shows), or none. The map entry points themselves limit what loads: each
// text read (kMaxSourceBytes) and the modules imported (kMaxModules).
std::optional<Error> module_count_problem(std::size_t count);
class ModuleMapBudget {
 public:
  std::optional<Error> add(std::string_view key, std::size_t size);

 private:
  std::size_t total_ = 0;
};

// Renders the template (Markdown or messages, with a source map when the
// options ask for one).
Outcome<CompileResult> compile(TemplateInput input, const CompileOptions& options);
// As compile, without a source map; only the warnings are kept.
Outcome<CheckResult> check(TemplateInput input, const CompileOptions& options);

// The same for each kind of input.
Outcome<CompileResult> compile_source(std::string source, const CompileOptions& options);
Outcome<CompileResult> compile_file(std::string_view path, const CompileOptions& options);
Outcome<CompileResult> compile_virtual(ModuleMap modules, std::string_view entry,
                                       const CompileOptions& options);
Outcome<CheckResult> check_source(std::string source, const CompileOptions& options);
Outcome<CheckResult> check_file(std::string_view path, const CompileOptions& options);
Outcome<CheckResult> check_virtual(ModuleMap modules, std::string_view entry,
                                   const CompileOptions& options);

// The source in the formatter's one layout for template syntax (Markdown
// untouched), proved to parse to the same tree; its syntax errors as compile
// reports them, `quarl::formatter_invariant` if the layout changed its meaning.
Outcome<std::string> format_source(std::string source);

// The paths a source names: its @extends target, its frontmatter imports and
// its top-level @import and @export ... from lines, each once, in that order.
// Loads nothing.
Outcome<std::vector<std::string>> scan_imports(std::string source);

}  // namespace quarl
