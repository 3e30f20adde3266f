// The extension's LoadedTemplate: a template loaded once (tessel._tessel.load,
// load_file, load_virtual, load_snapshot) that renders many times through
// its methods; `tessel.Template` is the public class over it.
#pragma once

#include <Python.h>

#include "module_state.hpp"

namespace tessel {

PyObject* create_loaded_template_class(PyObject* module) noexcept;

// The methods that render the template (compile, check, lint, index), which
// the module functions' argument handling serves.
PyMethodDef* loaded_template_methods() noexcept;

// tessel._tessel.load_snapshot(snapshot): a LoadedTemplate loaded again from
// what LoadedTemplate.snapshot() gave, without reading a file.
PyObject* load_snapshot(PyObject* module, PyObject* snapshot) noexcept;

}  // namespace tessel
