#include "functions.hpp"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "lint_results.hpp"
#include "py_ref.hpp"
#include "quarl/compile.hpp"
#include "quarl/index.hpp"
#include "quarl/lint.hpp"
#include "quarl/loaded_template.hpp"
#include "boxed.hpp"
#include "loaded_template.hpp"
#include "results.hpp"
#include "text.hpp"
#include "without_gil.hpp"

namespace tessel {
namespace {

using quarl::Value;

constexpr const char* kInvalidOptions = "quarl::invalid_options";
constexpr const char* kResourceLimit = "quarl::resource_limit";

// ---- text arguments ---------------------------------------------------------------

// A str that UTF-8 cannot encode (one holding a lone surrogate) is refused
// as the argument's error, the way the same text inside `vars` is.
template <class Text>
std::optional<Text> encodable(const ModuleState& state, const char* name,
                              std::optional<Text> text) {
  if (!text && PyErr_ExceptionMatches(PyExc_UnicodeEncodeError))
    raise_binding_error(state, kInvalidOptions,
                        "invalid " + std::string(name) + ": " +
                            take_exception_text("cannot encode"));
  return text;
}

// A str argument's UTF-8 text.
std::optional<std::string_view> text_argument(const ModuleState& state, const char* function,
                                              const char* name, PyObject* value) {
  return encodable(state, name, str_argument(function, name, value));
}

// A path argument (str or os.PathLike) as UTF-8 text.
std::optional<std::string> path_text_argument(const ModuleState& state, const char* function,
                                              const char* name, PyObject* value) {
  return encodable(state, name, path_argument(function, name, value));
}

// ---- option checks, in the order each function applies them ------------------

bool source_fits(const ModuleState& state, std::string_view source) {
  if (source.size() <= quarl::kMaxSourceBytes) return true;
  raise_binding_error(state, kResourceLimit,
                      "source exceeds maximum size of " + std::to_string(quarl::kMaxSourceBytes) +
                          " bytes (" + std::to_string(source.size()) + " bytes provided)");
  return false;
}

// base_path: absent or None means the current directory; an empty path is
// refused rather than resolved against nothing.
bool read_base_path(const ModuleState& state, const char* function, PyObject* value,
                    quarl::CompileOptions& options) {
  if (!value || value == Py_None) return true;
  std::optional<std::string> path = path_text_argument(state, function, "base_path", value);
  if (!path) return false;
  if (path->empty()) {
    raise_binding_error(state, kInvalidOptions, "base_path must be a non-empty string");
    return false;
  }
  options.base_path = std::move(*path);
  return true;
}

bool read_vars(const ModuleState& state, PyObject* value, ConvertedValues& values,
               quarl::CompileOptions& options) {
  if (!value || value == Py_None) return true;
  std::string error;
  std::optional<Value> vars = to_value(value, values, error);
  if (!vars) {
    if (!error.empty()) raise_binding_error(state, kInvalidOptions, "invalid vars: " + error);
    return false;
  }
  if (vars->kind() != quarl::ValueKind::Object) {
    raise_binding_error(state, kInvalidOptions,
                        "options.vars must be a plain object, got " +
                            std::string(quarl::type_name(*vars)));
    return false;
  }
  options.vars = quarl::CallerVariables(std::move(*vars));
  return true;
}

bool read_source_map_options(const ModuleState& state, bool source_map, bool sources_content,
                             quarl::CompileOptions& options) {
  if (sources_content && !source_map) {
    raise_binding_error(state, kInvalidOptions,
                        "option \"sources_content\" requires \"source_map\" to be True");
    return false;
  }
  options.source_map = source_map;
  options.sources_content = sources_content;
  return true;
}

// frontmatter: absent means "keep"; "drop" leaves the frontmatter block out
// of Markdown output; anything else is refused.
bool read_frontmatter_option(const ModuleState& state, PyObject* value, quarl::CompileOptions& options) {
  if (!value) return true;
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(value) ? PyUnicode_AsUTF8AndSize(value, &size) : nullptr;
  const std::string_view given = text ? std::string_view(text, static_cast<std::size_t>(size)) : std::string_view();
  if (text && (given == "keep" || given == "drop")) {
    options.keep_frontmatter = given == "keep";
    return true;
  }
  PyErr_Clear();
  const PyRef shown = PyRef::steal(PyObject_Repr(value));
  const char* repr = shown ? PyUnicode_AsUTF8AndSize(shown.get(), &size) : nullptr;
  PyErr_Clear();
  raise_binding_error(state, kInvalidOptions,
                      "frontmatter must be \"keep\" or \"drop\", got " +
                          (repr ? std::string(repr, static_cast<std::size_t>(size)) : std::string("a value")));
  return false;
}

// A module map's limits, as the core words them.
[[nodiscard]] bool within_limit(const ModuleState& state, const std::optional<quarl::Error>& problem) {
  if (!problem) return true;
  raise_binding_error(state, kResourceLimit, problem->payload_text());
  return false;
}

// A dict of str to str, read straight into the core's map: each text is
// copied once. None, with nothing raised, when some key or text is not a
// str that UTF-8 can encode: the general conversion then reports it, as it
// would have before any size is looked at.
std::optional<quarl::ModuleMap> direct_modules(const ModuleState& state, PyObject* modules,
                                               bool& failed) {
  std::vector<std::pair<std::string_view, std::string_view>> texts;
  texts.reserve(static_cast<std::size_t>(PyDict_Size(modules)));
  Py_ssize_t position = 0;
  PyObject* key = nullptr;
  PyObject* text = nullptr;
  // Nothing here runs Python code, so the dict cannot change meanwhile, and
  // the UTF-8 views live as long as its strings.
  while (PyDict_Next(modules, &position, &key, &text)) {
    if (!PyUnicode_Check(key) || !PyUnicode_Check(text)) return std::nullopt;
    const std::optional<std::string_view> key_text = utf8_of(key);
    const std::optional<std::string_view> module_text = key_text ? utf8_of(text) : std::nullopt;
    if (!module_text) {
      PyErr_Clear();
      return std::nullopt;
    }
    texts.emplace_back(*key_text, *module_text);
  }
  quarl::ModuleMap map;
  map.reserve(texts.size());
  quarl::ModuleMapBudget budget;
  for (const auto& [name, module_text] : texts) {
    if (!within_limit(state, budget.add(name, module_text.size()))) {
      failed = true;
      return std::nullopt;
    }
    map.emplace(name, module_text);
  }
  return map;
}

std::optional<quarl::ModuleMap> read_modules(const ModuleState& state, PyObject* modules) {
  if (PyDict_Check(modules)) {
    if (!within_limit(state, quarl::module_count_problem(static_cast<std::size_t>(PyDict_Size(modules)))))
      return std::nullopt;
    bool failed = false;
    std::optional<quarl::ModuleMap> map = direct_modules(state, modules, failed);
    if (map || failed) return map;
  }
  std::string error;
  std::optional<Value> converted = to_value(modules, error);
  if (!converted) {
    if (!error.empty()) raise_binding_error(state, kInvalidOptions, "invalid modules: " + error);
    return std::nullopt;
  }
  if (converted->kind() != quarl::ValueKind::Object) {
    raise_binding_error(state, kInvalidOptions,
                        "modules must be a mapping of str to str, got " +
                            std::string(quarl::type_name(*converted)));
    return std::nullopt;
  }
  const quarl::ObjectView entries = converted->as_object();
  if (!within_limit(state, quarl::module_count_problem(entries.size()))) return std::nullopt;
  quarl::ModuleMap map;
  map.reserve(entries.size());
  quarl::ModuleMapBudget budget;
  for (const auto& [key, text] : entries) {
    if (text.kind() != quarl::ValueKind::String) {
      raise_binding_error(state, kInvalidOptions,
                          "modules[" + debug_quoted(key) + "] must be a string, got " +
                              std::string(quarl::type_name(text)));
      return std::nullopt;
    }
    if (!within_limit(state, budget.add(key, text.as_string().size()))) return std::nullopt;
    map.emplace(key, text.as_string());
  }
  return map;
}

// ---- running the core ----------------------------------------------------------------

// What a call hands the core: the template (its input, or the template
// loaded before), its options, and the arena their variables live in.
struct CoreInput {
  std::unique_ptr<quarl::ValueArena> arena;
  quarl::CompileOptions options;
  quarl::TemplateInput input;
  quarl::LoadedTemplatePtr loaded;
};

// Runs `work` (a core entry point) on the template and its options without
// the interpreter lock. The input moves into the released region and is
// freed there as well: converted variables can be large. A loaded template
// is shared, not copied: the call holds it alive.
template <class Work>
auto released(CoreInput&& input, Work&& work) {
  const WithoutGil unlocked;
  CoreInput owned = std::move(input);
  if (owned.loaded) return work(*owned.loaded, owned.options);
  return work(std::move(owned.input), owned.options);
}


PyObject* run_compile(const ModuleState& state, CoreInput&& input) {
  // The canonical value is built, and its text checked, while the lock is
  // still released.
  bool valid = true;
  auto data = released(std::move(input), [&](auto&& template_, const quarl::CompileOptions& options)
                                             -> quarl::Outcome<CompileResultData> {
    quarl::Outcome<quarl::CompileResult> result =
        quarl::compile(std::forward<decltype(template_)>(template_), options);
    if (!result) return std::unexpected(std::move(result.error()));
    valid = quarl::holds_valid_utf8(*result);
    auto backing = std::make_unique<CompileResultData::Backing>(std::move(*result));
    Value canonical = quarl::canonical_view(backing->result, backing->arena);
    return CompileResultData{canonical, std::move(backing)};
  });
  if (!data) return raise_failure(state, data.error());
  if (!valid) return raise_serialization_error(state, "the result holds text that is not valid UTF-8");
  return make_compile_result(state, std::move(*data));
}

PyObject* run_check(const ModuleState& state, CoreInput&& input) {
  quarl::Outcome<quarl::CheckResult> result = released(std::move(input), [](auto&& template_, const quarl::CompileOptions& options) {
        return quarl::check(std::forward<decltype(template_)>(template_), options);
      });
  if (!result) return raise_failure(state, result.error());
  return make_check_result(state, std::move(result->warnings));
}

PyObject* run_lint(const ModuleState& state, CoreInput&& input, const quarl::RuleConfig& rules) {
  quarl::Outcome<Value> result = released(std::move(input), [&rules](auto&& template_, const quarl::CompileOptions& options) {
        return quarl::lint(std::forward<decltype(template_)>(template_), options, rules);
      });
  if (!result) return raise_failure(state, result.error());
  return make_lint_result(state, std::move(*result));
}

// The index as its canonical JSON text, which tessel.TemplateIndex reads
// when it is first asked for something: an editor that indexes on every
// keystroke pays for the Python objects of what it looks at only.
PyObject* run_index(const ModuleState& state, CoreInput&& input) {
  quarl::Outcome<std::string> result = released(std::move(input), [](auto&& template_, const quarl::CompileOptions& options) {
        return quarl::index(std::forward<decltype(template_)>(template_), options);
      });
  if (!result) return raise_failure(state, result.error());
  return to_python(std::string_view(*result));
}

// Loads the template once, for a Template object to render many times.
PyObject* run_load(const ModuleState& state, CoreInput&& input) {
  quarl::Outcome<quarl::LoadedTemplatePtr> loaded = [&] {
    const WithoutGil unlocked;
    CoreInput owned = std::move(input);
    return quarl::load_template(std::move(owned.input), std::move(owned.options.base_path));
  }();
  if (!loaded) return raise_failure(state, loaded.error());
  return box(state.loaded_template_type, std::move(*loaded));
}

PyObject* run_format(const ModuleState& state, std::string source) {
  quarl::Outcome<std::string> formatted = [&] {
    const WithoutGil unlocked;
    return quarl::format_source(std::move(source));
  }();
  if (!formatted) return raise_failure(state, formatted.error());
  return to_python(std::string_view(*formatted));
}

PyObject* run_scan(const ModuleState& state, std::string source) {
  quarl::Outcome<std::vector<std::string>> paths = [&] {
    const WithoutGil unlocked;
    return quarl::scan_imports(std::move(source));
  }();
  if (!paths) return raise_failure(state, paths.error());
  return to_python(*paths);
}

// ---- the requests ------------------------------------------------------------------

// What a function takes its template from, and what it does with it.
// A loaded template's methods take it as their `self`.
enum class Input : std::uint8_t { Source, File, Virtual, Loaded };
enum class Mode : std::uint8_t { Compile, Check, Lint, Index, Scan, Format, Load };

constexpr std::size_t kMaxParams = 6;
constexpr int kAbsent = -1;

constexpr int slot_of(std::span<const Param> params, std::string_view name) {
  for (std::size_t i = 0; i < params.size(); ++i)
    if (params[i].name == name) return static_cast<int>(i);
  return kAbsent;
}

// One module function: its parameters, where each argument sits among them
// (kAbsent when the function does not take it), what it reads and does.
struct Signature {
  // `shown_`: the name argument errors give the function, when it is called
  // through another (tessel.Template calls load and the loaded methods).
  constexpr Signature(const char* name_, std::span<const Param> params_, Input input_, Mode mode_,
                      const char* shown_ = nullptr)
      : name(name_), shown(shown_ ? shown_ : name_), params(params_), input(input_), mode(mode_),
        template_slot(slot_of(params_, input_ == Input::File        ? "path"
                                       : input_ == Input::Virtual ? "modules"
                                                                   : "source")),
        entry(slot_of(params_, "entry")), vars(slot_of(params_, "vars")),
        base_path(slot_of(params_, "base_path")), source_map(slot_of(params_, "source_map")),
        sources_content(slot_of(params_, "sources_content")), rules(slot_of(params_, "rules")),
        frontmatter(slot_of(params_, "frontmatter")) {}

  const char* name;
  const char* shown;
  std::span<const Param> params;
  Input input;
  Mode mode;
  int template_slot, entry, vars, base_path, source_map, sources_content, rules, frontmatter;
};

constexpr Param kCompileParams[] = {
    {"source", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"base_path", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
    {"frontmatter", ParamKind::KeywordOnly, false},
};
constexpr Param kCheckParams[] = {
    {"source", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"base_path", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
};
constexpr Param kCompileFileParams[] = {
    {"path", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
    {"frontmatter", ParamKind::KeywordOnly, false},
};
constexpr Param kCheckFileParams[] = {
    {"path", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
};
constexpr Param kCompileVirtualParams[] = {
    {"modules", ParamKind::PositionalOrKeyword, true},
    {"entry", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
    {"frontmatter", ParamKind::KeywordOnly, false},
};
constexpr Param kCheckVirtualParams[] = {
    {"modules", ParamKind::PositionalOrKeyword, true},
    {"entry", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
};
constexpr Param kLintParams[] = {
    {"source", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"base_path", ParamKind::KeywordOnly, false},
    {"rules", ParamKind::KeywordOnly, false},
};
constexpr Param kLintFileParams[] = {
    {"path", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"rules", ParamKind::KeywordOnly, false},
};
constexpr Param kLintVirtualParams[] = {
    {"modules", ParamKind::PositionalOrKeyword, true},
    {"entry", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"rules", ParamKind::KeywordOnly, false},
};
constexpr Param kIndexParams[] = {
    {"source", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"base_path", ParamKind::KeywordOnly, false},
};
constexpr Param kScanParams[] = {{"source", ParamKind::PositionalOnly, true}};
constexpr Param kLoadParams[] = {
    {"source", ParamKind::PositionalOrKeyword, true},
    {"base_path", ParamKind::KeywordOnly, false},
};
constexpr Param kLoadFileParams[] = {{"path", ParamKind::PositionalOrKeyword, true}};
constexpr Param kLoadVirtualParams[] = {
    {"modules", ParamKind::PositionalOrKeyword, true},
    {"entry", ParamKind::PositionalOrKeyword, true},
};
constexpr Param kLoadedCompileParams[] = {
    {"vars", ParamKind::PositionalOrKeyword, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
    {"frontmatter", ParamKind::KeywordOnly, false},
};
constexpr Param kLoadedCheckParams[] = {{"vars", ParamKind::PositionalOrKeyword, false}};
constexpr Param kLoadedLintParams[] = {
    {"rules", ParamKind::PositionalOrKeyword, false},
    {"vars", ParamKind::KeywordOnly, false},
};

constexpr Signature kCompile{"compile", kCompileParams, Input::Source, Mode::Compile};
constexpr Signature kCompileFile{"compile_file", kCompileFileParams, Input::File, Mode::Compile};
constexpr Signature kCompileVirtual{"compile_virtual", kCompileVirtualParams, Input::Virtual,
                                  Mode::Compile};
constexpr Signature kCheck{"check", kCheckParams, Input::Source, Mode::Check};
constexpr Signature kCheckFile{"check_file", kCheckFileParams, Input::File, Mode::Check};
constexpr Signature kCheckVirtual{"check_virtual", kCheckVirtualParams, Input::Virtual, Mode::Check};
constexpr Signature kLint{"lint", kLintParams, Input::Source, Mode::Lint};
constexpr Signature kLintFile{"lint_file", kLintFileParams, Input::File, Mode::Lint};
constexpr Signature kLintVirtual{"lint_virtual", kLintVirtualParams, Input::Virtual, Mode::Lint};
constexpr Signature kIndex{"index", kIndexParams, Input::Source, Mode::Index};
constexpr Signature kIndexFile{"index_file", kCheckFileParams, Input::File, Mode::Index};
constexpr Signature kIndexVirtual{"index_virtual", kCheckVirtualParams, Input::Virtual, Mode::Index};
constexpr Signature kScanImports{"scan_imports", kScanParams, Input::Source, Mode::Scan};
constexpr Signature kFormat{"format", kScanParams, Input::Source, Mode::Format};
constexpr Signature kLoad{"load", kLoadParams, Input::Source, Mode::Load, "Template"};
constexpr Signature kLoadFile{"load_file", kLoadFileParams, Input::File, Mode::Load, "Template.from_file"};
constexpr Signature kLoadVirtual{"load_virtual", kLoadVirtualParams, Input::Virtual, Mode::Load,
                                 "Template.from_virtual"};
constexpr Signature kLoadedCompile{"compile", kLoadedCompileParams, Input::Loaded, Mode::Compile,
                                   "Template.compile"};
constexpr Signature kLoadedCheck{"check", kLoadedCheckParams, Input::Loaded, Mode::Check, "Template.check"};
constexpr Signature kLoadedLint{"lint", kLoadedLintParams, Input::Loaded, Mode::Lint, "Template.lint"};
constexpr Signature kLoadedIndex{"index", kLoadedCheckParams, Input::Loaded, Mode::Index, "Template.index"};

// The severities of a `rules` argument: None, or a mapping of rule names to
// "off", "info", "warn" or "error". Names that are no rule are kept: the
// result warns of them.
std::optional<quarl::RuleConfig> read_rules(const ModuleState& state, PyObject* value) {
  quarl::RuleConfig config;
  if (!value || value == Py_None) return config;
  std::string error;
  const std::optional<Value> converted = to_value(value, error);
  if (!converted) {
    if (!error.empty()) raise_binding_error(state, kInvalidOptions, "invalid rules: " + error);
    return std::nullopt;
  }
  if (converted->kind() != quarl::ValueKind::Object) {
    raise_binding_error(state, kInvalidOptions,
                        "rules must be a mapping of str to str, got " + std::string(quarl::type_name(*converted)));
    return std::nullopt;
  }
  for (const auto& [name, severity] : converted->as_object()) {
    if (severity.kind() != quarl::ValueKind::String) {
      raise_binding_error(state, kInvalidOptions,
                          "rules[" + debug_quoted(name) + "] must be a string, got " +
                              std::string(quarl::type_name(severity)));
      return std::nullopt;
    }
    const std::optional<quarl::Severity> parsed = quarl::parse_severity(severity.as_string());
    if (!parsed) {
      raise_binding_error(state, kInvalidOptions,
                          "rules[" + debug_quoted(name) + "]: unknown severity " + debug_quoted(severity.as_string()) +
                              "; expected \"off\", \"info\", \"warn\", or \"error\"");
      return std::nullopt;
    }
    config.emplace_back(std::string(name), *parsed);
  }
  return config;
}

// One call's arguments, read and checked in the order every function shares:
// the template argument (the entry's key for a virtual map), the source-map
// flags, the template's own checks (size and base directory of a source, the
// module map), the refusal of maps by check, the variables, and the
// agreement of the two source-map flags.
class Invocation {
 public:
  // `loaded`: the template of a loaded template's method.
  Invocation(const ModuleState& state, const Signature& request, PyObject* const* bound,
             quarl::LoadedTemplatePtr loaded = nullptr)
      : state_(state), request_(request), bound_(bound), loaded_(std::move(loaded)) {}

  PyObject* run() {
    if (!read_template() || !read_map_flags() || !read_template_options()) return nullptr;
    if (request_.mode == Mode::Check && map_given_)
      return raise_binding_error(state_, kInvalidOptions,
                                 "source maps are not available for check(); use compile() instead");
    if (!read_vars(state_, argument(request_.vars), values_, options_)) return nullptr;
    std::optional<quarl::RuleConfig> rules;
    if (request_.mode == Mode::Lint && !(rules = read_rules(state_, argument(request_.rules)))) return nullptr;
    if (request_.mode == Mode::Compile &&
        (!read_source_map_options(state_, source_map_, sources_content_, options_) ||
         !read_frontmatter_option(state_, argument(request_.frontmatter), options_)))
      return nullptr;
    switch (request_.mode) {
      case Mode::Scan:
        return run_scan(state_, std::string(text_));
      case Mode::Format:
        return run_format(state_, std::string(text_));
      case Mode::Compile:
        return run_compile(state_, core_input());
      case Mode::Lint:
        return run_lint(state_, core_input(), *rules);
      case Mode::Index:
        return run_index(state_, core_input());
      case Mode::Load:
        return run_load(state_, core_input());
      case Mode::Check:
        break;
    }
    return run_check(state_, core_input());
  }

 private:
  PyObject* argument(int slot) const noexcept { return slot == kAbsent ? nullptr : bound_[slot]; }

  // The template, copied while the interpreter lock is held (the core runs
  // without it), with the options and the variables' arena.
  CoreInput core_input() {
    quarl::TemplateInput input = [&] {
      switch (request_.input) {
        case Input::Source:
        case Input::Loaded: return quarl::TemplateInput::source(std::string(text_));
        case Input::File: return quarl::TemplateInput::file(std::string(text_));
        case Input::Virtual: break;
      }
      return quarl::TemplateInput::map(std::move(*modules_), std::string(text_));
    }();
    return {values_.take_arena(), std::move(options_), std::move(input), loaded_};
  }

  // The source text, the file's path, or the entry's key.
  bool read_template() {
    if (request_.input == Input::Loaded) return true;
    if (request_.input == Input::File) {
      std::optional<std::string> path =
          path_text_argument(state_, request_.shown, "path", argument(request_.template_slot));
      if (!path) return false;
      path_ = std::move(*path);
      text_ = path_;
      return true;
    }
    const bool is_entry = request_.input == Input::Virtual;
    const std::optional<std::string_view> text =
        text_argument(state_, request_.shown, is_entry ? "entry" : "source",
                      argument(is_entry ? request_.entry : request_.template_slot));
    if (!text) return false;
    text_ = *text;
    return true;
  }

  // compile's flags are bools; check takes None only, and refuses a map
  // once the other arguments are checked.
  bool read_map_flags() {
    if (request_.mode == Mode::Check)
      return check_flag("source_map", argument(request_.source_map)) &&
             check_flag("sources_content", argument(request_.sources_content));
    if (request_.mode != Mode::Compile) return true;
    const std::optional<bool> map =
        bool_argument(request_.shown, "source_map", argument(request_.source_map), false);
    if (!map) return false;
    const std::optional<bool> contents = bool_argument(
        request_.shown, "sources_content", argument(request_.sources_content), false);
    if (!contents) return false;
    source_map_ = *map;
    sources_content_ = *contents;
    return true;
  }

  bool check_flag(const char* name, PyObject* value) {
    if (!value || value == Py_None) return true;
    if (!PyBool_Check(value)) {
      wrong_argument_type(request_.shown, name, "bool or None", value);
      return false;
    }
    map_given_ = true;
    return true;
  }

  bool read_template_options() {
    switch (request_.input) {
      case Input::Source:
        return source_fits(state_, text_) &&
               read_base_path(state_, request_.shown, argument(request_.base_path), options_);
      case Input::Virtual:
        modules_ = read_modules(state_, argument(request_.template_slot));
        return modules_.has_value();
      case Input::File:
      case Input::Loaded:
        return true;
    }
    return true;
  }

  const ModuleState& state_;
  const Signature& request_;
  PyObject* const* bound_;
  quarl::LoadedTemplatePtr loaded_;
  // The source, the path, or the entry's key: a view of the argument's text
  // (of path_ for a path), which lives as long as the call.
  std::string_view text_;
  std::string path_;
  std::optional<quarl::ModuleMap> modules_;
  // The variables' values, which options_ refers to: held for as long as the
  // call runs (the references they borrow are dropped with the lock held).
  ConvertedValues values_;
  quarl::CompileOptions options_;
  bool source_map_ = false;
  bool sources_content_ = false;
  bool map_given_ = false;
};

template <const Signature& request>
PyObject* function(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                   PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[kMaxParams];
    if (!bind_arguments(request.shown, request.params, args, nargs, kwnames, bound))
      return nullptr;
    return Invocation(state, request, bound).run();
  });
}

// A loaded template's method: the module function's arguments but the
// template, which is `self`.
template <const Signature& request>
PyObject* loaded_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const ModuleState& state = module_state_of(Py_TYPE(self));
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[kMaxParams];
    if (!bind_arguments(request.shown, request.params, args, nargs, kwnames, bound)) return nullptr;
    return Invocation(state, request, bound, unbox<quarl::LoadedTemplatePtr>(self)).run();
  });
}

// A fast-call function in a method table, which stores every function as a
// PyCFunction.
#define TESSEL_FUNCTION(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

PyMethodDef function_defs[] = {
    {kCompile.name, TESSEL_FUNCTION(function<kCompile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "compile(source, *, vars=None, base_path=None, source_map=False, "
         "sources_content=False, frontmatter='keep')\n--\n\n"
         "Compile an QUARL template source string.\n\n"
         "`vars` is an optional mapping of runtime variable overrides; `base_path` (str or\n"
         "`os.PathLike`) sets the base directory for resolving `@import` paths (defaults to\n"
         "the current working directory; an explicit empty string raises "
         "`quarl::invalid_options`\n"
         "rather than silently resolving against an empty path). `source_map=True` appends a\n"
         "Source Map v3 document to the result; `sources_content=True` embeds original source\n"
         "text in the map (requires `source_map=True`). `frontmatter=\"drop\"` leaves the\n"
         "frontmatter block out of Markdown output (default `\"keep\"`). All are keyword-only.")},
    {kCompileFile.name, TESSEL_FUNCTION(function<kCompileFile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("compile_file(path, *, vars=None, source_map=False, sources_content=False, "
               "frontmatter='keep')\n--\n\n"
               "Compile an QUARL template file (`path` is a str or `os.PathLike`).\n\n"
               "The base directory is derived from the file's own directory, so there is no\n"
               "`base_path` argument. `vars`, `source_map`, `sources_content` and `frontmatter`\n"
               "are keyword-only, as for [`compile`].\n"
               "Dependencies are absolute paths.")},
    {kCompileVirtual.name, TESSEL_FUNCTION(function<kCompileVirtual>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "compile_virtual(modules, entry, *, vars=None, source_map=False, "
         "sources_content=False, frontmatter='keep')\n--\n\n"
         "Compile a module from an in-memory virtual filesystem.\n\n"
         "`modules` maps module key \u2192 source; `entry` is the key to compile and must be a\n"
         "key present in `modules`. `vars`, `source_map`, `sources_content` and\n"
         "`frontmatter` are keyword-only, as for [`compile`]. No source injection occurs\n"
         "\u2014 all modules (entry included) are supplied by the caller.")},
    {kCheck.name, TESSEL_FUNCTION(function<kCheck>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "check(source, *, vars=None, base_path=None, source_map=None, "
         "sources_content=None)\n--\n\n"
         "Check (validate) an QUARL template source string without rendering output.\n\n"
         "`vars` and `base_path` mirror [`compile`]. Returns a [`CheckResult`].\n\n"
         "`source_map` and `sources_content` are **not** valid options for `check`\n"
         "\u2014 source maps are a compile-only concept. Passing either keyword raises\n"
         "`QuarlError(code=\"quarl::invalid_options\")` immediately (the same split of\n"
         "options as in the other language bindings).")},
    {kCheckFile.name, TESSEL_FUNCTION(function<kCheckFile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("check_file(path, *, vars=None)\n--\n\n"
               "Check (validate) an QUARL template file without rendering output.")},
    {kCheckVirtual.name, TESSEL_FUNCTION(function<kCheckVirtual>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("check_virtual(modules, entry, *, vars=None)\n--\n\n"
               "Check (validate) a module from an in-memory virtual filesystem.")},
    {kLint.name, TESSEL_FUNCTION(function<kLint>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("lint(source, *, vars=None, base_path=None, rules=None)\n--\n\n"
               "Lint an QUARL template source string for static analysis findings.\n\n"
               "Runs the check gate first \u2014 on a compile error, raises [`QuarlError`] with the same\n"
               "attributes as [`compile`]. On a clean gate, applies the lint rules and returns the\n"
               "canonical [`LintResult`].\n\n"
               "`vars`, `base_path`, and `rules` are all keyword-only.")},
    {kLintFile.name, TESSEL_FUNCTION(function<kLintFile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("lint_file(path, *, vars=None, rules=None)\n--\n\n"
               "Lint an QUARL template file (`path` is a str or `os.PathLike`).\n\n"
               "The base directory is derived from the file's own directory. `vars` and `rules`\n"
               "are keyword-only. No `base_path` argument \u2014 mirrors [`compile_file`].")},
    {kLintVirtual.name, TESSEL_FUNCTION(function<kLintVirtual>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("lint_virtual(modules, entry, *, vars=None, rules=None)\n--\n\n"
               "Lint a module from an in-memory virtual filesystem.\n\n"
               "`modules` maps module key \u2192 source string; `entry` is the key to lint. `vars` and\n"
               "`rules` are keyword-only. Mirrors [`compile_virtual`] for the virtual-FS surface.")},
    {kIndex.name, TESSEL_FUNCTION(function<kIndex>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("index(source, *, vars=None, base_path=None)\n--\n\n"
               "The index of an QUARL template source string, as canonical JSON text.\n\n"
               "What the template and every module it loads define, use and link to, the\n"
               "caller's variables it reads, and what fails the check gate. `tessel.index` wraps\n"
               "it in a [`TemplateIndex`]. `vars` and `base_path` mirror [`check`].")},
    {kIndexFile.name, TESSEL_FUNCTION(function<kIndexFile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("index_file(path, *, vars=None)\n--\n\n"
               "The index of an QUARL template file, as canonical JSON text (see [`index`]).")},
    {kIndexVirtual.name, TESSEL_FUNCTION(function<kIndexVirtual>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("index_virtual(modules, entry, *, vars=None)\n--\n\n"
               "The index of a module of an in-memory virtual filesystem, as canonical JSON text (see\n"
               "[`index`]).")},
    {kScanImports.name, TESSEL_FUNCTION(function<kScanImports>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("scan_imports(source, /)\n--\n\n"
               "Extract all import / re-export paths from an QUARL source string.\n\n"
               "Returns a deduplicated `list[str]` in resolution order (frontmatter and\n"
               "`@extends` paths first), or `[]` when there are none. `source` is "
               "positional-only.")},
    {kFormat.name, TESSEL_FUNCTION(function<kFormat>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("format(source, /)\n--\n\n"
               "Format an QUARL template source string into its one canonical layout.\n\n"
               "Only template syntax is rewritten: `{{ expr }}` with one space inside the braces,\n"
               "directive lines in one spelling, expressions spaced one way; Markdown text, fenced\n"
               "code, the frontmatter, escapes and line endings stay as they are. The result is\n"
               "checked to parse to the same tree as `source` (raising\n"
               "`QuarlError(code=\"quarl::formatter_invariant\")` otherwise); a template that does\n"
               "not parse raises its syntax error. `source` is positional-only.")},
    {kLoad.name, TESSEL_FUNCTION(function<kLoad>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("load(source, *, base_path=None)\n--\n\n"
               "Load a template source string once, with every module it reaches, as a\n"
               "[`LoadedTemplate`] to render many times (`tessel.Template` wraps it). `base_path`\n"
               "as for [`compile`]; raises the [`QuarlError`] compile would for the same input\n"
               "whatever its variables.")},
    {kLoadFile.name, TESSEL_FUNCTION(function<kLoadFile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("load_file(path)\n--\n\n"
               "Load a template file once (see [`load`]); its modules are read now and never again.")},
    {kLoadVirtual.name, TESSEL_FUNCTION(function<kLoadVirtual>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("load_virtual(modules, entry)\n--\n\n"
               "Load a module of an in-memory virtual filesystem once (see [`load`]).")},
    {"load_snapshot", load_snapshot, METH_O,
     PyDoc_STR("load_snapshot(snapshot, /)\n--\n\n"
               "Load again what [`LoadedTemplate.snapshot`] gave, from its texts alone: no file is read.")},
    {nullptr, nullptr, 0, nullptr},
};

PyMethodDef loaded_method_defs[] = {
    {kLoadedCompile.name, TESSEL_FUNCTION(loaded_method<kLoadedCompile>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("compile($self, /, vars=None, *, source_map=False, sources_content=False, "
               "frontmatter='keep')\n--\n\n"
               "What [`compile`] gives for the input this template was loaded from.")},
    {kLoadedCheck.name, TESSEL_FUNCTION(loaded_method<kLoadedCheck>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("check($self, /, vars=None)\n--\n\nWhat [`check`] gives for the input this template was loaded from.")},
    {kLoadedLint.name, TESSEL_FUNCTION(loaded_method<kLoadedLint>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("lint($self, /, rules=None, *, vars=None)\n--\n\n"
               "What [`lint`] gives for the input this template was loaded from.")},
    {kLoadedIndex.name, TESSEL_FUNCTION(loaded_method<kLoadedIndex>), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("index($self, /, vars=None)\n--\n\n"
               "What [`index`] gives for the input this template was loaded from, as canonical JSON text.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return function_defs; }
PyMethodDef* loaded_template_methods() noexcept { return loaded_method_defs; }

}  // namespace tessel
