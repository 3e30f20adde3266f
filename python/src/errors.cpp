#include "errors.hpp"

#include <optional>
#include <string>
#include <vector>

#include "py_ref.hpp"
#include "span.hpp"

namespace tessel {
namespace {

constexpr const char kQuarlErrorDoc[] =
    "Raised for every QUARL compilation failure.\n\n"
    "Carries structured attributes: `code` (str), `message` (str), `help` (str | None),\n"
    "and `span` (Span | None). `str(err) == err.message`.\n\n"
    "`source` (str | None) names the module the span points into (without a span,\n"
    "the module the error belongs to, such as one whose frontmatter failed): the\n"
    "module key for virtual maps, the path relative to the project root for files,\n"
    "`None` for the entry of a string compile and for errors of no module.\n\n"
    "`notes` (list[str]) says what helps beyond the help text: a near miss (\"did you\n"
    "mean 'audience'?\"), the signature of a function a call did not fit, where a\n"
    "block left open began; empty when there is nothing to add.";

PyRef text(std::string_view s) noexcept {
  return PyRef::steal(PyUnicode_FromStringAndSize(s.data(), static_cast<Py_ssize_t>(s.size())));
}

PyRef text_or_none(const std::optional<std::string>& s) noexcept {
  return s ? text(*s) : PyRef::borrow(Py_None);
}

// The notes as a new list of str.
PyRef notes_list(const std::vector<std::string>& notes) noexcept {
  PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(notes.size())));
  if (!list) return list;
  for (std::size_t i = 0; i < notes.size(); ++i) {
    PyRef note = text(notes[i]);
    if (!note) return PyRef();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), note.release());
  }
  return list;
}

// Builds QuarlError(message) and sets code, message, help, span, source and
// notes on it, in that order, then `detail` when given; raises it. A failure
// on the way leaves its own Python exception set instead.
PyObject* raise_quarl_error(const ModuleState& state, std::string_view code,
                            std::string_view message, PyRef help, PyRef span, PyRef source,
                            const std::vector<std::string>& notes = {},
                            std::optional<std::string_view> detail = std::nullopt) noexcept {
  const PyRef code_obj = text(code);
  const PyRef message_obj = text(message);
  const PyRef notes_obj = notes_list(notes);
  if (!code_obj || !message_obj || !help || !span || !source || !notes_obj) return nullptr;
  const PyRef error = PyRef::steal(
      PyObject_CallFunctionObjArgs(state.quarl_error, message_obj.get(), nullptr));
  if (!error) return nullptr;
  if (PyObject_SetAttrString(error.get(), "code", code_obj.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "message", message_obj.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "help", help.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "span", span.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "source", source.get()) < 0 ||
      PyObject_SetAttrString(error.get(), "notes", notes_obj.get()) < 0)
    return nullptr;
  if (detail) {
    const PyRef detail_obj = text(*detail);
    if (!detail_obj || PyObject_SetAttrString(error.get(), "detail", detail_obj.get()) < 0)
      return nullptr;
  }
  PyErr_SetObject(state.quarl_error, error.get());
  return nullptr;
}

}  // namespace

PyObject* create_quarl_error_class() noexcept {
  return PyErr_NewExceptionWithDoc("tessel._tessel.QuarlError", kQuarlErrorDoc, nullptr, nullptr);
}

PyObject* raise_core_error(const ModuleState& state, const quarl::Error& error) noexcept {
  try {
    PyRef span = error.span() ? PyRef::steal(make_span(state, *error.span(), error.line_column()))
                              : PyRef::borrow(Py_None);
    return raise_quarl_error(state, error.code_string(), error.message(), text_or_none(error.help()),
                             std::move(span), text_or_none(error.source_name()), error.notes());
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* raise_failure(const ModuleState& state, const quarl::Failure& failure) noexcept {
  if (const auto* error = std::get_if<quarl::Error>(&failure)) return raise_core_error(state, *error);
  const auto& fault = std::get<quarl::InternalFault>(failure);
  if (fault.out_of_memory) return PyErr_NoMemory();
  return raise_internal_error(state, fault.detail);
}

PyObject* raise_serialization_error(const ModuleState& state, std::string_view error) noexcept {
  try {
    return raise_binding_error(state, "quarl::internal",
                               "failed to serialize result: " + std::string(error));
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

PyObject* raise_binding_error(const ModuleState& state, std::string_view code,
                              std::string_view message) noexcept {
  return raise_quarl_error(state, code, message, PyRef::borrow(Py_None), PyRef::borrow(Py_None),
                           PyRef::borrow(Py_None));
}

PyObject* raise_internal_error(const ModuleState& state, std::string_view detail) noexcept {
  return raise_quarl_error(state, "quarl::internal", "internal compiler error",
                           PyRef::borrow(Py_None), PyRef::borrow(Py_None), PyRef::borrow(Py_None), {}, detail);
}

std::string take_exception_text(const char* fallback) {
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  const PyRef owned_type = PyRef::steal(type);
  const PyRef owned_value = PyRef::steal(value);
  const PyRef owned_traceback = PyRef::steal(traceback);
  const PyRef text = PyRef::steal(value ? PyObject_Str(value) : nullptr);
  const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), nullptr) : nullptr;
  if (!utf8) {
    PyErr_Clear();
    return fallback;
  }
  return utf8;
}

}  // namespace tessel
