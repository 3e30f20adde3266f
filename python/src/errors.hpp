// QuarlError: creating the class, raising it, and turning C++ failures into it.
#pragma once

#include <Python.h>

#include <new>
#include <stdexcept>
#include <string>
#include <string_view>

#include "module_state.hpp"
#include "quarl/compile.hpp"
#include "quarl/error.hpp"

namespace tessel {

// Creates the QuarlError exception class (a new reference, or null).
PyObject* create_quarl_error_class() noexcept;

// Raises a core error as QuarlError: code, full message, help and span (with
// line and column when the core can resolve them). Returns null.
PyObject* raise_core_error(const ModuleState& state, const quarl::Error& error) noexcept;

// Raises what a core entry point failed with: its QuarlError, MemoryError
// when memory ran out, or QuarlError "quarl::internal" for any other fault.
PyObject* raise_failure(const ModuleState& state, const quarl::Failure& failure) noexcept;

// Raises a QuarlError of the binding's own (a limit or an option check): code
// and message only, help and span None. Returns null.
PyObject* raise_binding_error(const ModuleState& state, std::string_view code,
                              std::string_view message) noexcept;

// Raises QuarlError "quarl::internal" for a fault that escaped the core as
// something other than a quarl::Error; `detail` describes it. Returns null.
PyObject* raise_internal_error(const ModuleState& state, std::string_view detail) noexcept;

// Raises QuarlError "quarl::internal" "failed to serialize result: {error}".
PyObject* raise_serialization_error(const ModuleState& state, std::string_view error) noexcept;

// Takes the pending exception and returns its text, or `fallback` when it
// has none that can be read.
std::string take_exception_text(const char* fallback);

// Runs `body` (which returns a new reference or null with an exception set)
// and turns every C++ exception it throws into a Python exception, so no
// failure ever unwinds into the interpreter.
template <class Body>
PyObject* guarded(const ModuleState& state, Body&& body) noexcept {
  try {
    return body();
  } catch (const quarl::Error& error) {
    return raise_core_error(state, error);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& fault) {
    return raise_internal_error(state, fault.what());
  } catch (...) {
    return raise_internal_error(state, "unknown exception");
  }
}

}  // namespace tessel
