#include "resolver.hpp"

#include <algorithm>

#include "lexer.hpp"
#include "parser.hpp"

namespace quarl {
namespace {

// The last path segment of a key, as cycles show it.
std::string_view last_segment(std::string_view key) noexcept {
  const std::size_t separator = key.find_last_of("/\\");
  return separator == std::string_view::npos ? key : key.substr(separator + 1);
}

// Module linking (imports, re-exports, inheritance) is not built yet: a
// template that needs it fails instead of rendering as if those lines were
// absent.
void refuse_linking(const Template& tpl, const Frontmatter& frontmatter) {
  const auto unavailable = [&](std::string_view what, std::optional<Span> span) {
    return Error::import("linking modules is not available yet (" + std::string(what) + ")",
                         span, tpl.text);
  };
  const auto line = [&](std::size_t offset) {
    const std::size_t end = std::min(tpl.text->find('\n', offset), tpl.text->size());
    return Span{offset, end - offset};
  };
  if (tpl.extends) throw unavailable("@extends", line(tpl.extends->offset));
  if (!frontmatter.imports.empty()) throw unavailable("frontmatter imports", std::nullopt);
  const auto visit = [&](const auto& self, const NodeList& nodes) -> void {
    for (const Node& node : nodes) {
      if (std::holds_alternative<Import>(node.data)) throw unavailable("@import", line(node.offset));
      if (const auto* e = std::get_if<Export>(&node.data); e && e->form != ExportForm::ExportName)
        throw unavailable("@export ... from", line(node.offset));
      std::visit(
          [&](const auto& data) {
            using T = std::decay_t<decltype(data)>;
            if constexpr (std::is_same_v<T, If>) {
              self(self, data.then_body);
              for (const ElseIf& branch : data.else_ifs) self(self, branch.body);
              if (data.else_body) self(self, data.else_body->body);
            } else if constexpr (std::is_same_v<T, For> || std::is_same_v<T, Define> ||
                                 std::is_same_v<T, MessageBlock> || std::is_same_v<T, Block>) {
              self(self, data.body);
            }
          },
          node.data);
    }
  };
  visit(visit, tpl.body);
}

}  // namespace

// A key on the resolving stack while its module is built. finish() pops it
// and checks that it was still on top; leaving by an error just pops it.
class Resolver::Resolving {
 public:
  Resolving(std::vector<std::string>& stack, const std::string& key) : stack_(stack), key_(key) {
    stack_.push_back(key);
  }
  ~Resolving() {
    if (!finished_ && !stack_.empty()) stack_.pop_back();
  }
  Resolving(const Resolving&) = delete;
  Resolving& operator=(const Resolving&) = delete;

  void finish() {
    finished_ = true;
    if (stack_.empty()) throw Error::resolving_stack_violation(key_, std::nullopt);
    const std::string top = std::move(stack_.back());
    stack_.pop_back();
    if (top != key_) throw Error::resolving_stack_violation(key_, top);
  }

 private:
  std::vector<std::string>& stack_;
  const std::string& key_;
  bool finished_ = false;
};

void Resolver::check_loadable(const std::string& key) const {
  const auto cycle = std::find(resolving_.begin(), resolving_.end(), key);
  if (cycle != resolving_.end()) {
    std::string chain;
    for (auto it = cycle; it != resolving_.end(); ++it) {
      chain += last_segment(*it);
      chain += " \u2192 ";
    }
    chain += last_segment(key);
    throw Error::circular_import(std::move(chain));
  }
  if (resolving_.size() >= kMaxResolvingDepth)
    throw Error::import("import depth exceeds maximum of " + std::to_string(kMaxResolvingDepth) +
                        " (possible deep chain)");
}

ModulePtr Resolver::build(const std::string& key, ModuleText text, bool marker_required,
                          const Value::Object& variables) {
  // The caller's variables come from outside data, as JSON does, under the
  // same nesting limit.
  for (const auto& [name, value] : variables)
    if (!within_depth(value, kMaxValueDepth))
      throw Error::json("value nesting exceeds maximum depth of " +
                        std::to_string(kMaxValueDepth));
  auto module = std::make_shared<Module>();
  module->key = key;
  module->source = std::make_shared<const Template>(parse_template(lex(std::move(text))));
  const Template& tpl = *module->source;
  module->frontmatter = load_frontmatter(tpl.frontmatter, marker_required, variables);
  refuse_linking(tpl, module->frontmatter);
  module->context = make_module_context(module->source, module->frontmatter.variables);
  return module;
}

ModulePtr Resolver::load_text(const std::string& name, ModuleText text,
                              const Value::Object& variables) {
  check_loadable(name);
  Resolving resolving(resolving_, name);
  ModulePtr module = build(name, std::move(text), false, variables);
  resolving.finish();
  return module;
}

ModulePtr Resolver::load_entry(const std::string& key, const Value::Object& variables) {
  check_loadable(key);
  auto text = std::make_shared<const std::string>(source_.read(key));
  check_module_kind(key, *text);
  const bool marker_required = ModuleSource::has_markdown_extension(key);
  Resolving resolving(resolving_, key);
  ModulePtr module = build(key, std::move(text), marker_required, variables);
  resolving.finish();
  return module;
}

}  // namespace quarl
