// The directive parser: one module's tokens to a Template.
#pragma once

#include "syntax/lexer.hpp"
#include "syntax/template.hpp"

namespace quarl {

// Builds the node tree: every directive, block structure and nesting check,
// every expression. Throws a `quarl::syntax` Error spanned into the module
// text where the failure has a place in it.
Template parse_template(TokenList tokens);

}  // namespace quarl
