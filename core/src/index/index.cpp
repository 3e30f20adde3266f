#include "index/index.hpp"

#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>

#include "index/inputs.hpp"
#include "index/json_text.hpp"
#include "index/line_index.hpp"
#include "lint/facts.hpp"
#include "modules/names.hpp"
#include "quarl/result.hpp"
#include "quarl/stack_guard.hpp"
#include "render/callee.hpp"
#include "support/limits.hpp"
#include "syntax/links.hpp"

namespace quarl {
namespace {

// A JSON member written ahead of time: its key and its text.
using Member = std::pair<std::string_view, std::string>;

// Where a definition is: its module and span.
struct Place {
  const Module* module = nullptr;
  Span span;
};

class ModuleIndexer;

// What every module's indexer shares: the loader, the modules by text, the
// line indexes, the failures.
class Indexing {
 public:
  Indexing(Loader& loader, Module& entry, std::vector<Error> failures, ObjectView caller)
      : loader_(loader), entry_(entry), failures_(std::move(failures)), caller_(caller), linked_(failures_.empty()) {
    for (const Module* module = &entry; module; module = module->parent) chain_.push_back(module);
  }

  std::string run();

  Loader& loader() noexcept { return loader_; }
  const Module& entry() const noexcept { return entry_; }
  const std::vector<const Module*>& chain() const noexcept { return chain_; }  // the entry, then its parents
  bool in_chain(const Module& module) const noexcept {
    return std::find(chain_.begin(), chain_.end(), &module) != chain_.end();
  }
  const Module* module_with(const ModuleText& text) const { return loader_.module_with_text(text.get()); }
  const LineIndex& lines(const Module& module) {
    return lines_.try_emplace(&module, *module.text).first->second;
  }
  const LintFacts& facts(const Module& module) {
    if (const auto found = facts_.find(&module); found != facts_.end()) return found->second;
    return facts_.emplace(&module, gather_facts(*module.source, module.frontmatter)).first->second;
  }
  bool caller_gives(std::string_view name) const noexcept { return caller_.contains(name); }

  // A name a module does not resolve, or a call that does not fit. Once
  // loading failed, names it would have bound are missing: only what
  // loading met is listed then.
  void fail(Error error) {
    if (linked_ && failures_.size() < kMaxDiagnosticsPerFile) failures_.push_back(std::move(error));
  }

  // {"column", "length", "line", "module", "offset"} of a definition.
  std::string place_value(const Place& place) {
    const LineColumn at = lines(*place.module).locate(place.span.offset);
    std::string out;
    out.reserve(96 + place.module->key.size());
    {
      json::Object o(out);
      o.number("column", at.column);
      o.number("length", place.span.length);
      o.number("line", at.line);
      o.string("module", place.module->key);
      o.number("offset", place.span.offset);
    }
    return out;
  }

  // Writes the members of a spanned item ("column", "kind", "length",
  // "line", then "name" when given, "offset", then `after`, whose keys
  // sort after "offset") as an object into `out`.
  void item(std::string& out, const Module& module, Span span, std::string_view kind,
            std::optional<std::string_view> name, std::initializer_list<Member> after = {}) {
    const LineColumn at = lines(module).locate(span.offset);
    json::Object o(out);
    o.number("column", at.column);
    o.string("kind", kind);
    o.number("length", span.length);
    o.number("line", at.line);
    if (name) o.string("name", *name);
    o.number("offset", span.offset);
    for (const auto& [key, text] : after) o.raw(key, text);
  }

  // {"column", "length", "line", "offset"}: a span on its own.
  std::string span_value(const Module& module, Span span) {
    const LineColumn at = lines(module).locate(span.offset);
    std::string out;
    {
      json::Object o(out);
      o.number("column", at.column);
      o.number("length", span.length);
      o.number("line", at.line);
      o.number("offset", span.offset);
    }
    return out;
  }

 private:
  std::string failure_value(const Error& error);

  Loader& loader_;
  Module& entry_;
  std::vector<Error> failures_;
  ObjectView caller_;
  bool linked_;
  std::vector<const Module*> chain_;
  std::unordered_map<const Module*, LineIndex> lines_;
  std::unordered_map<const Module*, LintFacts> facts_;
};

// The span of `name` in `text` when it is a view of it.
std::optional<Span> view_span(const std::string& text, std::string_view name) noexcept {
  if (name.data() < text.data() || name.data() + name.size() > text.data() + text.size()) return std::nullopt;
  return Span{static_cast<std::size_t>(name.data() - text.data()), name.size()};
}

const char* range_kind(const Node& node) {
  if (std::holds_alternative<If>(node.data)) return "if";
  if (std::holds_alternative<For>(node.data)) return "for";
  if (std::holds_alternative<Define>(node.data)) return "define";
  if (std::holds_alternative<MessageBlock>(node.data)) return "message";
  return "block";
}

// One module's definitions, references, links and ranges.
class ModuleIndexer {
 public:
  ModuleIndexer(Indexing& indexing, const Module& module)
      : ix_(indexing), module_(module), text_(*module.text), facts_(indexing.facts(module)) {}

  std::string run() {
    frontmatter_definitions();
    links();
    walk(module_.source->body, false, nullptr);
    std::string out;
    {
      json::Object o(out);
      o.raw("definitions", std::move(definitions_).take());
      o.string("key", module_.key);
      o.raw("links", std::move(links_).take());
      o.raw("ranges", std::move(ranges_).take());
      o.raw("references", std::move(references_).take());
    }
    return out;
  }

 private:
  struct Local {
    std::string_view name;
    Place place;
  };

  // ---- definitions ------------------------------------------------------------

  // `after`: members whose keys sort after "offset", in order.
  void define(std::string_view name, const char* kind, std::optional<Span> span, std::initializer_list<Member> after = {}) {
    if (span) ix_.item(definitions_.next(), module_, *span, kind, name, after);
  }

  void frontmatter_definitions() {
    for (const LintFacts::Named& variable : facts_.variables) define(variable.name, "variable", variable.span);
    for (const LintFacts::ImportRecord& record : facts_.imports) {
      if (record.form == ImportForm::Alias)
        define(record.alias.name, "alias", record.alias.span, {{"target", key_or_null(record.path)}});
      for (const LintFacts::Named& name : record.names)
        define(name.name, "import", name.span, {{"target", key_or_null(record.path)}});
    }
    for (const LintFacts::ExportRecord& exported : facts_.exports) {
      if (exported.form == ExportForm::ReExportAll) continue;
      define(exported.name, "export", exported.span);
      // What an @export names: the module's own function, or the one it
      // re-exports.
      const FunctionDef* function = nullptr;
      if (exported.form == ExportForm::ExportName) {
        if (const auto found = module_.context.functions.find(exported.name); found != module_.context.functions.end())
          function = found->second;
      } else if (const auto found = module_.exports.functions.find(exported.name);
                 found != module_.exports.functions.end()) {
        function = found->second;
      }
      const std::optional<Span> name = view_span(text_, exported.name);
      if (function && name) reference(exported.name, "export", *name, function_place(*function));
    }
    if (module_.source->frontmatter) {
      // The frontmatter block, from its first --- line to the end of its last.
      std::size_t end = text_.size();
      for (std::size_t line = text_.find('\n'); line != std::string::npos; line = text_.find('\n', line + 1))
        if (text_.compare(line + 1, 3, "---") == 0) {
          end = std::min(text_.find('\n', line + 1), text_.size());
          break;
        }
      ix_.item(ranges_.next(), module_, Span{0, end}, "frontmatter", std::nullopt);
    }
  }

  // The key `path` resolves to from this module, or none.
  std::optional<std::string> key_of(std::string_view path) {
    try {
      return ix_.loader().resolve(module_.key, path);
    } catch (const Error&) {
      return std::nullopt;
    }
  }
  std::string key_or_null(std::string_view path) {
    const std::optional<std::string> key = key_of(path);
    std::string out = key ? "" : "null";
    if (key) json::append_string(out, *key);
    return out;
  }

  // ---- links ---------------------------------------------------------------------

  void links() {
    for (const ModuleLink& link : module_links(*module_.source, module_.frontmatter.imports)) {
      if (link.kind == ModuleLink::Kind::Export && link.exported->form == ExportForm::ExportName) continue;
      static constexpr const char* kKinds[] = {"extends", "frontmatter_import", "import", "export"};
      std::optional<Span> span = view_span(text_, link.path);
      if (!span && link.kind == ModuleLink::Kind::FrontmatterImport) span = facts_.imports[link.index].span;
      if (!span) span = line_span(text_, link.offset);
      std::optional<std::string> key;
      std::optional<Error> failed;
      try {
        key = ix_.loader().resolve(module_.key, link.path);
        if (link.kind == ModuleLink::Kind::Import && link.import->form == ImportForm::Alias)
          alias_targets_.emplace(link.import->alias, *key);
      } catch (const Error& error) {
        failed = error;
      }
      write_link(*span, kKinds[static_cast<int>(link.kind)], link.path, key, failed);
    }
    for (const LintFacts::ImportRecord& record : facts_.imports)
      if (record.form == ImportForm::Alias && !alias_targets_.contains(record.alias.name))
        if (std::optional<std::string> key = key_of(record.path)) alias_targets_.emplace(record.alias.name, std::move(*key));
  }

  // {"column", "error", "kind", "length", "line", "offset", "path", "target"}.
  void write_link(Span span, std::string_view kind, std::string_view path, const std::optional<std::string>& target,
                  const std::optional<Error>& failed) {
    const LineColumn at = ix_.lines(module_).locate(span.offset);
    json::Object o(links_.next());
    o.number("column", at.column);
    if (failed) {
      json::Object error(o.key("error"));
      error.string("code", failed->code_string());
      error.string("message", failed->message());
    }
    o.string("kind", kind);
    o.number("length", span.length);
    o.number("line", at.line);
    o.number("offset", span.offset);
    o.string("path", path);
    if (target) o.string("target", *target);
    else o.null("target");
  }

  // ---- the walk --------------------------------------------------------------------

  // `in_function`: the walk is inside this module's @define `function`.
  void walk(const NodeList& nodes, bool in_function, const Define* function) {
    check_stack();
    for (const Node& node : nodes) {
      if (node.end != 0)
        ix_.item(ranges_.next(), module_, Span{node.offset, node.end - node.offset}, range_kind(node), std::nullopt);
      std::visit([&](const auto& data) { visit(node, data, in_function, function); }, node.data);
    }
  }

  Span scope_of(const Node& node) const { return Span{node.offset, (node.end ? node.end : node.offset) - node.offset}; }

  template <class T>
  void visit(const Node&, const T&, bool, const Define*) {}

  void visit(const Node&, const Interpolation& interpolation, bool in_function, const Define* function) {
    expression(interpolation.expr, in_function, function);
  }
  void visit(const Node&, const If& branch, bool in_function, const Define* function) {
    condition(branch.condition, in_function, function);
    walk(branch.then_body, in_function, function);
    for (const ElseIf& other : branch.else_ifs) {
      condition(other.condition, in_function, function);
      walk(other.body, in_function, function);
    }
    if (branch.else_body) walk(branch.else_body->body, in_function, function);
  }
  void visit(const Node& node, const For& loop, bool in_function, const Define* function) {
    expression(loop.iterable, in_function, function);
    const std::size_t before = locals_.size();
    for (const std::string_view name : {loop.variable, loop.value_variable.value_or(std::string_view())}) {
      const std::optional<Span> span = view_span(text_, name);
      if (name.empty() || !span) continue;
      define(name, "loop", span, {{"scope", ix_.span_value(module_, scope_of(node))}});
      locals_.push_back({name, Place{&module_, *span}});
    }
    walk(loop.body, in_function, function);
    locals_.resize(before);
  }
  void visit(const Node& node, const Define& define, bool, const Define*) {
    json::List params;
    for (const Param& param : define.params) {
      json::Object o(params.next());
      o.raw("default", param.default_value ? canonical_text(*param.default_value) : "null");
      o.string("name", param.name);
      o.boolean("required", !param.default_value);
    }
    this->define(define.name, "function", view_span(text_, define.name),
                 {{"parameters", std::move(params).take()}, {"scope", ix_.span_value(module_, scope_of(node))}});
    const std::size_t before = locals_.size();
    for (const Param& param : define.params) {
      const std::optional<Span> span = view_span(text_, param.name);
      if (!span) continue;
      this->define(param.name, "parameter", span, {{"scope", ix_.span_value(module_, scope_of(node))}});
      locals_.push_back({param.name, Place{&module_, *span}});
    }
    walk(define.body, true, &define);
    locals_.resize(before);
  }
  void visit(const Node& node, const Block& block, bool in_function, const Define* function) {
    const std::optional<Span> span = view_span(text_, block.name);
    const std::optional<Span> where = span ? span : std::optional<Span>(line_span(text_, node.offset));
    if (const std::optional<Place> overridden = overridden_block(block.name)) {
      define(block.name, "block", where, {{"overrides", ix_.place_value(*overridden)}});
      if (span) reference(block.name, "block", *span, ix_.place_value(*overridden));
    } else {
      define(block.name, "block", where);
    }
    walk(block.body, in_function, function);
  }
  void visit(const Node&, const MessageBlock& message, bool in_function, const Define* function) {
    if (const auto* role = std::get_if<Expr>(&message.role)) expression(*role, in_function, function);
    walk(message.body, in_function, function);
  }
  void visit(const Node& node, const Include& include, bool, const Define*) {
    const std::optional<Span> span = view_span(text_, include.alias);
    alias_reference(include.alias, span ? *span : line_span(text_, node.offset), "include", true);
  }

  // The block a @block of this module overrides: the nearest template up
  // its chain that declares one of that name.
  std::optional<Place> overridden_block(std::string_view name) const {
    for (const Module* parent = module_.parent; parent; parent = parent->parent)
      for (const Node& node : parent->source->body)
        if (const auto* block = std::get_if<Block>(&node.data); block && block->name == name)
          if (const std::optional<Span> span = view_span(*parent->text, block->name))
            return Place{parent, *span};
    return std::nullopt;
  }

  // ---- references ----------------------------------------------------------------

  // `resolves`: the JSON text of what the name resolves to.
  void reference(std::string_view name, const char* kind, Span span, std::string resolves) {
    ix_.item(references_.next(), module_, span, kind, name, {{"resolves", std::move(resolves)}});
  }

  // {"builtin": name} or {"input": name}.
  static std::string tagged(std::string_view tag, std::string_view name) {
    std::string out;
    {
      json::Object o(out);
      o.string(tag, name);
    }
    return out;
  }

  void condition(const Condition& tested, bool in_function, const Define* function) {
    std::visit(
        [&](const auto& leaf) {
          using T = std::decay_t<decltype(leaf)>;
          if constexpr (std::is_same_v<T, Truthy> || std::is_same_v<T, Not>) {
            expression(leaf.expr, in_function, function);
          } else if constexpr (std::is_same_v<T, Eq> || std::is_same_v<T, Ne>) {
            expression(leaf.left, in_function, function);
            expression(leaf.right, in_function, function);
          } else {
            for (const Condition& operand : leaf.operands) condition(operand, in_function, function);
          }
        },
        tested.node);
  }

  void expression(const Expr& expr, bool in_function, const Define* function) {
    if (const auto* var = std::get_if<Var>(&expr.node)) return variable(var->name, in_function);
    if (const auto* path = std::get_if<DotPath>(&expr.node)) return variable(path->root, in_function);
    if (const auto* call = std::get_if<Call>(&expr.node)) {
      this->call(*call);
      for (const Expr& argument : call->args) expression(argument, in_function, function);
    } else if (const auto* qualified = std::get_if<QualifiedCall>(&expr.node)) {
      this->call(*qualified);
      for (const Expr& argument : qualified->args) expression(argument, in_function, function);
    }
  }

  void variable(std::string_view name, bool in_function) {
    const std::optional<Span> span = view_span(text_, name);
    if (!span) return;
    for (auto it = locals_.rbegin(); it != locals_.rend(); ++it)
      if (it->name == name) return reference(name, "variable", *span, ix_.place_value(it->place));
    if (const std::optional<Place> place = module_variable(name, in_function))
      return reference(name, "variable", *span, ix_.place_value(*place));
    // The entry's render, and the entry's own functions, read the caller's
    // variables; any other module has only its own.
    const bool reads_caller = in_function ? &module_ == &ix_.entry() : ix_.in_chain(module_);
    if (reads_caller) return reference(name, "variable", *span, tagged("input", name));
    reference(name, "variable", *span, "null");
    ix_.fail(Error::undefined_var(std::string(name), span, module_.text));
  }

  // Where a module-level variable is defined: in the frontmatter of the
  // template whose variables the node renders with (the chain's, child
  // first, for the entry's render), or the import that bound `prompt`.
  std::optional<Place> module_variable(std::string_view name, bool in_function) {
    std::vector<const Module*> owners{&module_};
    if (!in_function && ix_.in_chain(module_)) owners = ix_.chain();
    for (const Module* owner : owners)
      for (const LintFacts::Named& variable : ix_.facts(*owner).variables)
        if (variable.name == name && variable.span) return Place{owner, *variable.span};
    if (name == "prompt" && module_.context.variables.contains("prompt") && !ix_.caller_gives("prompt"))
      for (const LintFacts::ImportRecord& record : facts_.imports)
        if (record.span && (record.form == ImportForm::Merge ||
                            std::any_of(record.names.begin(), record.names.end(),
                                        [](const LintFacts::Named& n) { return n.name == "prompt"; })))
          return Place{&module_, *record.span};
    return std::nullopt;
  }

  std::string function_place(const FunctionDef& function) {
    const Module* owner = ix_.module_with(function.source->text);
    const std::optional<Span> span = owner ? view_span(*owner->text, function.name) : std::nullopt;
    if (!owner || !span) return "null";
    return ix_.place_value(Place{owner, *span});
  }

  void call(const Call& call) {
    const std::optional<Span> span = view_span(text_, call.name);
    if (!span) return;
    const std::optional<Callee> callee = find_callee(module_.context, call.name);
    if (!callee) {
      reference(call.name, "call", *span, "null");
      return ix_.fail(Error::undefined_fn(std::string(call.name), span, module_.text));
    }
    reference(call.name, "call", *span,
              callee->function ? function_place(*callee->function)
                               : tagged("builtin", call.name));
    fits(*callee, call.name, call.args.size(), *span);
  }

  void call(const QualifiedCall& call) {
    const std::optional<Span> alias = view_span(text_, call.alias);
    const std::optional<Span> name = view_span(text_, call.name);
    if (!alias || !name) return;
    const Span whole{alias->offset, name->offset + name->length - alias->offset};
    const std::string shown = call_display(call);
    const auto module = module_.context.modules.find(call.alias);
    alias_reference(call.alias, *alias, "alias", false);
    if (module == module_.context.modules.end()) return reference(shown, "member", whole, "null");
    const std::optional<Callee> callee = find_callee(*module->second, call.name);
    if (!callee) {
      reference(shown, "member", whole, "null");
      return ix_.fail(Error::undefined_fn(shown, whole, module_.text));
    }
    reference(shown, "member", whole, function_place(*callee->function));
    fits(*callee, shown, call.args.size(), whole);
  }

  void fits(const Callee& callee, std::string_view shown, std::size_t given, Span span) {
    try {
      check_arity(callee, shown, given, span, module_.text);
    } catch (Error& error) {
      ix_.fail(std::move(error));
    }
  }

  // A use of an import alias: resolves to where this module imports it.
  void alias_reference(std::string_view alias, Span span, const char* kind, bool include) {
    for (const LintFacts::ImportRecord& record : facts_.imports)
      if (record.form == ImportForm::Alias && record.alias.name == alias && record.alias.span) {
        reference(alias, kind, span, ix_.place_value(Place{&module_, *record.alias.span}));
        if (include)
          if (const auto target = alias_targets_.find(alias); target != alias_targets_.end())
            write_link(span, "include", alias, target->second, std::nullopt);
        return;
      }
    reference(alias, kind, span, "null");
    if (!module_.context.modules.contains(alias))
      ix_.fail(Error::undefined_var(std::string(alias), span, module_.text));
  }

  Indexing& ix_;
  const Module& module_;
  const std::string& text_;
  const LintFacts& facts_;
  std::vector<Local> locals_;
  std::unordered_map<std::string_view, std::string> alias_targets_;
  json::List definitions_;
  json::List references_;
  json::List links_;
  json::List ranges_;
};

std::string Indexing::failure_value(const Error& error) {
  const Module* in = error.module_text() ? module_with(error.module_text()) : nullptr;
  const bool spanned = in && error.span();
  const Span span = spanned ? *error.span() : Span{};
  const LineColumn at = spanned ? lines(*in).locate(span.offset) : LineColumn{};
  std::string out;
  {
    json::Object o(out);
    o.string("code", error.code_string());
    if (spanned) o.number("column", at.column);
    if (spanned) o.number("length", span.length);
    if (spanned) o.number("line", at.line);
    o.string("message", error.message());
    if (in) o.string("module", in->key);
    else o.null("module");
    if (spanned) o.number("offset", span.offset);
  }
  return out;
}

std::string Indexing::run() {
  json::List modules;
  for (Module& module : loader_.modules())
    if (module.source) modules.next() += ModuleIndexer(*this, module).run();
  // The chain's frontmatter variables, root first: a caller's value of the
  // same name overrides them.
  json::List overridable;
  std::unordered_set<std::string_view> template_names;
  for (auto it = chain_.rbegin(); it != chain_.rend(); ++it)
    for (const LintFacts::Named& variable : facts(**it).variables)
      if (template_names.insert(variable.name).second) json::append_string(overridable.next(), variable.name);
  if (entry_.context.variables.contains("prompt") && !caller_.contains("prompt")) template_names.insert("prompt");
  std::string inputs = inputs_text(infer_inputs(entry_, template_names));
  json::List failures;
  for (const Error& error : failures_) failures.next() += failure_value(error);
  std::string out;
  {
    json::Object o(out);
    o.string("entry", entry_.key);
    o.raw("failures", std::move(failures).take());
    o.raw("inputs", inputs);
    o.raw("modules", std::move(modules).take());
    o.raw("overridable", std::move(overridable).take());
    o.number("version", 1);
  }
  return out;
}

}  // namespace

std::string build_index(Loader& loader, Module& entry, std::vector<Error> failures, ObjectView caller) {
  return Indexing(loader, entry, std::move(failures), caller).run();
}

}  // namespace quarl
