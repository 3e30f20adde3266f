// Messages mode: a template whose body holds @message blocks renders to a
// list of chat messages instead of Markdown.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "quarl/result.hpp"
#include "render/evaluator.hpp"

namespace quarl {

// Whether any node of the tree is a @message block.
bool has_message_blocks(std::span<const Node> nodes);
bool has_message_blocks(std::span<const Segment> segments);

}  // namespace quarl
