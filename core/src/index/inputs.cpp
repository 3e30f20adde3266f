#include "index/inputs.hpp"

#include <algorithm>
#include <unordered_map>
#include <set>
#include <utility>

#include "index/json_text.hpp"
#include "index/line_index.hpp"
#include "modules/inheritance.hpp"
#include "quarl/stack_guard.hpp"
#include "render/callee.hpp"
#include "support/limits.hpp"

namespace quarl {
namespace {

std::uint8_t parse_types(std::string_view names) {
  if (names.empty()) return kAnyType;
  std::uint8_t types = 0;
  for (std::size_t at = 0; at < names.size();) {
    const std::size_t end = std::min(names.find(' ', at), names.size());
    const std::string_view name = names.substr(at, end - at);
    if (name == "string") types |= kString;
    if (name == "number") types |= kNumber;
    if (name == "boolean") types |= kBoolean;
    if (name == "null") types |= kNull;
    if (name == "array") types |= kArray;
    if (name == "object") types |= kObject;
    at = end + 1;
  }
  return types;
}

std::uint8_t literal_type(const Expr& expr) {
  if (std::holds_alternative<StringLit>(expr.node)) return kString;
  if (std::holds_alternative<NumberLit>(expr.node)) return kNumber;
  if (std::holds_alternative<BoolLit>(expr.node)) return kBoolean;
  if (std::holds_alternative<NullLit>(expr.node)) return kNull;
  return 0;
}

// Where a name is bound while a body is walked, and the input it stands for
// (kNoInput when it is none).
struct Local {
  std::string_view name;
  std::size_t input;
};

class Inference {
 public:
  Inference(const Module& entry, const std::unordered_set<std::string_view>& template_names)
      : entry_(entry), template_names_(template_names) {}

  InputTree run() {
    // The render, segment by segment, with each segment's names.
    for (const Segment& segment : render_plan(entry_)) {
      const ModuleNames* names = segment.names ? segment.names : &entry_.context;
      walk(segment.nodes, Where{*segment.module, names, &entry_.context});
    }
    // Every function the entry defines reads the entry's variables, called
    // or not: the check gate requires them.
    for (const FunctionDef& function : entry_.context.defined) follow(function, {});
    return std::move(tree_);
  }

 private:
  // The module whose nodes are walked, the names they see, and the
  // variables of the module they render in (the entry's, or a defining
  // module's for a function body).
  struct Where {
    const ModuleText& text;
    const ModuleNames* names;
    const ModuleContext* variables;
  };

  // ---- the tree -------------------------------------------------------------

  // The input `name` below `parent` (a root when kNoInput); kNoInput below
  // the depth a caller's value can reach.
  std::size_t child(std::size_t parent, std::string_view name) {
    if (parent != kNoInput && tree_.nodes[parent].depth + 1 >= kMaxValueDepth) return kNoInput;
    std::string path(name);
    if (parent != kNoInput) path = tree_.nodes[parent].path + (name == "[]" || name == "{}" ? "" : ".") + path;
    const auto [found, added] = by_path_.try_emplace(std::move(path), tree_.nodes.size());
    if (!added) return found->second;
    InputNode node;
    node.name = std::string(name);
    node.path = found->first;
    node.parent = parent;
    node.depth = parent == kNoInput ? 0 : tree_.nodes[parent].depth + 1;
    // The check gate requires every variable a template names, read under a
    // condition or not.
    node.required = parent == kNoInput;
    tree_.nodes.push_back(std::move(node));
    const std::size_t at = tree_.nodes.size() - 1;
    (parent == kNoInput ? tree_.roots : tree_.nodes[parent].children).push_back(at);
    // A node with children is an object (or, for [] and {}, a collection).
    if (parent != kNoInput) {
      InputNode& holder = tree_.nodes[parent];
      holder.types &= name == "[]" ? kArray : kObject;
      if (holder.types == 0) holder.types = kAnyType;  // used in ways no one type allows
    }
    return at;
  }

  void use(std::size_t input, std::string how, std::uint8_t types, const ModuleText& text, std::string_view at) {
    if (input == kNoInput) return;
    // The first use places the input and every input above it not yet placed.
    for (std::size_t placed = input; placed != kNoInput && !tree_.nodes[placed].module;
         placed = tree_.nodes[placed].parent) {
      InputNode& unplaced = tree_.nodes[placed];
      unplaced.module = module_of(text);
      // Names are views of their module's text.
      if (at.data() >= text->data() && at.data() + at.size() <= text->data() + text->size()) {
        unplaced.offset = static_cast<std::size_t>(at.data() - text->data());
        unplaced.length = at.size();
      }
    }
    InputNode& node = tree_.nodes[input];
    if (std::find(node.uses.begin(), node.uses.end(), how) == node.uses.end()) node.uses.push_back(std::move(how));
    const std::uint8_t narrowed = node.types & types;
    if (narrowed != 0) node.types = narrowed;
    if (!conditional_) mark_required(input);
  }

  // Read on every render: required, with every node above it.
  void mark_required(std::size_t input) {
    for (std::size_t at = input; at != kNoInput && !tree_.nodes[at].required; at = tree_.nodes[at].parent)
      tree_.nodes[at].required = true;
  }

  const Module* module_of(const ModuleText& text) const {
    if (text == entry_.text) return &entry_;
    for (const Module* module = entry_.parent; module; module = module->parent)
      if (module->text == text) return module;
    return &entry_;
  }

  // ---- names ----------------------------------------------------------------

  // The input `name` stands for where it is read: a local's, else a
  // variable of the entry the template does not bind.
  std::size_t input_of(std::string_view name, const Where& where) {
    for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
      if (it->name == name) return it->input;
    if (where.variables != &entry_.context || template_names_.contains(name)) return kNoInput;
    return child(kNoInput, name);
  }

  // The input an expression reads as a whole (a variable or a field of
  // one), or kNoInput.
  std::size_t input_of(const Expr& expr, const Where& where) {
    if (const auto* var = std::get_if<Var>(&expr.node)) return input_of(var->name, where);
    const auto* path = std::get_if<DotPath>(&expr.node);
    if (!path) return kNoInput;
    std::size_t at = input_of(path->root, where);
    for (const Field& field : path->segments) {
      if (at == kNoInput) return kNoInput;
      at = child(at, field.name);
    }
    return at;
  }

  // The text of a variable or a dot path as written.
  static std::string_view written(const Expr& expr) {
    if (const auto* var = std::get_if<Var>(&expr.node)) return var->name;
    const auto* path = std::get_if<DotPath>(&expr.node);
    if (!path) return {};
    if (path->segments.empty()) return path->root;
    const std::string_view last = path->segments.back().name;
    return {path->root.data(), static_cast<std::size_t>(last.data() + last.size() - path->root.data())};
  }

  // ---- nodes ----------------------------------------------------------------

  void walk(std::span<const Node> nodes, const Where& where) {
    check_stack();
    for (const Node& node : nodes) std::visit([&](const auto& data) { visit(data, where); }, node.data);
  }

  void visit(const Interpolation& interpolation, const Where& where) {
    value(interpolation.expr, "interpolated", kScalar, where);
  }
  void visit(const If& branch, const Where& where) {
    condition(branch.condition, where);
    const bool outer = std::exchange(conditional_, true);
    walk(branch.then_body, where);
    for (const ElseIf& other : branch.else_ifs) {
      condition(other.condition, where);
      walk(other.body, where);
    }
    if (branch.else_body) walk(branch.else_body->body, where);
    conditional_ = outer;
  }
  void visit(const For& loop, const Where& where) {
    const std::size_t iterable = input_of(loop.iterable, where);
    if (iterable == kNoInput) {
      expression(loop.iterable, where);
    } else {
      use(iterable, "iterated", loop.value_variable ? kObject : kArray, where.text, written(loop.iterable));
    }
    const std::size_t before = locals_.size();
    if (loop.value_variable) {
      locals_.push_back({loop.variable, kNoInput});
      locals_.push_back({*loop.value_variable, iterable == kNoInput ? kNoInput : child(iterable, "{}")});
    } else {
      locals_.push_back({loop.variable, iterable == kNoInput ? kNoInput : child(iterable, "[]")});
    }
    walk(loop.body, where);
    locals_.resize(before);
  }
  void visit(const MessageBlock& message, const Where& where) {
    if (const auto* role = std::get_if<Expr>(&message.role)) value(*role, "message role", kString, where);
    walk(message.body, where);
  }
  void visit(const Block& block, const Where& where) { walk(block.body, where); }
  void visit(const Define&, const Where&) {}  // followed where called, and once on its own
  void visit(const Text&, const Where&) {}
  void visit(const EscapedBrace&, const Where&) {}
  void visit(const Import&, const Where&) {}
  void visit(const Export&, const Where&) {}
  void visit(const Include&, const Where&) {}

  // ---- expressions ----------------------------------------------------------

  // `expr`'s value used `how`, as one of `types`.
  void value(const Expr& expr, std::string how, std::uint8_t types, const Where& where) {
    const std::size_t input = input_of(expr, where);
    if (input != kNoInput) return use(input, std::move(how), types, where.text, written(expr));
    if (const auto* call = std::get_if<Call>(&expr.node)) return this->call(*call, where);
    if (const auto* qualified = std::get_if<QualifiedCall>(&expr.node)) return this->call(*qualified, where);
  }

  void condition(const Condition& tested, const Where& where) {
    std::visit(
        [&](const auto& leaf) {
          using T = std::decay_t<decltype(leaf)>;
          if constexpr (std::is_same_v<T, Truthy> || std::is_same_v<T, Not>) {
            value(leaf.expr, "condition", kAnyType, where);
          } else if constexpr (std::is_same_v<T, Eq> || std::is_same_v<T, Ne>) {
            compared(leaf.left, leaf.right, where);
            compared(leaf.right, leaf.left, where);
          } else {
            // Operands after the first are read only when the first does not settle it.
            for (std::size_t i = 0; i < leaf.operands.size(); ++i) {
              const bool outer = conditional_;
              if (i > 0) conditional_ = true;
              condition(leaf.operands[i], where);
              conditional_ = outer;
            }
          }
        },
        tested.node);
  }

  void compared(const Expr& side, const Expr& other, const Where& where) {
    if (literal_type(side) != 0) return;
    const std::uint8_t type = literal_type(other);
    value(side, type ? "compared with a literal" : "compared", type ? type : kAnyType, where);
  }

  // An expression whose value is used in no particular way: a call's
  // arguments are still followed.
  void expression(const Expr& expr, const Where& where) { value(expr, "read", kAnyType, where); }

  void call(const Call& call, const Where& where) {
    const FunctionDef* function = nullptr;
    if (const auto found = where.names->functions.find(call.name); found != where.names->functions.end())
      function = found->second;
    if (!function) {
      const Builtin* builtin = find_builtin(call.name);
      for (std::size_t i = 0; i < call.args.size(); ++i) {
        const std::uint8_t types = builtin && i < builtin->accepts.size() ? parse_types(builtin->accepts[i]) : kAnyType;
        value(call.args[i], "argument of " + std::string(call.name) + "()", types, where);
      }
      return;
    }
    arguments(*function, call.args, std::string(call.name), where);
  }

  void call(const QualifiedCall& call, const Where& where) {
    const auto module = where.names->modules.find(call.alias);
    const FunctionDef* function = nullptr;
    if (module != where.names->modules.end())
      if (const auto found = module->second->functions.find(call.name); found != module->second->functions.end())
        function = found->second;
    const std::string shown = call_display(call);
    if (!function) {
      for (const Expr& argument : call.args) value(argument, "argument of " + shown + "()", kAnyType, where);
      return;
    }
    arguments(*function, call.args, shown, where);
  }

  // A user function's arguments: each input passed is used as the body uses
  // the parameter.
  void arguments(const FunctionDef& function, const ExprList& args, const std::string& shown, const Where& where) {
    std::vector<std::size_t> passed;
    for (const Expr& argument : args) {
      const std::size_t input = input_of(argument, where);
      if (input == kNoInput) expression(argument, where);
      else use(input, "passed to " + shown + "()", kAnyType, where.text, written(argument));
      passed.push_back(input);
    }
    if (std::any_of(passed.begin(), passed.end(), [](std::size_t input) { return input != kNoInput; }))
      follow(function, passed);
  }

  // Walks a function's body with its parameters standing for `passed`;
  // once per function and set of inputs, and never into itself.
  void follow(const FunctionDef& function, const std::vector<std::size_t>& passed) {
    if (!followed_.emplace(function.define, passed).second) return;
    if (std::find(active_.begin(), active_.end(), function.define) != active_.end()) return;
    if (active_.size() >= kMaxCallStack) return;
    active_.push_back(function.define);
    std::vector<Local> saved = std::exchange(locals_, {});
    const std::vector<Param>& params = function.define->params;
    for (std::size_t i = 0; i < params.size(); ++i)
      locals_.push_back({params[i].name, i < passed.size() ? passed[i] : kNoInput});
    walk(function.define->body, Where{function.source->text, function.context, function.context});
    locals_ = std::move(saved);
    active_.pop_back();
  }

  const Module& entry_;
  const std::unordered_set<std::string_view>& template_names_;
  InputTree tree_;
  std::unordered_map<std::string, std::size_t> by_path_;
  std::vector<Local> locals_;
  bool conditional_ = false;
  std::set<std::pair<const Define*, std::vector<std::size_t>>> followed_;
  std::vector<const Define*> active_;
};

}  // namespace

InputTree infer_inputs(const Module& entry, const std::unordered_set<std::string_view>& template_names) {
  return Inference(entry, template_names).run();
}

std::vector<std::string_view> type_names(std::uint8_t types) {
  if (types == kAnyType) return {"any"};
  std::vector<std::string_view> names;
  for (const auto& [bit, name] : std::initializer_list<std::pair<std::uint8_t, std::string_view>>{
           {kString, "string"}, {kNumber, "number"}, {kBoolean, "boolean"}, {kNull, "null"}, {kArray, "array"},
           {kObject, "object"}})
    if (types & bit) names.push_back(name);
  return names;
}

namespace {

void write_input(std::string& out, const InputTree& tree, std::size_t at,
                 std::unordered_map<const Module*, LineIndex>& lines) {
  const InputNode& node = tree.nodes[at];
  std::optional<LineColumn> place;
  if (node.module)
    place = lines.try_emplace(node.module, *node.module->text).first->second.locate(node.offset);
  json::Object o(out);
  json::List children;
  for (const std::size_t child : node.children) write_input(children.next(), tree, child, lines);
  o.raw("children", std::move(children).take());
  if (place) o.number("column", place->column);
  else o.null("column");
  o.number("length", node.length);
  if (place) o.number("line", place->line);
  else o.null("line");
  if (node.module) o.string("module", node.module->key);
  else o.null("module");
  o.string("name", node.name);
  o.number("offset", node.offset);
  o.string("path", node.path);
  o.boolean("required", node.required);
  json::List types;
  for (const std::string_view name : type_names(node.types)) json::append_string(types.next(), name);
  o.raw("types", std::move(types).take());
  json::List uses;
  for (const std::string& how : node.uses) json::append_string(uses.next(), how);
  o.raw("uses", std::move(uses).take());
}

}  // namespace

std::string inputs_text(const InputTree& tree) {
  json::List roots;
  std::unordered_map<const Module*, LineIndex> lines;
  for (const std::size_t root : tree.roots) write_input(roots.next(), tree, root, lines);
  return std::move(roots).take();
}

}  // namespace quarl
