#include "args.hpp"

#include "py_ref.hpp"

namespace tessel {
namespace {

bool is_named(PyObject* keyword, const char* name) noexcept {
  return PyUnicode_CompareWithASCIIString(keyword, name) == 0;
}

}  // namespace

bool bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept {
  std::size_t max_positional = 0;
  std::size_t min_positional = 0;
  for (const Param& param : params) {
    if (param.kind == ParamKind::KeywordOnly) continue;
    ++max_positional;
    if (param.required) ++min_positional;
  }
  for (std::size_t i = 0; i < params.size(); ++i) out[i] = nullptr;

  const auto given = static_cast<std::size_t>(nargs);
  if (given > max_positional) {
    PyErr_Format(PyExc_TypeError, "%s() takes %s %zu positional argument%s (%zd given)", function,
                 min_positional == max_positional ? "exactly" : "at most", max_positional,
                 max_positional == 1 ? "" : "s", nargs);
    return false;
  }
  for (std::size_t i = 0; i < given; ++i) out[i] = args[i];

  const Py_ssize_t keywords = kwnames ? PyTuple_Size(kwnames) : 0;
  for (Py_ssize_t k = 0; k < keywords; ++k) {
    PyObject* keyword = PyTuple_GetItem(kwnames, k);
    std::size_t index = params.size();
    for (std::size_t i = 0; i < params.size(); ++i)
      if (is_named(keyword, params[i].name)) index = i;
    if (index == params.size()) {
      PyErr_Format(PyExc_TypeError, "'%U' is an invalid keyword argument for %s()", keyword,
                   function);
      return false;
    }
    if (params[index].kind == ParamKind::PositionalOnly) {
      PyErr_Format(PyExc_TypeError,
                   "%s() got some positional-only arguments passed as keyword arguments: '%U'",
                   function, keyword);
      return false;
    }
    if (out[index]) {
      PyErr_Format(PyExc_TypeError, "argument for %s() given by name ('%U') and position (%zu)",
                   function, keyword, index + 1);
      return false;
    }
    out[index] = args[nargs + k];
  }

  for (std::size_t i = 0; i < params.size(); ++i) {
    if (out[i] || !params[i].required) continue;
    if (params[i].kind == ParamKind::KeywordOnly)
      PyErr_Format(PyExc_TypeError, "%s() missing required keyword-only argument '%s'", function,
                   params[i].name);
    else
      PyErr_Format(PyExc_TypeError, "%s() missing required argument '%s' (pos %zu)", function,
                   params[i].name, i + 1);
    return false;
  }
  return true;
}

PyObject* wrong_argument_type(const char* function, const char* name, const char* expected,
                              PyObject* got) noexcept {
  const PyRef type_name = PyRef::steal(PyType_GetName(Py_TYPE(got)));
  if (type_name)
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be %s, not %U", function, name,
                 expected, type_name.get());
  return nullptr;
}

std::optional<std::string_view> str_argument(const char* function, const char* name,
                                             PyObject* value) noexcept {
  if (!PyUnicode_Check(value)) {
    wrong_argument_type(function, name, "str", value);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(value, &size);
  if (!text) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::optional<bool> bool_argument(const char* function, const char* name, PyObject* value,
                                  bool fallback) noexcept {
  if (!value) return fallback;
  if (!PyBool_Check(value)) {
    wrong_argument_type(function, name, "bool", value);
    return std::nullopt;
  }
  return value == Py_True;
}

std::optional<std::string> path_argument(const char* function, const char* name,
                                         PyObject* value) noexcept {
  const PyRef path = PyRef::steal(PyOS_FSPath(value));
  if (!path) return std::nullopt;
  if (!PyUnicode_Check(path.get())) {
    wrong_argument_type(function, name, "str or os.PathLike of str", value);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(path.get(), &size);
  if (!text) return std::nullopt;
  try {
    return std::string(text, static_cast<std::size_t>(size));
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return std::nullopt;
  }
}

}  // namespace tessel
