// The result classes of compile and check: CompileResult, CheckResult and
// Message. All are frozen views; CompileResult keeps the canonical value of
// the result as its only state.
#pragma once

#include <Python.h>

#include <string>
#include <vector>

#include "module_state.hpp"
#include "quarl/value.hpp"

namespace tessel {

PyObject* create_compile_result_class(PyObject* module) noexcept;
PyObject* create_check_result_class(PyObject* module) noexcept;
PyObject* create_message_class(PyObject* module) noexcept;

// New instances for core results. The canonical value's strings must be
// valid UTF-8 (the caller checks, with holds_valid_utf8; make_check_result
// checks the warnings itself, raising the serialization error).
PyObject* make_compile_result(const ModuleState& state, quarl::Value canonical) noexcept;
PyObject* make_check_result(const ModuleState& state, std::vector<std::string> warnings) noexcept;

}  // namespace tessel
