// The extension module `tessel._tessel`: multi-phase initialisation, with
// every class and the exception owned by the module's state.
#include <Python.h>

#include "errors.hpp"
#include "functions.hpp"
#include "lint_results.hpp"
#include "loaded_template.hpp"
#include "module_state.hpp"
#include "results.hpp"
#include "span.hpp"

namespace tessel {
namespace {

constexpr const char kModuleDoc[] =
    "The native extension module \u2014 registered as `tessel._tessel`.\n\n"
    "`gil_used = false` marks the module free-threading ready: the result classes are\n"
    "frozen, there is no mutable global state, and the GIL is released around every\n"
    "core call.";

// Stores a new reference in the state slot and adds it to the module as `name`.
int add_owned(PyObject* module, const char* name, PyObject* object, PyObject** slot) noexcept {
  if (!object) return -1;
  *slot = object;
  return PyModule_AddObjectRef(module, name, object);
}

int exec_module(PyObject* module) noexcept {
  ModuleState& state = module_state(module);
  if (add_owned(module, "QuarlError", create_quarl_error_class(), &state.quarl_error) < 0 ||
      add_owned(module, "Span", create_span_class(module), &state.span_type) < 0 ||
      add_owned(module, "Message", create_message_class(module), &state.message_type) < 0 ||
      add_owned(module, "CompileResult", create_compile_result_class(module),
                &state.compile_result_type) < 0 ||
      add_owned(module, "CheckResult", create_check_result_class(module),
                &state.check_result_type) < 0 ||
      add_owned(module, "LintResult", create_lint_result_class(module),
                &state.lint_result_type) < 0 ||
      add_owned(module, "LintDiagnostic", create_lint_diagnostic_class(module),
                &state.lint_diagnostic_type) < 0 ||
      add_owned(module, "LintFileReport", create_lint_file_report_class(module),
                &state.lint_file_report_type) < 0 ||
      add_owned(module, "LoadedTemplate", create_loaded_template_class(module),
                &state.loaded_template_type) < 0)
    return -1;
  if (PyModule_AddStringConstant(module, "__version__", TESSEL_VERSION) < 0) return -1;
  return PyModule_AddFunctions(module, module_functions());
}

int traverse_module(PyObject* module, visitproc visit, void* arg) noexcept {
  for (PyObject** owned : module_state(module).owned()) Py_VISIT(*owned);
  return 0;
}

int clear_module(PyObject* module) noexcept {
  for (PyObject** owned : module_state(module).owned()) Py_CLEAR(*owned);
  return 0;
}

void free_module(void* module) noexcept { clear_module(static_cast<PyObject*>(module)); }

PyModuleDef_Slot module_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(exec_module)},
#ifdef Py_mod_multiple_interpreters
    {Py_mod_multiple_interpreters, Py_MOD_PER_INTERPRETER_GIL_SUPPORTED},
#endif
#ifdef Py_mod_gil
    {Py_mod_gil, Py_MOD_GIL_NOT_USED},
#endif
    {0, nullptr},
};

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_tessel",
    kModuleDoc,
    sizeof(ModuleState),
    nullptr,
    module_slots,
    traverse_module,
    clear_module,
    free_module,
};

}  // namespace
}  // namespace tessel

PyMODINIT_FUNC PyInit__tessel() { return PyModuleDef_Init(&tessel::module_def); }
