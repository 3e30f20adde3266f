#include "syntax/locals.hpp"

#include <cstddef>
#include <optional>
#include <string_view>
#include <utility>
#include <vector>

#include "quarl/stack_guard.hpp"
#include "support/text_scan.hpp"

namespace quarl {
namespace {

class LocalResolver {
 public:
  void body(NodeList& nodes) {
    stack_.check();
    for (Node& node : nodes) std::visit([this](auto& data) { visit(data); }, node.data);
  }

 private:
  // The names one frame binds, in binding order (binding a name again
  // replaces its value in place, so it keeps its slot).
  using Frame = UniqueNames;

  void visit(Interpolation& interpolation) { expression(interpolation.expr); }
  void visit(If& branch) {
    condition(branch.condition);
    body(branch.then_body);
    for (ElseIf& other : branch.else_ifs) {
      condition(other.condition);
      body(other.body);
    }
    if (branch.else_body) body(branch.else_body->body);
  }
  // The iterable is read before the loop's frame is pushed.
  void visit(For& loop) {
    expression(loop.iterable);
    Frame frame;
    frame.insert(loop.variable);
    if (loop.value_variable) frame.insert(*loop.value_variable);
    frames_.push_back(std::move(frame));
    body(loop.body);
    frames_.pop_back();
  }
  // A body renders in the frame of its call, above whatever frames its
  // caller has: only its parameters and its own loops are at known places.
  void visit(Define& define) {
    Frame params;
    for (const Param& param : define.params) params.insert(param.name);
    std::vector<Frame> outer = std::exchange(frames_, std::vector<Frame>{std::move(params)});
    body(define.body);
    frames_ = std::move(outer);
  }
  void visit(MessageBlock& message) {
    if (auto* role = std::get_if<Expr>(&message.role)) expression(*role);
    body(message.body);
  }
  void visit(Block& block) { body(block.body); }
  void visit(Text&) {}
  void visit(EscapedBrace&) {}
  void visit(Import&) {}
  void visit(Export&) {}
  void visit(Include&) {}

  void condition(Condition& condition) {
    std::visit([this](auto& leaf) { this->leaf(leaf); }, condition.node);
  }
  void leaf(Truthy& leaf) { expression(leaf.expr); }
  void leaf(Not& leaf) { expression(leaf.expr); }
  void leaf(Eq& leaf) {
    expression(leaf.left);
    expression(leaf.right);
  }
  void leaf(Ne& leaf) {
    expression(leaf.left);
    expression(leaf.right);
  }
  void leaf(And& all) {
    for (Condition& operand : all.operands) condition(operand);
  }
  void leaf(Or& any) {
    for (Condition& operand : any.operands) condition(operand);
  }

  void expression(Expr& expr) {
    stack_.check();
    if (auto* var = std::get_if<Var>(&expr.node)) {
      var->local = local(var->name);
    } else if (auto* path = std::get_if<DotPath>(&expr.node)) {
      path->local = local(path->root);
    } else if (auto* call = std::get_if<Call>(&expr.node)) {
      for (Expr& arg : call->args) expression(arg);
    } else if (auto* qualified = std::get_if<QualifiedCall>(&expr.node)) {
      for (Expr& arg : qualified->args) expression(arg);
    }
  }

  LocalSlot local(std::string_view name) const {
    for (std::size_t distance = 0; distance < frames_.size(); ++distance)
      if (const std::optional<std::size_t> slot = frames_[frames_.size() - 1 - distance].find(name)) {
        if (distance >= LocalSlot::kByName || *slot >= LocalSlot::kByName) return {};
        return {static_cast<std::uint16_t>(distance), static_cast<std::uint16_t>(*slot)};
      }
    return {};
  }

  std::vector<Frame> frames_;  // the body's own frames, innermost last
  StackGuard stack_;
};

}  // namespace

void resolve_locals(NodeList& body) { LocalResolver().body(body); }

}  // namespace quarl
