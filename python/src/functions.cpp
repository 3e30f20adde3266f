#include "functions.hpp"

#include <optional>
#include <string>
#include <utility>

#include "args.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "quarl/compile.hpp"
#include "results.hpp"
#include "text.hpp"

namespace tessel {
namespace {

using quarl::Value;

constexpr std::size_t kMaxModuleCount = 256;
constexpr const char* kInvalidOptions = "quarl::invalid_options";
constexpr const char* kResourceLimit = "quarl::resource_limit";

// The interpreter lock released for as long as it lives. No Python object may
// be touched meanwhile.
class WithoutGil {
 public:
  WithoutGil() noexcept : saved_(PyEval_SaveThread()) {}
  ~WithoutGil() { PyEval_RestoreThread(saved_); }
  WithoutGil(const WithoutGil&) = delete;
  WithoutGil& operator=(const WithoutGil&) = delete;

 private:
  PyThreadState* saved_;
};

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

bool read_vars(const ModuleState& state, PyObject* value, quarl::CompileOptions& options) {
  if (!value || value == Py_None) return true;
  std::string error;
  std::optional<Value> vars = to_value(value, error);
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
  options.vars = vars->as_object();
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

[[nodiscard]] bool module_count_fits(const ModuleState& state, std::size_t count) {
  if (count <= kMaxModuleCount) return true;
  raise_binding_error(state, kResourceLimit,
                      "modules exceeds maximum module count of " + std::to_string(kMaxModuleCount) +
                          " (" + std::to_string(count) + " provided)");
  return false;
}

std::optional<quarl::ModuleMap> read_modules(const ModuleState& state, PyObject* modules) {
  if (PyDict_Check(modules) && !module_count_fits(state, static_cast<std::size_t>(PyDict_Size(modules))))
    return std::nullopt;
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
  const Value::Object& entries = converted->as_object();
  if (!module_count_fits(state, entries.size())) return std::nullopt;
  quarl::ModuleMap map;
  map.reserve(entries.size());
  std::size_t total = 0;
  for (const auto& [key, text] : entries) {
    if (text.kind() != quarl::ValueKind::String) {
      raise_binding_error(state, kInvalidOptions,
                          "modules[" + debug_quoted(key) + "] must be a string, got " +
                              std::string(quarl::type_name(text)));
      return std::nullopt;
    }
    const std::size_t size = text.as_string().size();
    if (size > quarl::kMaxSourceBytes) {
      raise_binding_error(state, kResourceLimit,
                          "modules[" + debug_quoted(key) + "] exceeds maximum size of " +
                              std::to_string(quarl::kMaxSourceBytes) + " bytes (" +
                              std::to_string(size) + " bytes provided)");
      return std::nullopt;
    }
    total += size;
    if (total > quarl::kMaxSourceBytes) {
      raise_binding_error(state, kResourceLimit,
                          "modules aggregate size exceeds maximum of " +
                              std::to_string(quarl::kMaxSourceBytes) + " bytes");
      return std::nullopt;
    }
    map.emplace(key, text.as_string());
  }
  return map;
}

// ---- running the core ----------------------------------------------------------------

// Runs `call` (a core entry point) on `options` without the interpreter lock.
// The options move into the released region and are freed there as well:
// converted variables can be large.
template <class Call>
auto released(quarl::CompileOptions&& options, Call&& call) {
  const WithoutGil unlocked;
  const quarl::CompileOptions owned = std::move(options);
  return call(owned);
}

template <class Call>
PyObject* run_compile(const ModuleState& state, quarl::CompileOptions&& options, Call&& call) {
  // The canonical value is built while the lock is still released.
  auto canonical = released(std::move(options), [&](const quarl::CompileOptions& owned)
                                                    -> quarl::Outcome<Value> {
    quarl::Outcome<quarl::CompileResult> result = call(owned);
    if (!result) return std::unexpected(std::move(result.error()));
    return quarl::to_canonical_json(std::move(*result));
  });
  if (!canonical) return raise_failure(state, canonical.error());
  return make_compile_result(state, std::move(*canonical));
}

template <class Call>
PyObject* run_check(const ModuleState& state, quarl::CompileOptions&& options, Call&& call) {
  quarl::Outcome<quarl::CheckResult> result = released(std::move(options), call);
  if (!result) return raise_failure(state, result.error());
  return make_check_result(state, std::move(result->warnings));
}

using Arguments = PyObject* const*;

// ---- the functions -------------------------------------------------------------------------

constexpr Param kCompileParams[] = {
    {"source", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"base_path", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
};

PyObject* compile(PyObject* module, Arguments args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind_arguments("compile", kCompileParams, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<std::string_view> source =
        text_argument(state, "compile", "source", bound[0]);
    if (!source) return nullptr;
    const std::optional<bool> source_map = bool_argument("compile", "source_map", bound[3], false);
    if (!source_map) return nullptr;
    const std::optional<bool> sources_content =
        bool_argument("compile", "sources_content", bound[4], false);
    if (!sources_content) return nullptr;

    quarl::CompileOptions options;
    if (!source_fits(state, *source) || !read_base_path(state, "compile", bound[2], options) ||
        !read_vars(state, bound[1], options) ||
        !read_source_map_options(state, *source_map, *sources_content, options))
      return nullptr;
    std::string text(*source);
    return run_compile(state, std::move(options), [&](const quarl::CompileOptions& owned) {
      return quarl::compile_source(std::move(text), owned);
    });
  });
}

// check's source_map and sources_content: None, or a bool that is refused.
bool check_option_given(const char* name, PyObject* value, bool& given) {
  if (!value || value == Py_None) return true;
  if (!PyBool_Check(value)) {
    wrong_argument_type("check", name, "bool or None", value);
    return false;
  }
  given = true;
  return true;
}

PyObject* check(PyObject* module, Arguments args, Py_ssize_t nargs, PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind_arguments("check", kCompileParams, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<std::string_view> source =
        text_argument(state, "check", "source", bound[0]);
    if (!source) return nullptr;
    bool map_given = false;
    if (!check_option_given("source_map", bound[3], map_given) ||
        !check_option_given("sources_content", bound[4], map_given))
      return nullptr;

    quarl::CompileOptions options;
    if (!source_fits(state, *source) || !read_base_path(state, "check", bound[2], options))
      return nullptr;
    if (map_given)
      return raise_binding_error(state, kInvalidOptions,
                                 "source maps are not available for check(); use compile() instead");
    if (!read_vars(state, bound[1], options)) return nullptr;
    std::string text(*source);
    return run_check(state, std::move(options), [&](const quarl::CompileOptions& owned) {
      return quarl::check_source(std::move(text), owned);
    });
  });
}

constexpr Param kCompileFileParams[] = {
    {"path", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
};

PyObject* compile_file(PyObject* module, Arguments args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[4];
    if (!bind_arguments("compile_file", kCompileFileParams, args, nargs, kwnames, bound))
      return nullptr;
    const std::optional<std::string> path =
        path_text_argument(state, "compile_file", "path", bound[0]);
    if (!path) return nullptr;
    const std::optional<bool> source_map =
        bool_argument("compile_file", "source_map", bound[2], false);
    if (!source_map) return nullptr;
    const std::optional<bool> sources_content =
        bool_argument("compile_file", "sources_content", bound[3], false);
    if (!sources_content) return nullptr;

    quarl::CompileOptions options;
    if (!read_vars(state, bound[1], options) ||
        !read_source_map_options(state, *source_map, *sources_content, options))
      return nullptr;
    return run_compile(state, std::move(options), [&](const quarl::CompileOptions& owned) {
      return quarl::compile_file(*path, owned);
    });
  });
}

constexpr Param kCheckFileParams[] = {
    {"path", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
};

PyObject* check_file(PyObject* module, Arguments args, Py_ssize_t nargs,
                     PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[2];
    if (!bind_arguments("check_file", kCheckFileParams, args, nargs, kwnames, bound))
      return nullptr;
    const std::optional<std::string> path =
        path_text_argument(state, "check_file", "path", bound[0]);
    if (!path) return nullptr;
    quarl::CompileOptions options;
    if (!read_vars(state, bound[1], options)) return nullptr;
    return run_check(state, std::move(options), [&](const quarl::CompileOptions& owned) {
      return quarl::check_file(*path, owned);
    });
  });
}

constexpr Param kCompileVirtualParams[] = {
    {"modules", ParamKind::PositionalOrKeyword, true},
    {"entry", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
    {"source_map", ParamKind::KeywordOnly, false},
    {"sources_content", ParamKind::KeywordOnly, false},
};

PyObject* compile_virtual(PyObject* module, Arguments args, Py_ssize_t nargs,
                          PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[5];
    if (!bind_arguments("compile_virtual", kCompileVirtualParams, args, nargs, kwnames, bound))
      return nullptr;
    const std::optional<std::string_view> entry =
        text_argument(state, "compile_virtual", "entry", bound[1]);
    if (!entry) return nullptr;
    const std::optional<bool> source_map =
        bool_argument("compile_virtual", "source_map", bound[3], false);
    if (!source_map) return nullptr;
    const std::optional<bool> sources_content =
        bool_argument("compile_virtual", "sources_content", bound[4], false);
    if (!sources_content) return nullptr;

    std::optional<quarl::ModuleMap> modules = read_modules(state, bound[0]);
    if (!modules) return nullptr;
    quarl::CompileOptions options;
    if (!read_vars(state, bound[2], options) ||
        !read_source_map_options(state, *source_map, *sources_content, options))
      return nullptr;
    const std::string key(*entry);
    return run_compile(state, std::move(options), [&](const quarl::CompileOptions& owned) {
      return quarl::compile_virtual(std::move(*modules), key, owned);
    });
  });
}

constexpr Param kCheckVirtualParams[] = {
    {"modules", ParamKind::PositionalOrKeyword, true},
    {"entry", ParamKind::PositionalOrKeyword, true},
    {"vars", ParamKind::KeywordOnly, false},
};

PyObject* check_virtual(PyObject* module, Arguments args, Py_ssize_t nargs,
                        PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[3];
    if (!bind_arguments("check_virtual", kCheckVirtualParams, args, nargs, kwnames, bound))
      return nullptr;
    const std::optional<std::string_view> entry =
        text_argument(state, "check_virtual", "entry", bound[1]);
    if (!entry) return nullptr;
    std::optional<quarl::ModuleMap> modules = read_modules(state, bound[0]);
    if (!modules) return nullptr;
    quarl::CompileOptions options;
    if (!read_vars(state, bound[2], options)) return nullptr;
    const std::string key(*entry);
    return run_check(state, std::move(options), [&](const quarl::CompileOptions& owned) {
      return quarl::check_virtual(std::move(*modules), key, owned);
    });
  });
}

constexpr Param kScanParams[] = {{"source", ParamKind::PositionalOnly, true}};

PyObject* scan_imports(PyObject* module, Arguments args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    PyObject* bound[1];
    if (!bind_arguments("scan_imports", kScanParams, args, nargs, kwnames, bound)) return nullptr;
    const std::optional<std::string_view> source =
        text_argument(state, "scan_imports", "source", bound[0]);
    if (!source || !source_fits(state, *source)) return nullptr;
    std::string text(*source);
    quarl::Outcome<std::vector<std::string>> paths = [&] {
      const WithoutGil unlocked;
      return quarl::scan_imports(std::move(text));
    }();
    if (!paths) return raise_failure(state, paths.error());
    return to_python(*paths);
  });
}

// A fast-call function in a method table, which stores every function as a
// PyCFunction.
#define TESSEL_FUNCTION(name) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(name))

PyMethodDef function_defs[] = {
    {"compile", TESSEL_FUNCTION(compile), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "compile(source, *, vars=None, base_path=None, source_map=False, "
         "sources_content=False)\n--\n\n"
         "Compile an QUARL template source string.\n\n"
         "`vars` is an optional mapping of runtime variable overrides; `base_path` (str or\n"
         "`os.PathLike`) sets the base directory for resolving `@import` paths (defaults to\n"
         "the current working directory; an explicit empty string raises "
         "`quarl::invalid_options`\n"
         "rather than silently resolving against an empty path). `source_map=True` appends a\n"
         "Source Map v3 document to the result; `sources_content=True` embeds original source\n"
         "text in the map (requires `source_map=True`). All are keyword-only.")},
    {"compile_file", TESSEL_FUNCTION(compile_file), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("compile_file(path, *, vars=None, source_map=False, sources_content=False)\n--\n\n"
               "Compile an QUARL template file (`path` is a str or `os.PathLike`).\n\n"
               "The base directory is derived from the file's own directory, so there is no\n"
               "`base_path` argument. `vars`, `source_map`, and `sources_content` are "
               "keyword-only.\n"
               "Dependencies are absolute paths.")},
    {"compile_virtual", TESSEL_FUNCTION(compile_virtual), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "compile_virtual(modules, entry, *, vars=None, source_map=False, "
         "sources_content=False)\n--\n\n"
         "Compile a module from an in-memory virtual filesystem.\n\n"
         "`modules` maps module key \u2192 source; `entry` is the key to compile and must be a\n"
         "key present in `modules`. `vars`, `source_map`, and `sources_content` are\n"
         "keyword-only. No source injection occurs \u2014 all modules (entry included) are\n"
         "supplied by the caller.")},
    {"check", TESSEL_FUNCTION(check), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR(
         "check(source, *, vars=None, base_path=None, source_map=None, "
         "sources_content=None)\n--\n\n"
         "Check (validate) an QUARL template source string without rendering output.\n\n"
         "`vars` and `base_path` mirror [`compile`]. Returns a [`CheckResult`].\n\n"
         "`source_map` and `sources_content` are **not** valid options for `check`\n"
         "\u2014 source maps are a compile-only concept. Passing either keyword raises\n"
         "`QuarlError(code=\"quarl::invalid_options\")` immediately (the same split of\n"
         "options as in the other language bindings).")},
    {"check_file", TESSEL_FUNCTION(check_file), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("check_file(path, *, vars=None)\n--\n\n"
               "Check (validate) an QUARL template file without rendering output.")},
    {"check_virtual", TESSEL_FUNCTION(check_virtual), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("check_virtual(modules, entry, *, vars=None)\n--\n\n"
               "Check (validate) a module from an in-memory virtual filesystem.")},
    {"scan_imports", TESSEL_FUNCTION(scan_imports), METH_FASTCALL | METH_KEYWORDS,
     PyDoc_STR("scan_imports(source, /)\n--\n\n"
               "Extract all import / re-export paths from an QUARL source string.\n\n"
               "Returns a deduplicated `list[str]` in resolution order (frontmatter and\n"
               "`@extends` paths first), or `[]` when there are none. `source` is "
               "positional-only.")},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace

PyMethodDef* module_functions() noexcept { return function_defs; }

}  // namespace tessel
