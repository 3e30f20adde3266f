// Linking one module once it is parsed: the modules its frontmatter imports
// and its @import directives name are loaded and bound, then its own
// functions, its @export list resolved, its place in an inheritance chain
// taken, and its variables bound.
#pragma once

#include "modules/module.hpp"
#include "quarl/value.hpp"

namespace quarl {

class Loader;
class ImportedInterfaces;

// Links `module`, loading what it names through `loader` and taking what
// imported modules offer from `interfaces`. `caller_variables` are the
// entry's; null for an imported module.
void link_module(Loader& loader, ImportedInterfaces& interfaces, Module& module, const ObjectView* caller_variables);

}  // namespace quarl
