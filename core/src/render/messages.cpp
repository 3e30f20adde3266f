#include "render/messages.hpp"

#include "quarl/error.hpp"
#include "quarl/stack_guard.hpp"
#include "support/limits.hpp"
#include "support/utf8.hpp"

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

void MessageList::add(std::string role, std::string_view content) {
  const std::string_view kept = utf8::trim(content);
  if (kept.empty()) return;
  if (count_ == kMaxMessages)
    throw Error::resource_limit("message count exceeded maximum of " + std::to_string(kMaxMessages));
  bytes_ += kept.size();  // cannot overflow: each content is at most the output limit
  if (bytes_ > kMaxMessageBytes)
    throw Error::resource_limit(
        exceeds_maximum("total message content", kMaxMessageBytes, "cumulative size", " bytes"));
  ++count_;
  if (!keep_) return;
  // Room for a conversation's worth at once, not one message more each time.
  if (messages_.empty()) messages_.reserve(16);
  messages_.push_back(Message{std::move(role), std::string(kept)});
}

}  // namespace quarl
