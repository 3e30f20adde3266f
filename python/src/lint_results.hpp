// The lint result classes: LintResult (a view over the canonical lint value),
// LintFileReport and LintDiagnostic (typed views of its files and findings).
#pragma once

#include <Python.h>

#include "module_state.hpp"
#include "quarl/value.hpp"

namespace tessel {

PyObject* create_lint_result_class(PyObject* module) noexcept;
PyObject* create_lint_diagnostic_class(PyObject* module) noexcept;
PyObject* create_lint_file_report_class(PyObject* module) noexcept;

// A new LintResult over a canonical lint value.
PyObject* make_lint_result(const ModuleState& state, quarl::Value canonical) noexcept;

}  // namespace tessel
