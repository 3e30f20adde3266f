// What the extension module owns: its exception and its classes. One instance
// per module object (so per interpreter); nothing lives in globals.
#pragma once

#include <Python.h>

#include <array>

namespace tessel {

struct ModuleState {
  PyObject* quarl_error = nullptr;  // the QuarlError exception class
  PyObject* span_type = nullptr;
  PyObject* message_type = nullptr;
  PyObject* compile_result_type = nullptr;
  PyObject* check_result_type = nullptr;
  PyObject* lint_result_type = nullptr;
  PyObject* lint_diagnostic_type = nullptr;
  PyObject* lint_file_report_type = nullptr;
  PyObject* loaded_template_type = nullptr;

  // Every owned reference, for traversal and clearing.
  std::array<PyObject**, 9> owned() noexcept {
    return {&quarl_error,          &span_type,             &message_type,
            &compile_result_type,  &check_result_type,     &lint_result_type,
            &lint_diagnostic_type, &lint_file_report_type, &loaded_template_type};
  }
};

inline ModuleState& module_state(PyObject* module) noexcept {
  return *static_cast<ModuleState*>(PyModule_GetState(module));
}

// The state of the module that created `type` (one of our own classes).
inline ModuleState& module_state_of(PyTypeObject* type) noexcept {
  return *static_cast<ModuleState*>(PyType_GetModuleState(type));
}

inline PyTypeObject* as_type(PyObject* type) noexcept {
  return reinterpret_cast<PyTypeObject*>(type);
}

}  // namespace tessel
