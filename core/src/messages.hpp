// Messages mode: a template whose body holds @message blocks renders to a
// list of chat messages instead of Markdown.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "evaluator.hpp"
#include "quarl/result.hpp"

namespace quarl {

inline constexpr std::size_t kMaxMessages = 10000;
inline constexpr std::size_t kMaxMessageBytes = 52428800;  // all contents together

// Whether any node of the tree is a @message block.
bool has_message_blocks(std::span<const Node> nodes);
bool has_message_blocks(std::span<const Segment> segments);

// Walks `body` (nodes of `module`): every @message block yields a message of
// its role and its trimmed rendered content (none when that is blank); any
// other text or interpolation outside the blocks is an error. Conditions and
// loops around the blocks work as when rendering Markdown.
std::vector<Message> evaluate_messages(const NodeList& body, const ModuleText& module,
                                       Scope& scope, EvalContext& context);
// The same over segments, one after the other.
std::vector<Message> evaluate_messages(std::span<const Segment> segments, Scope& scope,
                                       EvalContext& context);

}  // namespace quarl
