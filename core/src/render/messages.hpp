// Messages mode: a template whose body holds @message blocks renders to a
// list of chat messages instead of Markdown; the list, within its limits.
#pragma once

#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarl/result.hpp"
#include "modules/module.hpp"

namespace quarl {

// Whether any node of the tree is a @message block.
bool has_message_blocks(std::span<const Node> nodes);
bool has_message_blocks(std::span<const Segment> segments);

// The messages of a render, each of trimmed content (a blank one is left
// out), at most kMaxMessages of them and kMaxMessageBytes of content
// together. A render whose text nobody reads counts them without keeping
// them.
class MessageList {
 public:
  explicit MessageList(bool keep) noexcept : keep_(keep) {}

  void add(std::string role, std::string_view content);
  std::vector<Message> take() { return std::move(messages_); }

 private:
  bool keep_;
  std::vector<Message> messages_;
  std::size_t count_ = 0;
  std::size_t bytes_ = 0;
};

}  // namespace quarl
