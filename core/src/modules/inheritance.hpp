// Template inheritance: a template that `@extends` another renders its
// chain's root (the skeleton) with the root's @block placeholders replaced
// by the overrides closest to it.
#pragma once

#include <cstddef>
#include <vector>

#include "modules/module.hpp"
#include "support/limits.hpp"
#include "syntax/template.hpp"

namespace quarl {

// Fails when a module declares more @block placeholders than kMaxBlocks.
void check_block_count(const Template& tpl);

// An extending template may hold only @block overrides and blank text at its
// top level. Throws `quarl::extends` at the first other node's line.
void check_extending_template(const Template& child);

// The chain of `child`, which extends `parent`: the parent's own chain, or a
// new one rooted at the parent, with the child's overrides applied.
// The child's blocks see the child's functions and aliases. Throws
// `quarl::extends` for an override of a block the root does not declare.
Chain extend_chain(const Module& parent, const Module& child);

// The frontmatter of a template that extends another: the own frontmatter
// documents of its chain merged, the root's first and its own last (a
// missing or non-mapping document counts as an empty mapping). Only the
// templates that render need it: the entry and the ones imported. Throws
// merge_frontmatter's errors.
YamlNode merged_chain_frontmatter(const Module& module);

// Binds the merged frontmatter variables of `module`'s chain, `caller`'s
// laid over them, into its context; a name bound before (a `prompt` an
// import bound) stays. `keep_text`: the module is the entry, whose output
// passes the merged frontmatter through, so it keeps it as YAML text.
void bind_chain_variables(Module& module, ObjectView caller, bool keep_text);

// What a module renders, in order: its whole body, or its chain's skeleton,
// where each @block is its effective body with the names of the template that
// supplied it and every other node keeps the root's names. Views into the
// chain's templates, which the module keeps alive.
std::vector<Segment> render_plan(const Module& module);

}  // namespace quarl
