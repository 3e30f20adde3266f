// The index of a template: what the entry and every module it loads define,
// use and link to, the directive blocks they hold, the caller's variables
// the template reads, and what fails the check gate; for editors, the
// command line and anything else that reads a template without rendering it.
#pragma once

#include <string>

#include "quarl/compile.hpp"

namespace quarl {

// The index as canonical JSON text (keys sorted), of the value:
//   {"version": 1, "entry": key, "modules": [{"key", "definitions",
//    "references", "links", "ranges"}], "inputs": [...], "overridable":
//    [names], "failures": [{"code", "message", "module", "offset",
//    "length", "line", "column"}]}
// A template that parses but does not check (an undefined name, a call that
// does not fit, an import that fails) is indexed as far as it goes, with
// the failures listed; only an entry that cannot be read or does not parse
// fails the call, with compile's error.
Outcome<std::string> index(TemplateInput input, const CompileOptions& options);

}  // namespace quarl
