// Building the index of a loaded call: for every module, what it defines,
// what each name it uses resolves to (through the names the linker bound),
// its links and its directive blocks; the entry's inputs; the failures.
#pragma once

#include <string>
#include <vector>

#include "modules/loader.hpp"
#include "quarl/error.hpp"
#include "quarl/value.hpp"

namespace quarl {

// `entry` was loaded by `loader`, linked or (when loading failed) as far as
// it got; `failures` are the errors met so far, to which the names that do
// not resolve and the calls that do not fit are added. `caller` holds the
// variables the call was given. Returns the index's canonical JSON text.
std::string build_index(Loader& loader, Module& entry, std::vector<Error> failures, ObjectView caller);

}  // namespace quarl
