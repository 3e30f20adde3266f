// Resolves, once a module is parsed, every name that a loop or a function
// parameter binds to the frame and slot it is bound in (LocalSlot), so that
// rendering reads those bindings by position: the names read most often,
// over and over in a loop's body or a function's, are never compared or
// hashed. The check gate and the evaluator push the same frames (one per
// loop iteration, binding the item, or the key and then the value; one per
// call, binding the parameters in order), which is what makes the positions
// hold.
#pragma once

#include "syntax/template.hpp"

namespace quarl {

void resolve_locals(NodeList& body);

}  // namespace quarl
