// The check gate: before a body renders, every name it uses must resolve and
// every call must have an acceptable number of arguments.
#pragma once

#include <span>

#include "quarl/error.hpp"
#include "render/evaluator.hpp"
#include "render/scope.hpp"
#include "support/limits.hpp"
#include "syntax/template.hpp"

namespace quarl {

// Walks `body` (nodes of `module`) in document order against `scope`, which
// holds the module's variables, functions and import aliases. Throws the first
// problem found, spanned at the offending name, call or directive. Binds
// placeholders for loop variables and parameters in frames of its own, and
// leaves `scope` as it found it.
void validate(const NodeList& body, Scope& scope, const ModuleText& module);
// The same for each segment, with its names in a frame of their own.
void validate(std::span<const Segment> segments, Scope& scope);

}  // namespace quarl
