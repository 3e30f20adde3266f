#include "render/check_gate.hpp"

#include <string>

#include "quarl/stack_guard.hpp"
#include "render/builtins.hpp"
#include "render/callee.hpp"
#include "support/compiler_bug.hpp"
#include "support/placing.hpp"
#include "support/suggest.hpp"

namespace quarl {
namespace {

class Validator {
 public:
  Validator(Scope& scope, const ModuleText& module) : scope_(scope), module_(module) {}

  void walk(std::span<const Node> nodes) {
    stack_.check();
    for (const Node& node : nodes)
      placing_errors(module_, [&] { return node_span(*module_, node); }, [&] { check(node); });
  }

 private:
  // ---- spans -------------------------------------------------------------

  // The span of `text` when it is a view into the module text (names in
  // expressions are); none otherwise, and the node's span is used instead.
  std::optional<Span> span_of(std::string_view text) const noexcept {
    const std::string& source = *module_;
    if (text.data() < source.data() || text.data() + text.size() > source.data() + source.size())
      return std::nullopt;
    return Span{static_cast<std::size_t>(text.data() - source.data()), text.size()};
  }

  // From the start of `first` to the end of `last` (a qualified call's alias
  // and function name).
  std::optional<Span> span_between(std::string_view first, std::string_view last) const noexcept {
    const auto a = span_of(first);
    const auto b = span_of(last);
    if (!a || !b || b->offset < a->offset) return a;
    return Span{a->offset, b->offset + b->length - a->offset};
  }


  // `error`, about `name`, which is none of `candidates`: with the one it
  // most likely meant noted.
  static Error noted(Error error, std::string_view name, const std::vector<std::string_view>& candidates) {
    if (std::optional<std::string> note = did_you_mean(name, candidates)) error.add_note(std::move(*note));
    return error;
  }

  // ---- nodes ---------------------------------------------------------------

  void check(const Node& node) {
    struct Visitor {
      Validator& self;
      void operator()(const Interpolation& interpolation) const {
        self.expression(interpolation.expr);
      }
      void operator()(const If& branch) const {
        self.condition(branch.condition);
        self.walk(branch.then_body);
        for (const ElseIf& other : branch.else_ifs) {
          self.condition(other.condition);
          self.walk(other.body);
        }
        if (branch.else_body) self.walk(branch.else_body->body);
      }
      void operator()(const For& loop) const {
        self.iterable(loop);
        const FrameGuard frame(self.scope_);
        // Loop variables stand for any value here; a nested loop over one is
        // checked when it runs.
        self.scope_.define_var(loop.variable, self.placeholder_);
        if (loop.value_variable) self.scope_.define_var(*loop.value_variable, self.placeholder_);
        self.walk(loop.body);
      }
      void operator()(const Define& define) const {
        const FrameGuard frame(self.scope_);
        for (const Param& param : define.params)
          self.scope_.define_var(param.name, self.placeholder_);
        self.walk(define.body);
      }
      void operator()(const Include& include) const {
        if (!self.scope_.lookup_module(include.alias))
          throw noted(Error::undefined_var(std::string(include.alias), self.span_of(include.alias), self.module_),
                      include.alias, self.scope_.module_names());
      }
      void operator()(const MessageBlock& message) const {
        if (const auto* role = std::get_if<Expr>(&message.role)) self.expression(*role);
        self.walk(message.body);
      }
      void operator()(const Block& block) const { self.walk(block.body); }
      void operator()(const Text&) const {}
      void operator()(const EscapedBrace&) const {}
      void operator()(const Import&) const {}
      void operator()(const Export&) const {}
    };
    std::visit(Visitor{*this}, node.data);
  }

  void iterable(const For& loop) {
    const Expr& iterable = loop.iterable;
    if (iterable.is_literal())
      compiler_bug("a literal @for iterable passed the parser");
    const auto* var = std::get_if<Var>(&iterable.node);
    if (!var) return expression(iterable);
    const Value* value = variable(var->name, var->local);
    if (loop.value_variable || value->kind() == ValueKind::Array) return;
    const std::string name(var->name);
    if (value->kind() == ValueKind::Object)
      throw Error::syntax("cannot iterate over object '" + name +
                              "' with a single variable \u2014 use @for key, value in " + name +
                              ": to iterate over an object's entries",
                          span_of(var->name), module_);
    throw Error::type_error(std::string(type_name(*value)), span_of(var->name), module_);
  }

  // ---- expressions -----------------------------------------------------------

  const Value* variable(std::string_view name, LocalSlot local) const {
    const Value* value = scope_.lookup_var(name, local);
    if (!value) throw noted(Error::undefined_var(std::string(name), span_of(name), module_), name, scope_.variable_names());
    return value;
  }

  void condition(const Condition& condition) {
    struct Visitor {
      Validator& self;
      void operator()(const Truthy& leaf) const { self.expression(leaf.expr); }
      void operator()(const Not& leaf) const { self.expression(leaf.expr); }
      void operator()(const Eq& leaf) const {
        self.expression(leaf.left);
        self.expression(leaf.right);
      }
      void operator()(const Ne& leaf) const {
        self.expression(leaf.left);
        self.expression(leaf.right);
      }
      void operator()(const And& all) const {
        for (const Condition& operand : all.operands) self.condition(operand);
      }
      void operator()(const Or& any) const {
        for (const Condition& operand : any.operands) self.condition(operand);
      }
    };
    std::visit(Visitor{*this}, condition.node);
  }

  // An expression at the top of an interpolation, condition or directive; a
  // call's own arguments start at depth 0.
  void expression(const Expr& expr) { argument(expr, 0, false); }

  // `expr` inside the arguments of a call at `depth` (nested), or at the top.
  void argument(const Expr& expr, std::size_t depth, bool nested) {
    const std::size_t calls_at = nested ? depth + 1 : 0;
    if (const auto* var = std::get_if<Var>(&expr.node))
      variable(var->name, var->local);
    else if (const auto* path = std::get_if<DotPath>(&expr.node))
      variable(path->root, path->local);
    else if (const auto* plain = std::get_if<Call>(&expr.node))
      call(*plain, calls_at);
    else if (const auto* qualified = std::get_if<QualifiedCall>(&expr.node))
      call(*qualified, calls_at);
  }

  void arguments(const ExprList& args, std::size_t depth) {
    if (depth > kMaxValidationDepth)
      compiler_bug("arguments nested deeper than the parser allows");
    stack_.check();
    for (const Expr& arg : args) argument(arg, depth, true);
  }

  void call(const Call& call, std::size_t depth) {
    const std::optional<Callee> callee = find_callee(scope_, call);
    if (!callee) {
      std::vector<std::string_view> names = scope_.function_names();
      const std::vector<std::string_view> builtins = builtin_names();
      names.insert(names.end(), builtins.begin(), builtins.end());
      throw noted(Error::undefined_fn(std::string(call.name), span_of(call.name), module_), call.name, names);
    }
    check_arity(*callee, call.name, call.args.size(), span_of(call.name), module_);
    arguments(call.args, depth);
  }

  void call(const QualifiedCall& call, std::size_t depth) {
    const std::optional<Span> span = span_between(call.alias, call.name);
    const FunctionDef* function = scope_.function_for(call);
    if (!function) {
      const ImportedModule* module = scope_.lookup_module(call.alias);
      if (!module)
        throw noted(Error::undefined_var(std::string(call.alias), span_of(call.alias), module_), call.alias,
                    scope_.module_names());
      Error error = Error::undefined_fn(call_display(call), span, module_);
      std::vector<std::string_view> members;
      for (const auto& [name, exported] : module->functions) members.push_back(name);
      if (const std::optional<std::string_view> meant = closest_name(call.name, members))
        error.add_note("did you mean '" + std::string(call.alias) + "." + std::string(*meant) + "'?");
      throw error;
    }
    check_arity(Callee{function, nullptr}, call_display(call), call.args.size(), span, module_);
    arguments(call.args, depth);
  }

  Scope& scope_;
  const ModuleText& module_;
  const Value placeholder_ = Value::array({});
  StackGuard stack_;
};

}  // namespace

void validate(const NodeList& body, Scope& scope, const ModuleText& module) {
  Validator(scope, module).walk(body);
}

void validate(std::span<const Segment> segments, Scope& scope) {
  for (const Segment& segment : segments) {
    const FrameGuard frame(scope, segment.names);
    Validator(scope, *segment.module).walk(segment.nodes);
  }
}

}  // namespace quarl
