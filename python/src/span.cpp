#include "span.hpp"

#include <optional>
#include <string>

#include "args.hpp"
#include "boxed.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "record.hpp"

namespace tessel {
namespace {

using Count = std::optional<unsigned long long>;

PyObject* count_or_none(const Count& count) noexcept {
  if (!count) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*count);
}

std::string count_text(const Count& count, const char* absent) {
  return count ? std::to_string(*count) : absent;
}

// Reads a constructor argument as an unsigned 64-bit count: an int, or also
// None when `optional`. Negative ints raise ValueError, ints of 2**64 and
// more OverflowError.
bool read_count(PyObject* arg, const char* name, bool optional, Count& out) noexcept {
  if (optional && (!arg || arg == Py_None)) return true;
  if (!PyLong_Check(arg)) {
    wrong_argument_type("Span", name, optional ? "int or None" : "int", arg);
    return false;
  }
  int overflow = 0;
  const long long signed_value = PyLong_AsLongLongAndOverflow(arg, &overflow);
  if (signed_value == -1 && PyErr_Occurred()) return false;
  if (overflow < 0 || (overflow == 0 && signed_value < 0)) {
    PyErr_Format(PyExc_ValueError, "Span() argument '%s' must not be negative, got %R", name, arg);
    return false;
  }
  out = PyLong_AsUnsignedLongLong(arg);
  return !(*out == static_cast<unsigned long long>(-1) && PyErr_Occurred());
}

PyObject* span_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"offset", "length", "line", "column", nullptr};
  PyObject* offset = nullptr;
  PyObject* length = nullptr;
  PyObject* line = nullptr;
  PyObject* column = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|OO:Span", const_cast<char**>(keywords),
                                   &offset, &length, &line, &column))
    return nullptr;
  Count offset_value, length_value, line_value, column_value;
  if (!read_count(offset, "offset", false, offset_value) ||
      !read_count(length, "length", false, length_value) ||
      !read_count(line, "line", true, line_value) ||
      !read_count(column, "column", true, column_value))
    return nullptr;
  return box(reinterpret_cast<PyObject*>(type),
             SpanFields{*offset_value, *length_value, line_value, column_value});
}

PyObject* span_to_json(PyObject* self, PyObject*) noexcept {
  return guarded(module_state_of(Py_TYPE(self)), [self] {
    const SpanFields& span = unbox<SpanFields>(self);
    const std::string text = "{\"column\":" + count_text(span.column, "null") +
                             ",\"length\":" + std::to_string(span.length) +
                             ",\"line\":" + count_text(span.line, "null") +
                             ",\"offset\":" + std::to_string(span.offset) + "}";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

struct SpanClass {
  using Data = SpanFields;
  static constexpr const char* kName = "tessel._tessel.Span";
  static constexpr std::array<Field<Data>, 4> kFields = {{
      {"offset", [](const ModuleState&, const Data& s) noexcept { return PyLong_FromUnsignedLongLong(s.offset); },
       [](const Data& s) { return std::to_string(s.offset); }},
      {"length", [](const ModuleState&, const Data& s) noexcept { return PyLong_FromUnsignedLongLong(s.length); },
       [](const Data& s) { return std::to_string(s.length); }},
      {"line", [](const ModuleState&, const Data& s) noexcept { return count_or_none(s.line); },
       [](const Data& s) { return count_text(s.line, "None"); }},
      {"column", [](const ModuleState&, const Data& s) noexcept { return count_or_none(s.column); },
       [](const Data& s) { return count_text(s.column, "None"); }},
  }};
  static constexpr RecordDocs kDocs = {
      "Span(offset, length, line=None, column=None)\n--\n\n"
      "A source span attached to an [`QuarlError`].\n\n"
      "`offset`/`length` are byte offsets into the source; `line` is 1-indexed and\n"
      "`column` is the 1-indexed character (Unicode scalar) position, or `None` when\n"
      "the core could not resolve them. All values are Python `int`s \u2014 no truncation.",
      "to_dict($self, /)\n--\n\nA new dict with the keys `offset`, `length`, `line` and "
      "`column`, in that order\n(`line` and `column` are `None` when unresolved).",
      "to_json($self, /)\n--\n\nThe span as compact JSON text with sorted keys and no "
      "trailing line feed.",
      "__reduce__($self, /)\n--\n\nReconstruct on unpickle via `Span(offset, length, line, "
      "column)`."};
  static constexpr auto construct = span_new;
  static constexpr auto to_json = span_to_json;
};

}  // namespace

PyObject* create_span_class(PyObject* module) noexcept { return Record<SpanClass>::create(module); }

PyObject* make_span(const ModuleState& state, const SpanFields& fields) noexcept {
  return box(state.span_type, fields);
}

PyObject* make_span(const ModuleState& state, const quarl::Span& span,
                    const std::optional<quarl::LineColumn>& position) noexcept {
  SpanFields fields{span.offset, span.length, std::nullopt, std::nullopt};
  if (position) {
    fields.line = position->line;
    fields.column = position->column;
  }
  return make_span(state, fields);
}

std::optional<SpanFields> span_fields(const ModuleState& state, PyObject* object) noexcept {
  if (Py_TYPE(object) != reinterpret_cast<PyTypeObject*>(state.span_type)) return std::nullopt;
  return unbox<SpanFields>(object);
}

}  // namespace tessel
