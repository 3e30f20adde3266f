#include "render/evaluator.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <span>
#include <utility>

#include "quarl/stack_guard.hpp"
#include "render/builtins.hpp"
#include "render/callee.hpp"
#include "support/compiler_bug.hpp"
#include "support/limits.hpp"
#include "support/placing.hpp"
#include "support/text_scan.hpp"
#include "support/utf8.hpp"

namespace quarl {
namespace {

bool truthy(const Value& value) noexcept {
  switch (value.kind()) {
    case ValueKind::String:
      return !value.as_string().empty();
    case ValueKind::Number:
      return value.as_number() != 0 && !std::isnan(value.as_number());
    case ValueKind::Boolean:
      return value.as_boolean();
    case ValueKind::Array:
      return !value.as_array().empty();
    case ValueKind::Object:
      return !value.as_object().empty();
    case ValueKind::Null:
      return false;
  }
  return false;
}

// The message for interpolating an object: it names what was written.
std::string object_interpolation_message(const Expr& expr) {
  if (const auto* var = std::get_if<Var>(&expr.node))
    return "cannot interpolate object '" + std::string(var->name) +
           "' directly, access a specific field with dot notation (e.g. {{" +
           std::string(var->name) + ".field}})";
  if (const auto* path = std::get_if<DotPath>(&expr.node))
    return "cannot interpolate object directly, access a specific field with dot notation (e.g. "
           "{{" +
           std::string(path->root) + "." +
           std::string(path->segments.empty() ? path->root : path->segments.back().name) + "}})";
  return "cannot interpolate an object value directly";
}

}  // namespace

// Renders node lists (of the segments' modules, and through calls of the
// modules whose functions they call) against a scope, into an Output.
class Evaluator {
 public:
  Evaluator(Scope& scope, EvalContext& context, Output& output);

  // Renders the nodes of `segment`: in its module, with its names.
  void render(const Segment& segment);

 private:
  class InModule;
  class CallEntry;
  class Arguments;

  // A user function called by a plain `{{ f(...) }}` whose body renders in
  // the loop of render(nodes) that met the call, not in a render of its
  // own: a chain of such calls costs no native stack, however deep.
  struct OpenCall {
    const Node* node;                // the call's interpolation, in `caller`
    const ModuleText* caller;
    std::span<const Node> rest;      // the caller's nodes after the call
    std::string_view called;
    std::size_t mark;                // Output::begin_call's
    std::size_t at;                  // where the call's text starts
  };

  void render(std::span<const Node> nodes);
  // The user function `interpolation` calls when it is a plain call, else
  // null (outside messages: between them an interpolation is refused).
  const FunctionDef* plain_call(const Interpolation& interpolation);
  // Opens the plain call at `node` of `function`, to resume with `rest`.
  void open_call(const Node& node, const FunctionDef& function, std::span<const Node> rest);
  // Closes the innermost open call: what its caller renders next.
  std::span<const Node> close_call();
  // Drops the open calls above `base` (a failure is unwinding them).
  void abandon_calls(std::size_t base) noexcept;
  // Enters a call of `function` by `called` with `args`: the frame of its
  // parameters, its module; the output mark to end it with. leave_call ends
  // it after its body rendered, abandon_call when its body failed.
  std::size_t enter_call(const FunctionDef& function, std::string_view called, Arguments& args);
  void leave_call(std::string_view called, std::size_t mark, const ModuleText* caller);
  void abandon_call(const ModuleText* caller) noexcept;
  void render_node(const Node& node);
  // Runs `work` for the node list item `node`; an error without a span gets
  // the node's.
  template <class Work>
  void at_node(const Node& node, Work&& work) {
    placing_errors(*module_, [&] { return quarl::node_span(**module_, node); }, std::forward<Work>(work));
  }
  template <class Evaluate>
  auto on_line(std::size_t offset, Evaluate&& evaluate);
  Span line_span(std::size_t offset) const noexcept;

  void refuse_outside_messages(std::size_t offset, const Text& text) const;
  void render_message(const MessageBlock& message);
  void interpolate(std::size_t offset, const Interpolation& interpolation);
  void render_include(const Include& include);
  // The body an @if chooses (its first true branch), or null.
  const NodeList* choose(std::size_t offset, const If& node);
  // Runs `body` once per iteration of `loop`, with the loop variables bound
  // in a frame of their own; checks the iterable and the loop limits.
  template <class Body>
  void iterate(std::size_t offset, const For& loop, Body&& body);
  void count_iteration();

  bool test_on_line(std::size_t offset, const Condition& condition);
  bool test(const Condition& condition, std::size_t line);
  bool compare(const Expr& left, const Expr& right, std::size_t line);
  Value evaluate(const Expr& expr);
  const Value& resolve(const Expr& expr, Value& storage);
  const Value& resolve_path(const DotPath& path);

  Arguments arguments(const ExprList& args);
  Value call(const Call& call);
  Value call(const QualifiedCall& call);
  // A user function's result as a value.
  Value call_value(const FunctionDef& function, std::string_view called, Arguments& args);
  // Renders a user function's result (its body, trimmed) into the output.
  void invoke(const FunctionDef& function, std::string_view called, Arguments& args);

  Scope& scope_;
  EvalContext& context_;
  Output& out_;
  const ModuleText* module_ = nullptr;  // the module whose nodes are rendering
  std::size_t calls_made_ = 0;
  std::vector<OpenCall> open_calls_;  // innermost last
  StackGuard stack_;
};

// Renders the nodes of another module (a called function's) for as long as it
// lives.
class Evaluator::InModule {
 public:
  InModule(Evaluator& evaluator, const ModuleText& module)
      : evaluator_(evaluator), caller_(std::exchange(evaluator.module_, &module)) {}
  ~InModule() { evaluator_.module_ = caller_; }
  InModule(const InModule&) = delete;
  InModule& operator=(const InModule&) = delete;

 private:
  Evaluator& evaluator_;
  const ModuleText* caller_;
};

bool CallStack::enter(const Define* definition, std::string_view name) {
  // Definitions are nodes of at least a few dozen bytes: the bits above the
  // alignment tell them apart.
  const auto address = reinterpret_cast<std::uintptr_t>(definition) >> 4U;
  const auto slot = static_cast<std::uint8_t>(address ^ (address >> 8U) ^ (address >> 16U));
  if (per_slot_[slot] != 0 &&
      std::any_of(entries_.begin(), entries_.end(),
                  [definition](const Entry& running) { return running.definition == definition; }))
    return false;
  entries_.push_back({definition, name, slot});
  ++per_slot_[slot];
  return true;
}

void CallStack::pop() noexcept {
  --per_slot_[entries_.back().slot];
  entries_.pop_back();
}

void CallStack::pop_checked(std::string_view name) {
  if (entries_.empty())
    compiler_bug("call stack popped empty, expected '" + std::string(name) + "'");
  const std::string_view top = entries_.back().name;
  pop();
  // Each call pops the very view it pushed: telling them apart by address
  // spares comparing the text on every call.
  if ((top.data() != name.data() || top.size() != name.size()) && top != name)
    compiler_bug("call stack popped '" + std::string(top) + "', expected '" + std::string(name) + "'");
}

// A name on the call stack for as long as it lives.
class Evaluator::CallEntry {
 public:
  // The caller has entered `name` on `stack`.
  explicit CallEntry(CallStack& stack) : stack_(stack) {}
  ~CallEntry() {
    if (!popped_) stack_.pop();
  }
  CallEntry(const CallEntry&) = delete;
  CallEntry& operator=(const CallEntry&) = delete;

  // Leaves the entry on the stack, for its caller to pop.
  void keep() noexcept { popped_ = true; }

 private:
  CallStack& stack_;
  bool popped_ = false;
};

// The evaluated arguments of one call: up to a few in place, more on the heap.
class Evaluator::Arguments {
 public:
  explicit Arguments(std::size_t count) : count_(count) {
    if (count > kInPlace) heap_.resize(count);
  }
  Value& operator[](std::size_t i) noexcept { return count_ > kInPlace ? heap_[i] : local_[i]; }
  std::size_t size() const noexcept { return count_; }
  std::span<const Value> span() const noexcept {
    return {count_ > kInPlace ? heap_.data() : local_.data(), count_};
  }

 private:
  static constexpr std::size_t kInPlace = 4;
  std::size_t count_;
  std::array<Value, kInPlace> local_;
  std::vector<Value> heap_;
};

Evaluator::Evaluator(Scope& scope, EvalContext& context, Output& output)
    : scope_(scope), context_(context), out_(output) {}

// ---- spans and limits ---------------------------------------------------------

Span Evaluator::line_span(std::size_t offset) const noexcept {
  return quarl::line_span(**module_, offset);
}

// Evaluates a directive's expression or condition; its errors point at the
// directive's line.
template <class Evaluate>
auto Evaluator::on_line(std::size_t offset, Evaluate&& evaluate) {
  return placing_errors(*module_, [&] { return line_span(offset); }, std::forward<Evaluate>(evaluate));
}

void Evaluator::count_iteration() {
  if (++context_.iterations > kMaxTotalIterations)
    throw Error::resource_limit("total loop iterations exceeded maximum of " +
                                std::to_string(kMaxTotalIterations) +
                                " across all loops in this compilation");
}

// ---- nodes --------------------------------------------------------------------

void Evaluator::render(const Segment& segment) {
  const InModule in_module(*this, *segment.module);
  const FrameGuard frame(scope_, segment.names);
  render(segment.nodes);
}

// A failure without a place inside an open call's body is placed at the
// call, as a call rendered in a nested render would be.
void Evaluator::render(std::span<const Node> nodes) {
  stack_.check();
  const std::size_t base = open_calls_.size();
  const Node* at = nodes.data();
  const Node* end = at + nodes.size();
  try {
    for (;;) {
      while (at != end) {
        const Node& node = *at++;
        // Text and interpolations, most of a template, are written here;
        // render_node takes the other nodes, and any node between messages.
        const auto* text = std::get_if<Text>(&node.data);
        const auto* interpolation = std::get_if<Interpolation>(&node.data);
        const FunctionDef* function = nullptr;
        if ((!text && !interpolation) || out_.between_messages()) {
          at_node(node, [&] { render_node(node); });
        } else if (text) {
          out_.write_source(*module_, node.offset, text->text);
        } else {
          function = plain_call(*interpolation);
          if (!function) at_node(node, [&] { interpolate(node.offset, *interpolation); });
        }
        if (!function) {
          out_.check_size();
          continue;
        }
        const std::span<const Node> rest(at, end);
        at_node(node, [&] { open_call(node, *function, rest); });
        const NodeList& body = function->define->body;
        at = body.data();
        end = at + body.size();
      }
      if (open_calls_.size() == base) return;
      const std::span<const Node> rest = close_call();
      at = rest.data();
      end = at + rest.size();
      out_.check_size();
    }
  } catch (Error& error) {
    if (open_calls_.size() > base) {
      const OpenCall& innermost = open_calls_.back();
      error.set_span_if_missing(node_span(**innermost.caller, *innermost.node), *innermost.caller);
    }
    abandon_calls(base);
    throw;
  } catch (...) {
    abandon_calls(base);
    throw;
  }
}

const FunctionDef* Evaluator::plain_call(const Interpolation& interpolation) {
  const auto* call = std::get_if<Call>(&interpolation.expr.node);
  return call ? scope_.function_for(*call) : nullptr;
}

void Evaluator::open_call(const Node& node, const FunctionDef& function, std::span<const Node> rest) {
  const Call& call = std::get<Call>(std::get<Interpolation>(node.data).expr.node);
  const std::string_view called = call.name;
  const std::size_t at = out_.here();
  Arguments args = arguments(call.args);
  // Nothing can fail once the call is entered; room grows by doubling, as
  // push_back's would (reserving one more each time would copy them all).
  if (open_calls_.size() == open_calls_.capacity()) open_calls_.reserve(std::max<std::size_t>(8, 2 * open_calls_.size()));
  const ModuleText* caller = module_;
  const std::size_t mark = enter_call(function, called, args);
  open_calls_.push_back({&node, caller, rest, called, mark, at});
}

std::span<const Node> Evaluator::close_call() {
  const OpenCall& call = open_calls_.back();
  leave_call(call.called, call.mark, call.caller);
  out_.place_calls(call.at);
  const std::span<const Node> rest = call.rest;
  open_calls_.pop_back();
  return rest;
}

void Evaluator::abandon_calls(std::size_t base) noexcept {
  while (open_calls_.size() > base) {
    abandon_call(open_calls_.back().caller);
    open_calls_.pop_back();
  }
}

// Between the @message blocks of messages mode only blank text may stand;
// elsewhere every node renders as Markdown.
void Evaluator::render_node(const Node& node) {
  struct Visitor {
    Evaluator& self;
    const Node& node;
    Output& out = self.out_;
    void operator()(const Text& text) const {
      if (out.between_messages()) return self.refuse_outside_messages(node.offset, text);
      out.write_source(*self.module_, node.offset, text.text);
    }
    void operator()(const Interpolation& interpolation) const {
      if (out.between_messages())
        throw Error::mixed_content(Span{node.offset, interpolation.source.size()}, *self.module_);
      self.interpolate(node.offset, interpolation);
    }
    void operator()(const EscapedBrace&) const {
      if (out.between_messages()) return;
      out.from_source(*self.module_, node.offset, 3);
      out.write("{{");
    }
    void operator()(const If& branch) const {
      if (const NodeList* body = self.choose(node.offset, branch)) self.render(*body);
    }
    void operator()(const For& loop) const {
      self.iterate(node.offset, loop, [&] { self.render(loop.body); });
    }
    void operator()(const Include& include) const {
      if (out.between_messages())
        return self.context_.warn("warning: @include '" + std::string(include.alias) +
                                  "' inside messages mode is ignored");
      self.render_include(include);
    }
    void operator()(const MessageBlock& message) const {
      if (out.between_messages()) return self.render_message(message);
      self.render(message.body);
    }
    void operator()(const Block& block) const { self.render(block.body); }
    // Acted on before rendering (function registration, import resolution).
    void operator()(const Define&) const {}
    void operator()(const Import&) const {}
    void operator()(const Export&) const {}
  };
  std::visit(Visitor{*this, node}, node.data);
}

void Evaluator::refuse_outside_messages(std::size_t offset, const Text& text) const {
  const std::string_view kept = utf8::trim(text.text);
  if (kept.empty()) return;
  const auto start = static_cast<std::size_t>(kept.data() - text.text.data());
  throw Error::mixed_content(Span{offset + start, kept.size()}, *module_);
}

void Evaluator::render_message(const MessageBlock& message) {
  std::string role;
  if (const auto* literal = std::get_if<std::string_view>(&message.role)) {
    role = *literal;
  } else {
    const Value value = evaluate(std::get<Expr>(message.role));
    if (value.kind() != ValueKind::String)
      throw Error::type_error_message("@message role must evaluate to a string, but got " +
                                      std::string(type_name(value)));
    role = value.as_string();
  }
  if (utf8::trim(role).empty())
    throw Error::type_error_message("@message role must evaluate to a non-empty string");
  const Output::Capture capture = out_.begin_capture();
  render(message.body);
  out_.end_capture(capture, [&](std::string_view content) {
    out_.add_message(std::move(role), content);
    return true;
  });
}

// A user function's result is its rendered body, trimmed: a plain call
// renders it right into the output (render opens it). Any other value is
// written after it is computed; when computing it called user functions,
// their bodies' positions belong to where it is written.
void Evaluator::interpolate(std::size_t offset, const Interpolation& interpolation) {
  const std::size_t at = out_.here();
  const std::size_t calls_before = calls_made_;
  Value storage;
  const Value& value = resolve(interpolation.expr, storage);
  if (value.kind() == ValueKind::Object)
    throw Error::syntax(object_interpolation_message(interpolation.expr));
  if (calls_made_ != calls_before)
    out_.place_calls(at);
  else
    out_.from_source(*module_, offset, interpolation.source.size());
  out_.write(value);
}

const NodeList* Evaluator::choose(std::size_t offset, const If& node) {
  if (test_on_line(offset, node.condition)) return &node.then_body;
  for (const ElseIf& branch : node.else_ifs)
    if (test_on_line(branch.offset, branch.condition)) return &branch.body;
  return node.else_body ? &node.else_body->body : nullptr;
}

template <class Body>
void Evaluator::iterate(std::size_t offset, const For& loop, Body&& body) {
  const Value iterable = on_line(offset, [&] { return evaluate(loop.iterable); });
  if (loop.value_variable) {
    if (iterable.kind() != ValueKind::Object)
      throw Error::syntax("key-value iteration requires an object, but got " +
                          std::string(type_name(iterable)));
    const ObjectView entries = iterable.as_object();
    if (entries.size() > kMaxLoopIterations)
      throw Error::resource_limit("object has " + std::to_string(entries.size()) +
                                  " entries, exceeding maximum loop iteration limit of " +
                                  std::to_string(kMaxLoopIterations));
    for (const auto& [key, value] : entries) {
      count_iteration();
      const FrameGuard frame(scope_);
      scope_.define_var(loop.variable, Value::string(key));
      scope_.define_var(*loop.value_variable, value);
      body();
    }
    return;
  }
  if (iterable.kind() == ValueKind::Object)
    throw Error::syntax(
        "to iterate over an object's entries, use `@for key, value in obj:` syntax");
  if (iterable.kind() != ValueKind::Array)
    throw Error::type_error(std::string(type_name(iterable)));
  const std::span<const Value> elements = iterable.as_array();
  if (elements.size() > kMaxLoopIterations)
    throw Error::resource_limit("array has " + std::to_string(elements.size()) +
                                " elements, exceeding maximum loop iteration limit of " +
                                std::to_string(kMaxLoopIterations));
  for (const Value& element : elements) {
    count_iteration();
    const FrameGuard frame(scope_);
    scope_.define_var(loop.variable, element);
    body();
  }
}

void Evaluator::render_include(const Include& include) {
  const ImportedModule* module = scope_.lookup_module(include.alias);
  if (!module) throw Error::undefined_var(std::string(include.alias));
  if (module->prompt) {
    out_.carry(module->prompt_map);
    return out_.write(*module->prompt);
  }
  const std::string alias(include.alias);
  context_.warn(module->prompt_not_exported
                    ? "warning: @include of '" + alias +
                          "' produced empty output \u2014 module has body text, but its explicit "
                          "@export list does not export 'prompt'; add `@export prompt` to the "
                          "module, or call its functions directly: {{" +
                          alias + ".fn()}}"
                    : "warning: @include of '" + alias +
                          "' produced empty output \u2014 module has no body text; to use the "
                          "module's functions, call them directly: {{" +
                          alias + ".fn()}}");
}

// ---- conditions ---------------------------------------------------------------

bool Evaluator::test_on_line(std::size_t offset, const Condition& condition) {
  return on_line(offset, [&] { return test(condition, offset); });
}

bool Evaluator::test(const Condition& condition, std::size_t line) {
  struct Visitor {
    Evaluator& self;
    std::size_t line;
    bool operator()(const Truthy& leaf) const {
      Value storage;
      return truthy(self.resolve(leaf.expr, storage));
    }
    bool operator()(const Not& leaf) const {
      Value storage;
      return !truthy(self.resolve(leaf.expr, storage));
    }
    bool operator()(const Eq& leaf) const { return self.compare(leaf.left, leaf.right, line); }
    bool operator()(const Ne& leaf) const { return !self.compare(leaf.left, leaf.right, line); }
    bool operator()(const And& all) const {
      return std::all_of(all.operands.begin(), all.operands.end(),
                         [&](const Condition& c) { return self.test(c, line); });
    }
    bool operator()(const Or& any) const {
      return std::any_of(any.operands.begin(), any.operands.end(),
                         [&](const Condition& c) { return self.test(c, line); });
    }
  };
  return std::visit(Visitor{*this, line}, condition.node);
}

bool Evaluator::compare(const Expr& left, const Expr& right, std::size_t line) {
  Value left_storage;
  Value right_storage;
  const Value& a = resolve(left, left_storage);
  const Value& b = resolve(right, right_storage);
  if (a.kind() != b.kind())
    throw Error::type_mismatch(std::string(type_name(a)), std::string(type_name(b)),
                               line_span(line), *module_);
  return a == b;
}

// ---- expressions --------------------------------------------------------------

// The value of `expr`: a variable or field is borrowed from the scope,
// anything else is computed into `storage`.
const Value& Evaluator::resolve(const Expr& expr, Value& storage) {
  if (const auto* var = std::get_if<Var>(&expr.node)) {
    if (const Value* value = scope_.lookup_var(var->name, var->local)) return *value;
    throw Error::undefined_var(std::string(var->name));
  }
  if (const auto* path = std::get_if<DotPath>(&expr.node)) return resolve_path(*path);
  if (const auto* literal = std::get_if<StringLit>(&expr.node)) return literal->value;
  storage = evaluate(expr);
  return storage;
}

Value Evaluator::evaluate(const Expr& expr) {
  stack_.check();
  struct Visitor {
    Evaluator& self;
    Value operator()(const Var& var) const {
      if (const Value* value = self.scope_.lookup_var(var.name, var.local)) return *value;
      throw Error::undefined_var(std::string(var.name));
    }
    Value operator()(const DotPath& path) const { return self.resolve_path(path); }
    Value operator()(const Call& call) const { return self.call(call); }
    Value operator()(const QualifiedCall& call) const { return self.call(call); }
    Value operator()(const StringLit& literal) const { return literal.value; }
    Value operator()(const NumberLit& literal) const { return Value::number(literal.value); }
    Value operator()(const BoolLit& literal) const { return Value::boolean(literal.value); }
    Value operator()(const NullLit&) const { return Value::null(); }
  };
  return std::visit(Visitor{*this}, expr.node);
}

namespace {

// The path up to (not including) segment `count`, as the template wrote it.
std::string walked_path(const DotPath& path, std::size_t count) {
  std::string text(path.root);
  for (std::size_t j = 0; j < count; ++j) text += "." + std::string(path.segments[j].name);
  return text;
}

// The failures of a dot path, kept out of the path's walk: reading a field
// is the hottest step of a render.
[[noreturn, gnu::noinline, gnu::cold]] void fail_unbound_root(const Scope& scope, const DotPath& path) {
  const std::string root(path.root);
  if (scope.lookup_module(path.root))
    throw Error::syntax(single_quoted(root) + " is an imported module, not a variable \u2014 to call a function use {" +
                        root + ".func()}");
  throw Error::undefined_var(root);
}

[[noreturn, gnu::noinline, gnu::cold]] void fail_field(const DotPath& path, std::size_t i, const Value& at) {
  const std::string_view name = path.segments[i].name;
  if (at.kind() != ValueKind::Object)
    throw Error::syntax("cannot access field " + single_quoted(name) + " on " + std::string(type_name(at)) + " " +
                        single_quoted(walked_path(path, i)));
  throw Error::syntax("field " + single_quoted(name) + " not found on " + single_quoted(walked_path(path, i)));
}

}  // namespace

const Value& Evaluator::resolve_path(const DotPath& path) {
  // The parse refused paths of more than kMaxDotPathNames names.
  const Value* current = scope_.lookup_var(path.root, path.local);
  if (!current) fail_unbound_root(scope_, path);
  for (std::size_t i = 0; i < path.segments.size(); ++i) {
    const Field& field = path.segments[i];
    if (current->kind() != ValueKind::Object) fail_field(path, i, *current);
    const ObjectView fields = current->as_object();
    const std::uint32_t hint = field.last_index.get();
    const Member* found = hint < fields.size() ? fields.begin() + hint : nullptr;
    if (!found || !same_name(found->first, field.name)) {
      found = fields.find(field.name);
      if (found == fields.end()) fail_field(path, i, *current);
      field.last_index.set(static_cast<std::uint32_t>(found - fields.begin()));
    }
    current = &found->second;
  }
  return *current;
}

Evaluator::Arguments Evaluator::arguments(const ExprList& args) {
  Arguments values(args.size());
  for (std::size_t i = 0; i < args.size(); ++i) values[i] = evaluate(args[i]);
  return values;
}

// `name(args)`: a user function in scope, else a builtin. Arguments are
// evaluated first, left to right.
Value Evaluator::call(const Call& call) {
  Arguments args = arguments(call.args);
  const std::optional<Callee> callee = find_callee(scope_, call);
  if (!callee) throw Error::undefined_fn(std::string(call.name));
  if (callee->function) return call_value(*callee->function, call.name, args);
  check_arity(*callee, call.name, args.size());
  return callee->builtin->call(args.span());
}

// `alias.name(args)`: a function the aliased module exports.
Value Evaluator::call(const QualifiedCall& call) {
  Arguments args = arguments(call.args);
  std::string display = call_display(call);
  const FunctionDef* function = scope_.function_for(call);
  if (!function) {
    if (!scope_.lookup_module(call.alias)) throw Error::undefined_var(std::string(call.alias));
    throw Error::undefined_fn(std::move(display));
  }
  return call_value(*function, display, args);
}

Value Evaluator::call_value(const FunctionDef& function, std::string_view called,
                            Arguments& args) {
  const Output::Capture capture = out_.begin_capture();
  invoke(function, called, args);
  return out_.end_capture(capture, [](std::string_view text) { return Value::string(text); });
}

void Evaluator::invoke(const FunctionDef& function, std::string_view called, Arguments& args) {
  const ModuleText* caller = module_;
  const std::size_t mark = enter_call(function, called, args);
  try {
    render(function.define->body);
  } catch (...) {
    abandon_call(caller);
    throw;
  }
  leave_call(called, mark, caller);
}

std::size_t Evaluator::enter_call(const FunctionDef& function, std::string_view called, Arguments& args) {
  CallStack& stack = context_.call_stack;
  if (!stack.enter(function.define, called)) throw Error::recursion(std::string(called));
  CallEntry entry(stack);
  if (stack.size() > kMaxCallStack)
    throw Error::recursion(std::string(called) + " (call depth exceeds " +
                           std::to_string(kMaxCallStack) + ")");
  check_arity(Callee{&function, nullptr}, called, args.size());
  const std::vector<Param>& params = function.define->params;

  FrameGuard frame(scope_, function.context);
  for (std::size_t i = 0; i < params.size(); ++i) {
    if (i < args.size())
      scope_.define_var(params[i].name, std::move(args[i]));
    else if (params[i].default_value)
      scope_.define_var(params[i].name, *params[i].default_value);
    else
      compiler_bug("parameter '" + std::string(params[i].name) + "' has no argument and no default");
  }
  const std::size_t mark = out_.begin_call();
  // The call is entered: its frame and its place on the call stack stay
  // until leave_call or abandon_call.
  frame.keep();
  entry.keep();
  ++calls_made_;
  module_ = &function.source->text;
  return mark;
}

void Evaluator::leave_call(std::string_view called, std::size_t mark, const ModuleText* caller) {
  context_.call_stack.pop_checked(called);
  out_.end_call(mark);
  module_ = caller;
  scope_.pop_frame();
}

void Evaluator::abandon_call(const ModuleText* caller) noexcept {
  context_.call_stack.pop();
  module_ = caller;
  scope_.drop_frame();
}

void EvalContext::warn(std::string warning) {
  if (warnings.size() < kMaxWarnings) warnings.push_back(std::move(warning));
}

void evaluate(std::span<const Segment> segments, Scope& scope, EvalContext& context,
              Output& output) {
  Evaluator evaluator(scope, context, output);
  for (const Segment& segment : segments) evaluator.render(segment);
}

}  // namespace quarl
