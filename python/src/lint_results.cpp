#include "lint_results.hpp"

#include <nlohmann/json.hpp>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "args.hpp"
#include "boxed.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "quarl/lint.hpp"
#include "quarl/result.hpp"
#include "record.hpp"
#include "span.hpp"
#include "text.hpp"

namespace tessel {
namespace {

using quarl::Value;
using quarl::ValueKind;

// ---- the data behind the classes ------------------------------------------------

struct DiagnosticData {
  std::string rule;
  std::string severity;
  std::string message;
  std::optional<std::string> help;
  bool fixable = false;
  std::optional<SpanFields> span;
  std::optional<Value> fix_edits;  // a JSON array of edit objects

  friend bool operator==(const DiagnosticData&, const DiagnosticData&) = default;
};

struct FileReportData {
  std::string file;
  std::vector<DiagnosticData> diagnostics;

  friend bool operator==(const FileReportData&, const FileReportData&) = default;
};

struct LintResultData {
  Value canonical;                   // the backing store
  std::vector<FileReportData> files;  // typed views of canonical["files"]

  friend bool operator==(const LintResultData& a, const LintResultData& b) {
    return a.canonical == b.canonical;
  }
};

// The malformed part of a caller-built lint value.
struct BadState : std::runtime_error {
  using std::runtime_error::runtime_error;
};

Value count_or_null(const std::optional<unsigned long long>& count) {
  return count ? Value::number(static_cast<double>(*count)) : Value::null();
}

Value span_value(const SpanFields& span) {
  return Value::object({{"column", count_or_null(span.column)},
                        {"length", Value::number(static_cast<double>(span.length))},
                        {"line", count_or_null(span.line)},
                        {"offset", Value::number(static_cast<double>(span.offset))}});
}

// The canonical diagnostic object.
Value diagnostic_value(const DiagnosticData& d) {
  return Value::object({{"fix_edits", d.fix_edits ? *d.fix_edits : Value::null()},
                        {"fixable", Value::boolean(d.fixable)},
                        {"help", d.help ? Value::string(*d.help) : Value::null()},
                        {"message", Value::string(d.message)},
                        {"rule", Value::string(d.rule)},
                        {"severity", Value::string(d.severity)},
                        {"span", d.span ? span_value(*d.span) : Value::null()}});
}

Value file_report_value(const FileReportData& report) {
  Value::Array diagnostics;
  for (const DiagnosticData& d : report.diagnostics) diagnostics.push_back(diagnostic_value(d));
  return Value::object(
      {{"diagnostics", Value::array(std::move(diagnostics))}, {"file", Value::string(report.file)}});
}

// ---- reading a canonical lint value -----------------------------------------------

const Value& required(const Value& object, std::string_view key, ValueKind kind,
                      const std::string& where) {
  const Value* value = member(object, key);
  if (!value || value->kind() != kind)
    throw BadState(where + "." + std::string(key) + " must be " +
                   std::string(quarl::type_name(kind)));
  return *value;
}

unsigned long long count(const Value& value, const std::string& where) {
  constexpr double kTwoPow64 = 18446744073709551616.0;
  const bool whole = value.kind() == ValueKind::Number && value.as_number() >= 0 &&
                     value.as_number() < kTwoPow64 &&
                     value.as_number() == static_cast<double>(
                                              static_cast<unsigned long long>(value.as_number()));
  if (!whole) throw BadState(where + " must be a non-negative integer");
  return static_cast<unsigned long long>(value.as_number());
}

std::optional<unsigned long long> optional_count(const Value* value, const std::string& where) {
  if (!value || value->is_null()) return std::nullopt;
  if (value->kind() != ValueKind::Number) throw BadState(where + " must be an integer or null");
  return count(*value, where);
}

DiagnosticData read_diagnostic(const Value& value, const std::string& where) {
  if (value.kind() != ValueKind::Object) throw BadState(where + " must be an object");
  DiagnosticData d;
  d.rule = required(value, "rule", ValueKind::String, where).as_string();
  d.severity = required(value, "severity", ValueKind::String, where).as_string();
  d.message = required(value, "message", ValueKind::String, where).as_string();
  if (const Value* help = member(value, "help"); help && !help->is_null()) {
    if (help->kind() != ValueKind::String) throw BadState(where + ".help must be a string or null");
    d.help = help->as_string();
  }
  if (const Value* fixable = member(value, "fixable")) {
    if (fixable->kind() != ValueKind::Boolean) throw BadState(where + ".fixable must be a boolean");
    d.fixable = fixable->as_boolean();
  }
  if (const Value* span = member(value, "span"); span && !span->is_null()) {
    const std::string at = where + ".span";
    if (span->kind() != ValueKind::Object) throw BadState(at + " must be an object or null");
    d.span = SpanFields{count(required(*span, "offset", ValueKind::Number, at), at + ".offset"),
                        count(required(*span, "length", ValueKind::Number, at), at + ".length"),
                        optional_count(member(*span, "line"), at + ".line"),
                        optional_count(member(*span, "column"), at + ".column")};
  }
  if (const Value* edits = member(value, "fix_edits"); edits && !edits->is_null()) d.fix_edits = *edits;
  return d;
}

std::vector<FileReportData> read_files(const Value& canonical) {
  std::vector<FileReportData> files;
  const Value* list = member(canonical, "files");
  if (!list) return files;
  if (list->kind() != ValueKind::Array) throw BadState("files must be an array");
  for (std::size_t i = 0; i < list->as_array().size(); ++i) {
    const Value& file = list->as_array()[i];
    const std::string where = "files[" + std::to_string(i) + "]";
    if (file.kind() != ValueKind::Object) throw BadState(where + " must be an object");
    FileReportData report{std::string(required(file, "file", ValueKind::String, where).as_string()), {}};
    if (const Value* diagnostics = member(file, "diagnostics")) {
      if (diagnostics->kind() != ValueKind::Array)
        throw BadState(where + ".diagnostics must be an array");
      for (std::size_t k = 0; k < diagnostics->as_array().size(); ++k)
        report.diagnostics.push_back(read_diagnostic(
            diagnostics->as_array()[k], where + ".diagnostics[" + std::to_string(k) + "]"));
    }
    files.push_back(std::move(report));
  }
  return files;
}

// ---- shared helpers ------------------------------------------------------------


const ModuleState& state_of(PyObject* self) noexcept { return module_state_of(Py_TYPE(self)); }

std::string bool_text(bool flag) { return flag ? "true" : "false"; }

// ---- LintDiagnostic --------------------------------------------------------------

const DiagnosticData& diagnostic(PyObject* self) noexcept { return unbox<DiagnosticData>(self); }

PyObject* optional_text(const std::optional<std::string>& text) noexcept {
  if (text) return to_python(*text);
  Py_RETURN_NONE;
}

std::optional<std::string> text_of(PyObject* object) {
  const std::optional<std::string_view> text = utf8_of(object);
  return text ? std::optional<std::string>(*text) : std::nullopt;
}

PyObject* lint_diagnostic_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"rule",     "severity", "message",        "help",
                                   "fixable",  "span",     "fix_edits_json", nullptr};
  PyObject* rule = nullptr;
  PyObject* severity = nullptr;
  PyObject* message = nullptr;
  PyObject* help = Py_None;
  PyObject* fixable = Py_False;
  PyObject* span = Py_None;
  PyObject* edits = Py_None;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UUU|OO!OO:LintDiagnostic",
                                   const_cast<char**>(keywords), &rule, &severity, &message,
                                   &help, &PyBool_Type, &fixable, &span, &edits))
    return nullptr;
  const ModuleState& state = module_state_of(type);
  return guarded(state, [&]() -> PyObject* {
    if (help != Py_None && !PyUnicode_Check(help))
      return wrong_argument_type("LintDiagnostic", "help", "str or None", help);
    DiagnosticData d;
    std::optional<std::string> rule_text = text_of(rule);
    std::optional<std::string> severity_text = text_of(severity);
    std::optional<std::string> message_text = text_of(message);
    if (!rule_text || !severity_text || !message_text) return nullptr;
    d.rule = std::move(*rule_text);
    d.severity = std::move(*severity_text);
    d.message = std::move(*message_text);
    if (help != Py_None) {
      d.help = text_of(help);
      if (!d.help) return nullptr;
    }
    d.fixable = fixable == Py_True;
    if (span != Py_None) {
      d.span = span_fields(state, span);
      if (!d.span) return wrong_argument_type("LintDiagnostic", "span", "Span or None", span);
    }
    if (edits != Py_None) {
      if (!PyUnicode_Check(edits))
        return PyErr_Format(PyExc_TypeError,
                            "LintDiagnostic() argument 'fix_edits_json' must be str or None");
      const std::optional<std::string> json = text_of(edits);
      if (!json) return nullptr;
      try {
        d.fix_edits = quarl::value_from_json(nlohmann::json::parse(*json));
      } catch (const nlohmann::json::exception& error) {
        return PyErr_Format(PyExc_ValueError, "fix_edits_json is not valid JSON: %s",
                            error.what());
      } catch (const quarl::Error& error) {
        return PyErr_Format(PyExc_ValueError, "fix_edits_json is not valid JSON: %s",
                            error.message().c_str());
      }
    }
    return box(reinterpret_cast<PyObject*>(type), std::move(d));
  });
}

PyObject* new_none() noexcept { Py_RETURN_NONE; }

PyObject* count_object(const std::optional<unsigned long long>& count) noexcept {
  if (count) return PyLong_FromUnsignedLongLong(*count);
  Py_RETURN_NONE;
}

// A Span's dict: offset, length, line, column.
PyObject* span_dict(const SpanFields& span) noexcept {
  const PyRef offset = PyRef::steal(PyLong_FromUnsignedLongLong(span.offset));
  const PyRef length = PyRef::steal(PyLong_FromUnsignedLongLong(span.length));
  const PyRef line = PyRef::steal(count_object(span.line));
  const PyRef column = PyRef::steal(count_object(span.column));
  if (!offset || !length || !line || !column) return nullptr;
  return Py_BuildValue("{s:O,s:O,s:O,s:O}", "offset", offset.get(), "length", length.get(), "line",
                       line.get(), "column", column.get());
}

// The diagnostic as a dict in the order of its attributes.
PyObject* diagnostic_dict(const DiagnosticData& d) noexcept {
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, PyRef> items[] = {
      {"rule", PyRef::steal(to_python(d.rule))},
      {"severity", PyRef::steal(to_python(d.severity))},
      {"message", PyRef::steal(to_python(d.message))},
      {"help", PyRef::steal(optional_text(d.help))},
      {"fixable", PyRef::steal(PyBool_FromLong(d.fixable))},
      {"span", PyRef::steal(d.span ? span_dict(*d.span) : new_none())},
      {"fix_edits", PyRef::steal(d.fix_edits ? to_python(*d.fix_edits) : new_none())},
  };
  for (const auto& [key, value] : items)
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  return dict.release();
}

PyObject* diagnostic_to_json(PyObject* self, PyObject*) noexcept {
  return guarded(state_of(self), [self] { return to_json_text(diagnostic_value(diagnostic(self))); });
}

PyObject* span_object(const ModuleState& state, const std::optional<SpanFields>& span) noexcept {
  return span ? make_span(state, *span) : new_none();
}

struct LintDiagnosticClass {
  using Data = DiagnosticData;
  static constexpr const char* kName = "tessel._tessel.LintDiagnostic";
  static constexpr std::array<Field<Data>, 7> kFields = {{
      text_field<Data, &Data::rule>("rule"),
      text_field<Data, &Data::severity>("severity"),
      text_field<Data, &Data::message>("message"),
      {"help", [](const ModuleState&, const Data& d) noexcept { return optional_text(d.help); },
       nullptr},
      {"fixable", [](const ModuleState&, const Data& d) noexcept { return PyBool_FromLong(d.fixable); },
       [](const Data& d) { return bool_text(d.fixable); }},
      {"span", [](const ModuleState& state, const Data& d) noexcept { return span_object(state, d.span); },
       nullptr},
      {"fix_edits",
       [](const ModuleState&, const Data& d) noexcept {
         return d.fix_edits ? to_python(*d.fix_edits) : new_none();
       },
       nullptr,
       "The byte-range replacement edits the fix engine would apply, or `None`.\n\n"
       "Each edit is a dict with keys `start`, `end` (byte offsets into the\n"
       "source), and `new_text` (replacement string). Returns `None` when no\n"
       "edits are associated with this diagnostic."},
  }};
  static constexpr RecordDocs kDocs = {
      "LintDiagnostic(rule, severity, message, help=None, fixable=False, span=None, "
      "fix_edits_json=None)\n--\n\n"
      "A single lint finding within a [`LintFileReport`].\n\n"
      "Maps to the canonical wire-format diagnostic object\n"
      "`{ rule, severity, message, help, fixable, span, fix_edits }`.\n"
      "`help`, `span`, and `fix_edits` are always present as Python attributes\n"
      "(never missing \u2014 no `getattr` default needed); their value is `None` when\n"
      "the rule emits no hint, produces no source span, or carries no fix edits\n"
      "respectively.  In the JSON wire format all three are JSON `null` (not\n"
      "absent keys) when `None`.",
      "to_dict($self, /)\n--\n\nA new dict with the keys `rule`, `severity`, `message`,\n"
      "`help`, `fixable`, `span` and `fix_edits`; the last three are `None` when empty.",
      "to_json($self, /)\n--\n\nThe canonical wire form of the diagnostic as compact JSON.",
      "__reduce__($self, /)\n--\n\nReconstruct on unpickle via `LintDiagnostic(rule, "
      "severity, message,\nhelp, fixable, span, fix_edits_json)`."};
  static constexpr auto construct = lint_diagnostic_new;
  static constexpr auto to_json = diagnostic_to_json;
  // The span as a dict, as on the wire.
  static PyObject* to_dict(const ModuleState&, const Data& d) noexcept { return diagnostic_dict(d); }
  // The edits go back as the JSON text the constructor reads.
  static PyObject* reduce_args(const ModuleState& state, const Data& d) noexcept {
    return guarded(state, [&]() -> PyObject* {
      const PyRef span = PyRef::steal(span_object(state, d.span));
      const PyRef edits = PyRef::steal(d.fix_edits ? to_json_text(*d.fix_edits) : new_none());
      const PyRef help = PyRef::steal(optional_text(d.help));
      if (!span || !edits || !help) return nullptr;
      return Py_BuildValue("(s#s#s#OOOO)", d.rule.data(), static_cast<Py_ssize_t>(d.rule.size()),
                           d.severity.data(), static_cast<Py_ssize_t>(d.severity.size()),
                           d.message.data(), static_cast<Py_ssize_t>(d.message.size()), help.get(),
                           d.fixable ? Py_True : Py_False, span.get(), edits.get());
    });
  }
};

// ---- LintFileReport ------------------------------------------------------------

const FileReportData& file_report(PyObject* self) noexcept { return unbox<FileReportData>(self); }

// A new list of LintDiagnostic objects.
PyObject* diagnostic_list(const ModuleState& state, const std::vector<DiagnosticData>& items) noexcept {
  return new_list(items.size(),
                  [&](std::size_t i) { return box(state.lint_diagnostic_type, items[i]); });
}

PyObject* lint_file_report_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"file", "diagnostics", nullptr};
  PyObject* file = nullptr;
  PyObject* diagnostics = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UO:LintFileReport", const_cast<char**>(keywords),
                                   &file, &diagnostics))
    return nullptr;
  const ModuleState& state = module_state_of(type);
  return guarded(state, [&]() -> PyObject* {
    std::optional<std::string> file_text = text_of(file);
    if (!file_text) return nullptr;
    FileReportData report{std::move(*file_text), {}};
    const PyRef iterator = PyRef::steal(PyObject_GetIter(diagnostics));
    if (!iterator)
      return raise_binding_error(state, "quarl::invalid_options",
                                 "diagnostics must be iterable: " + take_exception_text("unknown error"));
    while (PyRef item = PyRef::steal(PyIter_Next(iterator.get()))) {
      if (Py_TYPE(item.get()) != as_type(state.lint_diagnostic_type)) {
        return raise_binding_error(
            state, "quarl::invalid_options",
            "diagnostics must be a list of LintDiagnostic: found " + type_name(item.get()));
      }
      report.diagnostics.push_back(diagnostic(item.get()));
    }
    if (PyErr_Occurred()) return nullptr;
    return box(reinterpret_cast<PyObject*>(type), std::move(report));
  });
}

PyObject* file_report_dict(const FileReportData& report) noexcept {
  PyRef diagnostics = PyRef::steal(PyList_New(0));
  if (!diagnostics) return nullptr;
  for (const DiagnosticData& d : report.diagnostics) {
    const PyRef item = PyRef::steal(diagnostic_dict(d));
    if (!item || PyList_Append(diagnostics.get(), item.get()) < 0) return nullptr;
  }
  const PyRef file = PyRef::steal(to_python(report.file));
  if (!file) return nullptr;
  return Py_BuildValue("{s:O,s:O}", "file", file.get(), "diagnostics", diagnostics.get());
}

PyObject* file_report_to_json(PyObject* self, PyObject*) noexcept {
  return guarded(state_of(self), [self] { return to_json_text(file_report_value(file_report(self))); });
}

struct LintFileReportClass {
  using Data = FileReportData;
  static constexpr const char* kName = "tessel._tessel.LintFileReport";
  static constexpr std::array<Field<Data>, 2> kFields = {{
      text_field<Data, &Data::file>("file"),
      {"diagnostics",
       [](const ModuleState& state, const Data& r) noexcept {
         return diagnostic_list(state, r.diagnostics);
       },
       [](const Data& r) { return "<" + std::to_string(r.diagnostics.size()) + " item(s)>"; }},
  }};
  static constexpr RecordDocs kDocs = {
      "LintFileReport(file, diagnostics)\n--\n\n"
      "A per-file findings group from [`LintResult::files`].\n\n"
      "Contains the file path (`file`) and a typed list of findings (`diagnostics`).\n"
      "Each diagnostic is a [`LintDiagnostic`] instance with fully-typed attributes.",
      "to_dict($self, /)\n--\n\nA new dict with the keys `\"file\"` and `\"diagnostics\"` "
      "(a list of\ndiagnostic dicts): the canonical wire shape.",
      "to_json($self, /)\n--\n\nThe canonical wire form of the file report as compact JSON.",
      "__reduce__($self, /)\n--\n\nReconstruct on unpickle via `LintFileReport(file, "
      "diagnostics)`."};
  static constexpr auto construct = lint_file_report_new;
  static constexpr auto to_json = file_report_to_json;
  // The diagnostics as dicts, as on the wire.
  static PyObject* to_dict(const ModuleState&, const Data& r) noexcept { return file_report_dict(r); }
};

// ---- LintResult ------------------------------------------------------------------

const LintResultData& lint_result(PyObject* self) noexcept { return unbox<LintResultData>(self); }

// `checked`: the value comes from a caller, who may have written anything.
PyObject* make_result(const ModuleState& state, PyObject* type, Value canonical, bool checked = false) noexcept {
  try {
    std::vector<FileReportData> files = read_files(canonical);
    // Only a value the lint functions could have returned.
    if (const std::optional<std::string> problem = checked ? quarl::lint_result_problem(canonical) : std::nullopt)
      throw BadState(*problem);
    return box(type, LintResultData{std::move(canonical), std::move(files)});
  } catch (const BadState& problem) {
    return raise_binding_error(state, "quarl::invalid_options",
                               std::string("invalid LintResult state: ") + problem.what());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* lint_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"canonical", nullptr};
  PyObject* state_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:LintResult", const_cast<char**>(keywords),
                                   &state_object))
    return nullptr;
  const ModuleState& state = module_state_of(type);
  return guarded(state, [&]() -> PyObject* {
    std::string error;
    std::optional<Value> value = to_value(state_object, error);
    if (!value) {
      if (error.empty()) return nullptr;
      return raise_binding_error(state, "quarl::invalid_options",
                                 "invalid LintResult state: " + error);
    }
    if (value->kind() != ValueKind::Object)
      return raise_binding_error(state, "quarl::invalid_options",
                                 "invalid LintResult state: expected a mapping, got " +
                                     std::string(quarl::type_name(*value)));
    return make_result(state, reinterpret_cast<PyObject*>(type), std::move(*value), true);
  });
}

bool truncated(const LintResultData& r) noexcept {
  const Value* flag = member(r.canonical, "truncated");
  return flag && flag->kind() == ValueKind::Boolean && flag->as_boolean();
}

PyObject* lint_result_to_json(PyObject* self, PyObject*) noexcept {
  return to_json_text(lint_result(self).canonical);
}

struct LintResultClass {
  using Data = LintResultData;
  static constexpr const char* kName = "tessel._tessel.LintResult";
  static constexpr std::array<Field<Data>, 4> kFields = {{
      {"version",
       [](const ModuleState&, const Data& r) noexcept {
         const Value* version = member(r.canonical, "version");
         if (version && version->kind() == ValueKind::Number) return to_python(*version);
         return PyLong_FromLong(0);
       },
       nullptr, "Wire schema version \u2014 currently always `1`."},
      {"files",
       [](const ModuleState& state, const Data& r) noexcept {
         return new_list(r.files.size(),
                         [&](std::size_t i) { return box(state.lint_file_report_type, r.files[i]); });
       },
       nullptr,
       "Per-file finding groups as a list of typed [`LintFileReport`] objects.\n\n"
       "Each report's `.file` is the path key and `.diagnostics` a list of\n"
       "[`LintDiagnostic`] objects; `result.to_dict()[\"files\"]` or `report.to_dict()`\n"
       "give the plain dict shape."},
      {"truncated",
       [](const ModuleState&, const Data& r) noexcept { return PyBool_FromLong(truncated(r)); },
       nullptr, "`True` when the per-file diagnostic cap was hit; re-run after fixing."},
      {"lint_warnings",
       [](const ModuleState&, const Data& r) noexcept {
         const Value* warnings = member(r.canonical, "lint_warnings");
         if (warnings && warnings->kind() == ValueKind::Array) return to_python(*warnings);
         return PyList_New(0);
       },
       nullptr,
       "Warnings produced during linting \u2014 for example, unknown rule names\n"
       "passed in the `rules` mapping.\n\n"
       "The wire key is absent when there are none: `\"lint_warnings\" not in\n"
       "r.to_dict()` and `r.lint_warnings == []` both describe the same \"no warnings\"\n"
       "state."},
  }};
  static constexpr RecordDocs kDocs = {
      "LintResult(canonical)\n--\n\n"
      "The result of [`lint`], [`lint_file`], or [`lint_virtual`].\n\n"
      "Stores the canonical `to_canonical_json()` value as its single backing store;\n"
      "typed getters and `to_dict()`/`to_json()` read from it so they can never diverge.\n"
      "`__eq__` is wire equality. Its JSON text is byte-identical to the lint results of\n"
      "the other language bindings.",
      "to_dict($self, /)\n--\n\nThe canonical lint value as plain dicts and lists "
      "(`lint_warnings`\nabsent when there are none).",
      "to_json($self, /)\n--\n\nThe canonical lint value as compact JSON text with sorted "
      "keys.",
      "__reduce__($self, /)\n--\n\nReconstruct on unpickle via "
      "`LintResult(canonical_dict)`."};
  static constexpr auto construct = lint_result_new;
  static constexpr auto to_json = lint_result_to_json;
  // The canonical value is the state, whole.
  static PyObject* to_dict(const ModuleState&, const Data& r) noexcept {
    return to_python(r.canonical);
  }
  static PyObject* reduce_args(const ModuleState&, const Data& r) noexcept {
    const PyRef state = PyRef::steal(to_python(r.canonical));
    return state ? PyTuple_Pack(1, state.get()) : nullptr;
  }
  static std::string repr(const Data& r) {
    const Value* version = member(r.canonical, "version");
    const std::string version_text =
        version && version->kind() == ValueKind::Number ? quarl::to_text(*version) : "0";
    return "LintResult(version=" + version_text + ", files=<" + std::to_string(r.files.size()) +
           " file(s)>, truncated=" + bool_text(truncated(r)) + ")";
  }
};

}  // namespace

PyObject* create_lint_result_class(PyObject* module) noexcept {
  return Record<LintResultClass>::create(module);
}
PyObject* create_lint_diagnostic_class(PyObject* module) noexcept {
  return Record<LintDiagnosticClass>::create(module);
}
PyObject* create_lint_file_report_class(PyObject* module) noexcept {
  return Record<LintFileReportClass>::create(module);
}

PyObject* make_lint_result(const ModuleState& state, Value canonical) noexcept {
  return make_result(state, state.lint_result_type, std::move(canonical));
}

}  // namespace tessel
