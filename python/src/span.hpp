// The Span class: an immutable (offset, length, line, column) view.
#pragma once

#include <Python.h>

#include <optional>

#include "module_state.hpp"
#include "quarl/error.hpp"

namespace tessel {

// Creates the Span class for `module` (a new reference, or null).
PyObject* create_span_class(PyObject* module) noexcept;

// A new Span instance for a core span, with line and column when known.
PyObject* make_span(const ModuleState& state, const quarl::Span& span,
                    const std::optional<quarl::LineColumn>& position) noexcept;

}  // namespace tessel
