// Messages mode is a mode of the evaluator's output; what is here decides
// which templates render in it.
#include "render/messages.hpp"

#include "quarl/stack_guard.hpp"

namespace quarl {

bool has_message_blocks(std::span<const Node> nodes) {
  check_stack();
  for (const Node& node : nodes) {
    if (std::holds_alternative<MessageBlock>(node.data)) return true;
    bool found = false;
    for_each_body(node, [&](const NodeList& body) { found = found || has_message_blocks(body); });
    if (found) return true;
  }
  return false;
}

bool has_message_blocks(std::span<const Segment> segments) {
  for (const Segment& segment : segments)
    if (has_message_blocks(segment.nodes)) return true;
  return false;
}

}  // namespace quarl
