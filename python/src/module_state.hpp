// What the extension module owns: its exception and its types. One instance
// per module object (so per interpreter); nothing lives in globals.
#pragma once

#include <Python.h>

namespace tessel {

struct ModuleState {
  PyObject* quarl_error = nullptr;  // the QuarlError exception class
  PyObject* span_type = nullptr;    // the Span class
};

inline ModuleState& module_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that created `type` (one of our own classes).
inline ModuleState& module_state_of(PyTypeObject* type) noexcept {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

}  // namespace tessel
