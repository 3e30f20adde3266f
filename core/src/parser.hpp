// The directive parser: one module's tokens to a Template.
#pragma once

#include "lexer.hpp"
#include "template.hpp"

namespace quarl {

// Builds the node tree: every directive, block structure and nesting check,
// every expression. Throws a `quarl::syntax` Error spanned into the module
// text where the failure has a place in it.
Template parse_template(TokenList tokens);

}  // namespace quarl
