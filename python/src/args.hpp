// Binding the arguments of functions called with the fast calling convention
// (positional values, then keyword values named by `kwnames`), with the
// interpreter's own TypeError wording.
#pragma once

#include <Python.h>

#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace tessel {

enum class ParamKind { PositionalOnly, PositionalOrKeyword, KeywordOnly };

struct Param {
  const char* name;
  ParamKind kind;
  bool required;
};

// Fills `out[i]` with the borrowed value bound to `params[i]`, or null when
// it was not given. False, with TypeError set, when the call does not fit.
bool bind_arguments(const char* function, std::span<const Param> params, PyObject* const* args,
                    Py_ssize_t nargs, PyObject* kwnames, PyObject** out) noexcept;

// Raises "{function}() argument '{name}' must be {expected}, not {type}".
PyObject* wrong_argument_type(const char* function, const char* name, const char* expected,
                              PyObject* got) noexcept;

// The UTF-8 text of a str argument; none, with TypeError set, for anything else.
std::optional<std::string_view> str_argument(const char* function, const char* name,
                                             PyObject* value) noexcept;

// A bool argument (`fallback` when absent); none, with TypeError set, for
// anything but True or False.
std::optional<bool> bool_argument(const char* function, const char* name, PyObject* value,
                                  bool fallback) noexcept;

// A path argument: a str, or an os.PathLike whose path is a str. None, with
// TypeError set, otherwise.
std::optional<std::string> path_argument(const char* function, const char* name,
                                         PyObject* value) noexcept;

}  // namespace tessel
