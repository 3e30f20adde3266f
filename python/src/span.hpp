// The Span class: an immutable (offset, length, line, column) view.
#pragma once

#include <Python.h>

#include <optional>

#include "module_state.hpp"
#include "quarl/error.hpp"

namespace tessel {

// What a Span holds.
struct SpanFields {
  unsigned long long offset = 0;
  unsigned long long length = 0;
  std::optional<unsigned long long> line;
  std::optional<unsigned long long> column;

  friend bool operator==(const SpanFields&, const SpanFields&) = default;
};

// Creates the Span class for `module` (a new reference, or null).
PyObject* create_span_class(PyObject* module) noexcept;

// A new Span instance.
PyObject* make_span(const ModuleState& state, const SpanFields& fields) noexcept;
// A new Span instance for a core span, with line and column when known.
PyObject* make_span(const ModuleState& state, const quarl::Span& span,
                    const std::optional<quarl::LineColumn>& position) noexcept;

// The fields of `object` when it is a Span of this module.
std::optional<SpanFields> span_fields(const ModuleState& state, PyObject* object) noexcept;

}  // namespace tessel
