#include "span.hpp"

#include <string>
#include <utility>

#include "args.hpp"
#include "errors.hpp"
#include "py_ref.hpp"

namespace tessel {
namespace {

struct OptionalCount {
  unsigned long long value;
  bool present;
};

struct SpanObject {
  PyObject_HEAD
  unsigned long long offset;
  unsigned long long length;
  OptionalCount line;
  OptionalCount column;
};

SpanObject* as_span(PyObject* self) noexcept { return reinterpret_cast<SpanObject*>(self); }

PyObject* count_or_none(const OptionalCount& count) noexcept {
  if (!count.present) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(count.value);
}

// Reads a constructor argument as an unsigned 64-bit count: an int, or also
// None when `optional`. Negative ints raise ValueError, ints of 2**64 and
// more OverflowError.
bool read_count(PyObject* arg, const char* name, bool optional, OptionalCount* out) noexcept {
  *out = {0, !optional || (arg != nullptr && arg != Py_None)};
  if (!out->present) return true;
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
  out->value = PyLong_AsUnsignedLongLong(arg);
  return !(out->value == static_cast<unsigned long long>(-1) && PyErr_Occurred());
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
  OptionalCount offset_value{};
  OptionalCount length_value{};
  OptionalCount line_value{};
  OptionalCount column_value{};
  if (!read_count(offset, "offset", false, &offset_value) ||
      !read_count(length, "length", false, &length_value) ||
      !read_count(line, "line", true, &line_value) ||
      !read_count(column, "column", true, &column_value))
    return nullptr;
  PyObject* self = PyType_GenericAlloc(type, 0);
  if (!self) return nullptr;
  SpanObject* span = as_span(self);
  span->offset = offset_value.value;
  span->length = length_value.value;
  span->line = line_value;
  span->column = column_value;
  return self;
}

void span_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

PyObject* get_offset(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(as_span(self)->offset);
}
PyObject* get_length(PyObject* self, void*) noexcept {
  return PyLong_FromUnsignedLongLong(as_span(self)->length);
}
PyObject* get_line(PyObject* self, void*) noexcept { return count_or_none(as_span(self)->line); }
PyObject* get_column(PyObject* self, void*) noexcept {
  return count_or_none(as_span(self)->column);
}

std::string count_text(const OptionalCount& count, const char* absent) {
  return count.present ? std::to_string(count.value) : absent;
}

PyObject* span_repr(PyObject* self) noexcept {
  return guarded(module_state_of(Py_TYPE(self)), [self] {
    const SpanObject* span = as_span(self);
    const std::string text = "Span(offset=" + std::to_string(span->offset) +
                             ", length=" + std::to_string(span->length) +
                             ", line=" + count_text(span->line, "None") +
                             ", column=" + count_text(span->column, "None") + ")";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* span_to_dict(PyObject* self, PyObject*) noexcept {
  const SpanObject* span = as_span(self);
  PyRef dict = PyRef::steal(PyDict_New());
  if (!dict) return nullptr;
  const std::pair<const char*, PyRef> items[] = {
      {"offset", PyRef::steal(PyLong_FromUnsignedLongLong(span->offset))},
      {"length", PyRef::steal(PyLong_FromUnsignedLongLong(span->length))},
      {"line", PyRef::steal(count_or_none(span->line))},
      {"column", PyRef::steal(count_or_none(span->column))},
  };
  for (const auto& [key, value] : items)
    if (!value || PyDict_SetItemString(dict.get(), key, value.get()) < 0) return nullptr;
  return dict.release();
}

PyObject* span_to_json(PyObject* self, PyObject*) noexcept {
  return guarded(module_state_of(Py_TYPE(self)), [self] {
    const SpanObject* span = as_span(self);
    const std::string text = "{\"column\":" + count_text(span->column, "null") +
                             ",\"length\":" + std::to_string(span->length) +
                             ",\"line\":" + count_text(span->line, "null") +
                             ",\"offset\":" + std::to_string(span->offset) + "}";
    return PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size()));
  });
}

PyObject* span_reduce(PyObject* self, PyObject*) noexcept {
  const SpanObject* span = as_span(self);
  const PyRef line = PyRef::steal(count_or_none(span->line));
  const PyRef column = PyRef::steal(count_or_none(span->column));
  if (!line || !column) return nullptr;
  return Py_BuildValue("(O(KKOO))", reinterpret_cast<PyObject*>(Py_TYPE(self)), span->offset,
                       span->length, line.get(), column.get());
}

bool same_count(const OptionalCount& a, const OptionalCount& b) noexcept {
  return a.present == b.present && (!a.present || a.value == b.value);
}

PyObject* span_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const SpanObject* a = as_span(self);
  const SpanObject* b = as_span(other);
  const bool equal = a->offset == b->offset && a->length == b->length &&
                     same_count(a->line, b->line) && same_count(a->column, b->column);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

PyGetSetDef span_getset[] = {
    {"offset", get_offset, nullptr, nullptr, nullptr},
    {"length", get_length, nullptr, nullptr, nullptr},
    {"line", get_line, nullptr, nullptr, nullptr},
    {"column", get_column, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyMethodDef span_methods[] = {
    {"to_dict", span_to_dict, METH_NOARGS,
     PyDoc_STR("to_dict($self, /)\n--\n\nA new dict with the keys `offset`, `length`, `line` "
               "and `column`, in that order\n(`line` and `column` are `None` when unresolved).")},
    {"to_json", span_to_json, METH_NOARGS,
     PyDoc_STR("to_json($self, /)\n--\n\nThe span as compact JSON text with sorted keys and no "
               "trailing line feed.")},
    {"__reduce__", span_reduce, METH_NOARGS,
     PyDoc_STR("__reduce__($self, /)\n--\n\nReconstruct on unpickle via `Span(offset, length, "
               "line, column)`.")},
    {nullptr, nullptr, 0, nullptr},
};

constexpr const char kSpanDoc[] =
    "Span(offset, length, line=None, column=None)\n--\n\n"
    "A source span attached to an [`QuarlError`].\n\n"
    "`offset`/`length` are byte offsets into the source; `line` is 1-indexed and\n"
    "`column` is the 1-indexed character (Unicode scalar) position, or `None` when\n"
    "the core could not resolve them. All values are Python `int`s \u2014 no truncation.";

PyType_Slot span_slots[] = {
    {Py_tp_doc, const_cast<char*>(kSpanDoc)},
    {Py_tp_new, reinterpret_cast<void*>(span_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(span_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(span_repr)},
    {Py_tp_richcompare, reinterpret_cast<void*>(span_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_getset, span_getset},
    {Py_tp_methods, span_methods},
    {0, nullptr},
};

PyType_Spec span_spec = {
    "tessel._tessel.Span",
    sizeof(SpanObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE,
    span_slots,
};

}  // namespace

PyObject* create_span_class(PyObject* module) noexcept {
  return PyType_FromModuleAndSpec(module, &span_spec, nullptr);
}

PyObject* make_span(const ModuleState& state, const SpanFields& fields) noexcept {
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(state.span_type), 0);
  if (!self) return nullptr;
  SpanObject* span = as_span(self);
  span->offset = fields.offset;
  span->length = fields.length;
  span->line = {fields.line.value_or(0), fields.line.has_value()};
  span->column = {fields.column.value_or(0), fields.column.has_value()};
  return self;
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
  const SpanObject* span = as_span(object);
  SpanFields fields{span->offset, span->length, std::nullopt, std::nullopt};
  if (span->line.present) fields.line = span->line.value;
  if (span->column.present) fields.column = span->column.value;
  return fields;
}

}  // namespace tessel
