#include "lint/facts.hpp"

#include <algorithm>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <type_traits>
#include <variant>

#include "quarl/error.hpp"
#include "syntax/links.hpp"

namespace quarl {
namespace {

// The bytes of the module text between its frontmatter's --- lines (the
// frontmatter a Template holds may be a rewritten copy: its line ends).
std::pair<std::size_t, std::size_t> frontmatter_region(std::string_view text) noexcept {
  const std::size_t start = std::min(text.find('\n'), text.size());
  std::size_t at = start;
  while (at < text.size()) {
    const std::size_t line = at + 1;
    if (text.substr(line).starts_with("---")) return {start, line};
    at = std::min(text.find('\n', line), text.size());
  }
  return {start, text.size()};
}

// Where each top-level key is written in the frontmatter: the first line
// that starts with it (bare, or between quotes as written) and a colon after
// it, and spaces only between. One walk over the lines, so that a frontmatter
// of many keys is not searched once per key.
std::unordered_map<std::string_view, Span> key_spans(std::string_view text, std::pair<std::size_t, std::size_t> region) {
  std::unordered_map<std::string_view, Span> spans;
  // Whether a colon follows `at` of `line`, past spaces.
  const auto colon_after = [](std::string_view line, std::size_t at) {
    while (at < line.size() && line[at] == ' ') ++at;
    return at < line.size() && line[at] == ':';
  };
  for (std::size_t line = region.first + 1; line < region.second;) {
    const std::size_t end = std::min(text.find('\n', line), region.second);
    const std::string_view written = text.substr(line, end - line);
    if (!written.empty() && (written[0] == '"' || written[0] == '\'')) {
      const std::size_t close = written.find(written[0], 1);
      if (close != std::string_view::npos && colon_after(written, close + 1))
        spans.try_emplace(written.substr(1, close - 1), Span{line + 1, close - 1});
    }
    // A bare key ends at the first colon that white space or the line's end
    // follows (a colon inside it, as in `a:b: 1`, is part of it), with the
    // spaces before that colon.
    for (std::size_t colon = written.find(':'); colon != std::string_view::npos; colon = written.find(':', colon + 1)) {
      if (colon + 1 < written.size() && written[colon + 1] != ' ' && written[colon + 1] != '\t' &&
          written[colon + 1] != '\r')
        continue;
      std::size_t key_end = colon;
      while (key_end > 0 && written[key_end - 1] == ' ') --key_end;
      if (key_end > 0) spans.try_emplace(written.substr(0, key_end), Span{line, key_end});
      break;
    }
    line = end + 1;
  }
  return spans;
}

class Gatherer {
 public:
  Gatherer(LintFacts& facts, std::string_view text) : facts_(facts), text_(text) {}

  void nodes(const NodeList& list, std::size_t depth) {
    if (depth > kMaxFactsDepth)
      throw Error::resource_limit(exceeds_maximum("template nesting", kMaxFactsDepth, "depth"));
    for (const Node& node : list) {
      std::visit([this, &node](const auto& data) { this->node(node, data); }, node.data);
      for_each_body(node, [&](const NodeList& body) { nodes(body, depth + 1); });
    }
  }

 private:
  void node(const Node&, const Text&) {}
  void node(const Node&, const EscapedBrace&) {}
  void node(const Node&, const Block&) {}
  void node(const Node&, const Interpolation& interpolation) { expr(interpolation.expr); }
  void node(const Node&, const If& branch) {
    condition(branch.condition);
    for (const ElseIf& other : branch.else_ifs) condition(other.condition);
  }
  void node(const Node&, const For& loop) { expr(loop.iterable); }
  void node(const Node&, const MessageBlock& message) {
    if (const auto* role = std::get_if<Expr>(&message.role)) expr(*role);
  }
  void node(const Node&, const Include& include) { facts_.aliases_used.insert(include.alias); }
  void node(const Node& at, const Define& define) {
    facts_.functions.push_back({define.name, Span{directive_keyword(text_, at.offset), 8 + define.name.size()}});
  }
  void node(const Node&, const Import&) {}  // links: gathered from module_links
  void node(const Node&, const Export&) {}

  void condition(const Condition& tested) {
    std::visit(
        [this](const auto& leaf) {
          using T = std::decay_t<decltype(leaf)>;
          if constexpr (std::is_same_v<T, Truthy> || std::is_same_v<T, Not>) {
            expr(leaf.expr);
          } else if constexpr (std::is_same_v<T, Eq> || std::is_same_v<T, Ne>) {
            expr(leaf.left);
            expr(leaf.right);
          } else {
            for (const Condition& operand : leaf.operands) condition(operand);
          }
        },
        tested.node);
  }

  void expr(const Expr& value) {
    if (const auto* name = std::get_if<Var>(&value.node)) {
      facts_.variables_used.insert(name->name);
    } else if (const auto* path = std::get_if<DotPath>(&value.node)) {
      facts_.variables_used.insert(path->root);
    } else if (const auto* call = std::get_if<Call>(&value.node)) {
      facts_.calls.insert(call->name);
      for (const Expr& argument : call->args) expr(argument);
    } else if (const auto* qualified = std::get_if<QualifiedCall>(&value.node)) {
      facts_.aliases_used.insert(qualified->alias);
      for (const Expr& argument : qualified->args) expr(argument);
    }
  }

  LintFacts& facts_;
  std::string_view text_;
};

// The record of an @import directive: where its line is, and its alias and
// names.
LintFacts::ImportRecord import_record(std::string_view text, const ModuleLink& link) {
  const Import& import = *link.import;
  const Span line = line_span(text, link.offset);
  LintFacts::ImportRecord record{import.form, import.path, {}, {}, line};
  if (import.form == ImportForm::Alias) {
    // The alias ends the directive's line.
    const std::size_t found = text.substr(line.offset, line.length).rfind(import.alias);
    record.alias = {import.alias, found == std::string_view::npos ? line : Span{line.offset + found, import.alias.size()}};
  }
  for (const ImportName& name : import.names) record.names.push_back({name.name, Span{name.offset, name.name.size()}});
  return record;
}

}  // namespace

LintFacts gather_facts(const Template& module, const Frontmatter& frontmatter) {
  LintFacts facts;
  const std::string_view text = *module.text;
  std::pair<std::size_t, std::size_t> region{0, 0};
  if (module.frontmatter) {
    region = frontmatter_region(text);
    // Variables the frontmatter itself defines: not the caller's.
    if (frontmatter.document && frontmatter.document->kind == YamlNode::Kind::Mapping) {
      std::unordered_set<std::string_view> keys;
      for (const auto& [key, value] : frontmatter.document->entries)
        if (key && key->kind == YamlNode::Kind::String) keys.insert(key->text);
      const std::unordered_map<std::string_view, Span> spans = key_spans(text, region);
      for (const auto& [name, value] : frontmatter.variables) {
        if (!keys.contains(name)) continue;
        const auto span = spans.find(name);
        facts.variables.push_back({name, span == spans.end() ? std::nullopt : std::optional<Span>(span->second)});
      }
    }
  }
  // A frontmatter import is placed at its path, the first time the path is
  // written after the previous entry's.
  std::size_t search_from = region.first;
  for (const ModuleLink& link : module_links(module, frontmatter.imports)) {
    switch (link.kind) {
      case ModuleLink::Kind::Extends:
        break;
      case ModuleLink::Kind::FrontmatterImport: {
        const FrontmatterImport& entry = *link.entry;
        const std::size_t at = text.substr(0, region.second).find(entry.path, search_from);
        std::optional<Span> span;
        if (at != std::string_view::npos) {
          span = Span{at, entry.path.size()};
          search_from = at + entry.path.size();
        }
        LintFacts::ImportRecord record{entry.form, entry.path, {entry.alias, span}, {}, span};
        for (const std::string& name : entry.names) record.names.push_back({name, span});
        facts.imports.push_back(std::move(record));
        break;
      }
      case ModuleLink::Kind::Import:
        facts.imports.push_back(import_record(text, link));
        break;
      case ModuleLink::Kind::Export:
        facts.exports.push_back({link.exported->form, link.exported->name, link.exported->path, line_span(text, link.offset)});
        break;
    }
  }
  Gatherer(facts, text).nodes(module.body, 0);
  return facts;
}

}  // namespace quarl
