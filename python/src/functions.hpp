// The module functions: compile, compile_file, compile_virtual, check,
// check_file, check_virtual and scan_imports.
#pragma once

#include <Python.h>

#include "module_state.hpp"

namespace tessel {

// The method table of the module's functions (terminated by an empty entry).
PyMethodDef* module_functions() noexcept;

}  // namespace tessel
