#include "messages.hpp"

#include <string>

#include "quarl/stack_guard.hpp"
#include "utf8.hpp"

namespace quarl {
namespace {

class MessagesWalk {
 public:
  MessagesWalk(Scope& scope, EvalContext& context, const ModuleText& module)
      : evaluator_(scope, context, module) {}

  void walk(std::span<const Node> nodes) {
    stack_.check();
    for (const Node& node : nodes) evaluator_.at_node(node, [&] { step(node); });
  }

  void walk_segment(const Segment& segment) {
    evaluator_.in_segment(segment, [&] { walk(segment.nodes); });
  }

  std::vector<Message> take() { return std::move(messages_); }

 private:
  void step(const Node& node) {
    struct Visitor {
      MessagesWalk& self;
      const Node& node;
      void operator()(const Text& text) const {
        const std::string_view kept = utf8::trim(text.text);
        if (kept.empty()) return;
        const auto start = static_cast<std::size_t>(kept.data() - text.text.data());
        throw Error::mixed_content(Span{node.offset + start, kept.size()},
                                   self.evaluator_.module());
      }
      void operator()(const Interpolation& interpolation) const {
        throw Error::mixed_content(Span{node.offset, interpolation.source.size()},
                                   self.evaluator_.module());
      }
      void operator()(const If& branch) const {
        if (const NodeList* body = self.evaluator_.choose(node.offset, branch)) self.walk(*body);
      }
      void operator()(const For& loop) const {
        self.evaluator_.iterate(node.offset, loop, [&] { self.walk(loop.body); });
      }
      void operator()(const Include& include) const {
        self.evaluator_.context().warn("warning: @include '" + std::string(include.alias) +
                                       "' inside messages mode is ignored");
      }
      void operator()(const MessageBlock& message) const { self.render_message(message); }
      void operator()(const Block& block) const { self.walk(block.body); }
      void operator()(const EscapedBrace&) const {}
      void operator()(const Define&) const {}
      void operator()(const Import&) const {}
      void operator()(const Export&) const {}
    };
    std::visit(Visitor{*this, node}, node.data);
  }

  void render_message(const MessageBlock& message) {
    std::string role;
    if (const auto* literal = std::get_if<std::string_view>(&message.role)) {
      role = *literal;
    } else {
      const Value value = evaluator_.evaluate(std::get<Expr>(message.role));
      if (value.kind() != ValueKind::String)
        throw Error::type_error_message("@message role must evaluate to a string, but got " +
                                        std::string(type_name(value)));
      role = value.as_string();
    }
    if (utf8::trim(role).empty())
      throw Error::type_error_message("@message role must evaluate to a non-empty string");

    std::string content;
    evaluator_.render(content, message.body);
    const std::string_view kept = utf8::trim(content);
    if (kept.empty()) return;
    if (messages_.size() == kMaxMessages)
      throw Error::resource_limit("message count exceeded maximum of " +
                                  std::to_string(kMaxMessages));
    total_bytes_ += kept.size();  // cannot overflow: each content is at most the output limit
    if (total_bytes_ > kMaxMessageBytes)
      throw Error::resource_limit("total message content exceeds maximum cumulative size of " +
                                  std::to_string(kMaxMessageBytes) + " bytes");
    messages_.push_back(Message{std::move(role), std::string(kept)});
  }

  Evaluator evaluator_;
  std::vector<Message> messages_;
  std::size_t total_bytes_ = 0;
  StackGuard stack_;
};

}  // namespace

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

std::vector<Message> evaluate_messages(const NodeList& body, const ModuleText& module,
                                       Scope& scope, EvalContext& context) {
  MessagesWalk walk(scope, context, module);
  walk.walk(body);
  return walk.take();
}

std::vector<Message> evaluate_messages(std::span<const Segment> segments, Scope& scope,
                                       EvalContext& context) {
  if (segments.empty()) return {};
  MessagesWalk walk(scope, context, *segments.front().module);
  for (const Segment& segment : segments) walk.walk_segment(segment);
  return walk.take();
}

}  // namespace quarl
