#include "lint/rules.hpp"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <type_traits>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <variant>

#include "support/text_scan.hpp"
#include "support/utf8.hpp"
#include "syntax/lexer.hpp"

namespace quarl {
namespace {

// ---- structural identity ------------------------------------------------------

bool same(const Expr& a, const Expr& b) noexcept;

bool same(const ExprList& a, const ExprList& b) noexcept {
  return std::ranges::equal(a, b, [](const Expr& x, const Expr& y) { return same(x, y); });
}

// Literals are the same of one kind and one value; numbers as the same bits.
bool same(const Expr& a, const Expr& b) noexcept {
  if (a.node.index() != b.node.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.node);
        if constexpr (std::is_same_v<T, Var>) return x.name == y.name;
        if constexpr (std::is_same_v<T, Call>) return x.name == y.name && same(x.args, y.args);
        if constexpr (std::is_same_v<T, QualifiedCall>)
          return x.alias == y.alias && x.name == y.name && same(x.args, y.args);
        if constexpr (std::is_same_v<T, DotPath>)
          return x.root == y.root && std::ranges::equal(x.segments, y.segments, {}, &Field::name, &Field::name);
        if constexpr (std::is_same_v<T, StringLit>) return x.value == y.value;
        if constexpr (std::is_same_v<T, NumberLit>)
          return std::bit_cast<std::uint64_t>(x.value) == std::bit_cast<std::uint64_t>(y.value);
        if constexpr (std::is_same_v<T, BoolLit>) return x.value == y.value;
        return true;  // NullLit
      },
      a.node);
}

bool same(const Condition& a, const Condition& b) noexcept {
  if (a.node.index() != b.node.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.node);
        if constexpr (std::is_same_v<T, Truthy> || std::is_same_v<T, Not>) return same(x.expr, y.expr);
        if constexpr (std::is_same_v<T, Eq> || std::is_same_v<T, Ne>)
          return same(x.left, y.left) && same(x.right, y.right);
        if constexpr (std::is_same_v<T, And> || std::is_same_v<T, Or>)
          return std::ranges::equal(x.operands, y.operands, [](const Condition& p, const Condition& q) { return same(p, q); });
      },
      a.node);
}

bool same(const NodeList& a, const NodeList& b) noexcept;

bool same(const Node& a, const Node& b) noexcept {
  if (a.data.index() != b.data.index()) return false;
  return std::visit(
      [&b](const auto& x) -> bool {
        using T = std::decay_t<decltype(x)>;
        const T& y = std::get<T>(b.data);
        if constexpr (std::is_same_v<T, Text>) return x.text == y.text;
        if constexpr (std::is_same_v<T, Interpolation>) return same(x.expr, y.expr);
        if constexpr (std::is_same_v<T, EscapedBrace>) return true;
        if constexpr (std::is_same_v<T, If>) {
          const auto same_else_if = [](const ElseIf& p, const ElseIf& q) {
            return same(p.condition, q.condition) && same(p.body, q.body);
          };
          return same(x.condition, y.condition) && same(x.then_body, y.then_body) &&
                 std::ranges::equal(x.else_ifs, y.else_ifs, same_else_if) &&
                 x.else_body.has_value() == y.else_body.has_value() &&
                 (!x.else_body || same(x.else_body->body, y.else_body->body));
        }
        if constexpr (std::is_same_v<T, For>)
          return x.variable == y.variable && x.value_variable == y.value_variable && same(x.iterable, y.iterable) &&
                 same(x.body, y.body);
        if constexpr (std::is_same_v<T, Define>) {
          const auto same_param = [](const Param& p, const Param& q) {
            return p.name == q.name && p.default_value == q.default_value;
          };
          return x.name == y.name && std::ranges::equal(x.params, y.params, same_param) && same(x.body, y.body);
        }
        if constexpr (std::is_same_v<T, Import>) {
          return x.form == y.form && x.path == y.path && x.alias == y.alias &&
                 std::ranges::equal(x.names, y.names, {}, &ImportName::name, &ImportName::name);
        }
        if constexpr (std::is_same_v<T, Export>) return x.form == y.form && x.name == y.name && x.path == y.path;
        if constexpr (std::is_same_v<T, Include>) return x.alias == y.alias;
        if constexpr (std::is_same_v<T, MessageBlock>) {
          const auto* x_literal = std::get_if<std::string_view>(&x.role);
          const auto* y_literal = std::get_if<std::string_view>(&y.role);
          const bool same_role = x_literal && y_literal ? *x_literal == *y_literal
                                 : !x_literal && !y_literal ? same(std::get<Expr>(x.role), std::get<Expr>(y.role))
                                                            : false;
          return same_role && same(x.body, y.body);
        }
        if constexpr (std::is_same_v<T, Block>) return x.name == y.name && same(x.body, y.body);
      },
      a.data);
}

bool same(const NodeList& a, const NodeList& b) noexcept {
  return std::ranges::equal(a, b, [](const Node& x, const Node& y) { return same(x, y); });
}

// ---- walking the tree ---------------------------------------------------------

// What a fix would remove for a finding: nothing, what its span covers (a
// duplicate directive), or the block its span's directive opens.
enum class Removal : std::uint8_t { None, Span, Block };

// A finding of `rule` at `span`.
bool report(DiagnosticCollector& out, std::string_view rule, Severity severity, std::string message, std::string help,
            const std::optional<Span>& span, Removal removal) {
  Diagnostic diagnostic{rule, severity, std::move(message), std::move(help), span, {}, std::nullopt};
  if (removal != Removal::None && span)
    diagnostic.removals.push_back({span->offset, span->offset + span->length, removal == Removal::Block});
  return out.push(std::move(diagnostic));
}

// Calls `visit` on every node of `nodes` and of the bodies inside them, a
// node before its bodies; stops, returning false, when `visit` does.
template <class Visit>
bool walk(const NodeList& nodes, Visit& visit) {
  for (const Node& node : nodes) {
    if (!visit(node)) return false;
    bool going = true;
    for_each_body(node, [&](const NodeList& body) { going = going && walk(body, visit); });
    if (!going) return false;
  }
  return true;
}

// Reports the findings of one tree rule at directive keywords.
class Finder {
 public:
  Finder(const Template& module, std::string_view rule, Severity severity, DiagnosticCollector& out)
      : text_(*module.text), rule_(rule), severity_(severity), out_(out) {}

  // A finding at the directive keyword of `length` bytes on the line at
  // `line_start`; `removable`: a fix would remove the block it opens.
  bool report(std::size_t line_start, std::size_t length, std::string message, std::string help, bool removable) {
    return quarl::report(out_, rule_, severity_, std::move(message), std::move(help),
                         Span{directive_keyword(text_, line_start), length}, removable ? Removal::Block : Removal::None);
  }

 private:
  std::string_view text_;
  std::string_view rule_;
  Severity severity_;
  DiagnosticCollector& out_;
};

// No nodes, or only text that is all white space.
bool is_empty(const NodeList& body) noexcept {
  return std::ranges::all_of(body, [](const Node& node) {
    const auto* text = std::get_if<Text>(&node.data);
    return text && utf8::trim(text->text).empty();
  });
}

// Whether `condition` is the same every time: an Eq or Ne of two literals.
std::optional<bool> constant_value(const Condition& condition) noexcept {
  if (const auto* eq = std::get_if<Eq>(&condition.node))
    if (eq->left.is_literal() && eq->right.is_literal()) return same(eq->left, eq->right);
  if (const auto* ne = std::get_if<Ne>(&condition.node))
    if (ne->left.is_literal() && ne->right.is_literal()) return !same(ne->left, ne->right);
  return std::nullopt;
}

// An import path as its module's key would spell it: without "./" pieces and
// empty ones, so that "./a.quarl" and "a.quarl" are one path.
std::string normalised_path(std::string_view path) {
  std::string out;
  while (!path.empty()) {
    const std::size_t end = std::min(path.find('/'), path.size());
    const std::string_view piece = path.substr(0, end);
    if (!piece.empty() && piece != ".") {
      if (!out.empty()) out += '/';
      out += piece;
    }
    path.remove_prefix(std::min(end + 1, path.size()));
  }
  return out;
}

}  // namespace

Severity effective_severity(const RuleConfig& config, std::string_view rule) noexcept {
  for (auto it = config.rbegin(); it != config.rend(); ++it)
    if (it->first == rule) return it->second;
  const LintRule* found = find_lint_rule(rule);
  return found == nullptr ? Severity::Off : found->default_severity;
}

void run_lint_rules(const Template& module, const LintFacts& facts, const RuleConfig& config,
                    DiagnosticCollector& out) {
  for (const LintRule& rule : lint_rules()) {
    const Severity severity = effective_severity(config, rule.name);
    if (severity != Severity::Off) rule.run(module, facts, severity, out);
  }
}

std::optional<std::string> unknown_rules_warning(const RuleConfig& config) {
  std::vector<std::string_view> unknown;
  for (const auto& [name, severity] : config)
    if (find_lint_rule(name) == nullptr) unknown.push_back(name);
  std::ranges::sort(unknown);
  const auto [repeated, end] = std::ranges::unique(unknown);
  unknown.erase(repeated, end);
  if (unknown.empty()) return std::nullopt;
  const auto shown = [](std::string_view name) {
    const std::optional<std::string> escaped = escape_for_display(name);
    return single_quoted(escaped ? std::string_view(*escaped) : name);
  };
  std::vector<std::string_view> known;
  for (const LintRule& rule : lint_rules()) known.push_back(rule.name);
  std::ranges::sort(known);
  std::string list;
  for (const std::string_view name : known) list += (list.empty() ? "" : ", ") + std::string(name);
  if (unknown.size() == 1) return "unknown lint rule " + shown(unknown[0]) + "; recognised rules are: " + list + "; ignoring";
  std::string names;
  for (const std::string_view name : unknown) names += (names.empty() ? "" : ", ") + shown(name);
  return "unknown lint rules: " + names + "; recognised rules are: " + list + "; ignoring";
}

bool check_empty_blocks(const Template& module, Severity severity, DiagnosticCollector& out) {
  Finder finder(module, "empty-block", severity, out);
  auto visit = [&finder](const Node& node) {
    if (const auto* loop = std::get_if<For>(&node.data)) {
      if (is_empty(loop->body))
        return finder.report(node.offset, 4, "@for body is empty.", "Add content inside the @for block or remove it.", true);
    } else if (const auto* define = std::get_if<Define>(&node.data)) {
      if (is_empty(define->body))
        return finder.report(node.offset, 8 + define->name.size(), "@define '" + std::string(define->name) + "' body is empty.",
                             "Add a body to the function or remove the definition.", true);
    } else if (const auto* message = std::get_if<MessageBlock>(&node.data)) {
      if (is_empty(message->body))
        return finder.report(node.offset, 8, "@message body is empty.",
                             "Add content to the message block or remove it. Empty @message is allowed for priming "
                             "but often accidental.",
                             true);
    } else if (const auto* branch = std::get_if<If>(&node.data)) {
      if (is_empty(branch->then_body) &&
          !finder.report(node.offset, 3, "@if then-body is empty.", "Add content inside the @if block or remove it.", true))
        return false;
      for (const ElseIf& other : branch->else_ifs)
        if (is_empty(other.body) && !finder.report(other.offset, 7, "@elseif body is empty.",
                                                   "Add content inside the @elseif block or remove it.", true))
          return false;
      if (branch->else_body && is_empty(branch->else_body->body))
        return finder.report(branch->else_body->offset, 5, "@else body is empty.",
                             "Add content inside the @else block or remove it.", true);
    }
    return true;
  };
  return walk(module.body, visit);
}

bool check_redundant_else(const Template& module, Severity severity, DiagnosticCollector& out) {
  Finder finder(module, "redundant-else", severity, out);
  auto visit = [&finder](const Node& node) {
    const auto* branch = std::get_if<If>(&node.data);
    if (!branch || !branch->else_body || !branch->else_ifs.empty() || !same(branch->then_body, branch->else_body->body))
      return true;
    return finder.report(node.offset, 3,
                         "The @else body is identical to the @if body \u2014 the conditional produces the same output "
                         "regardless of the condition.",
                         "Remove the @else branch or make its content different from the @if body.", false);
  };
  return walk(module.body, visit);
}

bool check_unreachable_branches(const Template& module, Severity severity, DiagnosticCollector& out) {
  Finder finder(module, "unreachable-branch", severity, out);
  auto visit = [&finder](const Node& node) {
    const auto* branch = std::get_if<If>(&node.data);
    if (!branch) return true;
    const std::optional<bool> first = constant_value(branch->condition);
    if (first == true && (!branch->else_ifs.empty() || branch->else_body) &&
        !finder.report(node.offset, 3, "@if condition is always true \u2014 @elseif/@else branches are unreachable.",
                       "Replace the constant condition with a variable or remove later branches.", true))
      return false;
    if (first == false && !finder.report(node.offset, 3, "@if condition is always false \u2014 the then-body is dead code.",
                                         "Replace the constant condition with a variable or remove the dead branch.", true))
      return false;
    for (std::size_t i = 0; i < branch->else_ifs.size(); ++i) {
      const ElseIf& other = branch->else_ifs[i];
      const std::optional<bool> value = constant_value(other.condition);
      bool reported = true;
      if (value == true) {
        reported = finder.report(other.offset, 7, "@elseif condition is always true.",
                                 "Replace the constant condition with a variable.", true);
      } else if (value == false) {
        reported = finder.report(other.offset, 7, "@elseif condition is always false \u2014 this branch is dead code.",
                                 "Replace the constant condition with a variable or remove the dead branch.", true);
      } else if (same(other.condition, branch->condition) ||
                 std::any_of(branch->else_ifs.begin(), branch->else_ifs.begin() + static_cast<std::ptrdiff_t>(i),
                             [&other](const ElseIf& earlier) { return same(other.condition, earlier.condition); })) {
        reported = finder.report(other.offset, 7,
                                 "@elseif condition is structurally identical to an earlier branch \u2014 this branch "
                                 "can never be reached.",
                                 "Remove the duplicate @elseif branch or change its condition.", true);
      }
      if (!reported) return false;
    }
    return true;
  };
  return walk(module.body, visit);
}

}  // namespace quarl

namespace quarl {

bool check_duplicate_imports(const LintFacts& facts, Severity severity, DiagnosticCollector& out) {
  std::unordered_set<std::string> seen;
  for (const LintFacts::ImportRecord& record : facts.imports)
    if (!seen.insert(normalised_path(record.path)).second &&
        !report(out, "duplicate-import", severity, "Duplicate import: " + single_quoted(record.path) + " is imported more than once.",
                "Remove the duplicate import. If different forms are needed (alias vs merge), consolidate into one import "
                "directive.",
                record.span, Removal::Span))
      return false;
  return true;
}

bool check_duplicate_exports(const LintFacts& facts, Severity severity, DiagnosticCollector& out) {
  std::unordered_set<std::string_view> names;
  std::unordered_set<std::string> wildcard_paths;
  for (const LintFacts::ExportRecord& record : facts.exports) {
    bool reported = true;
    if (record.form == ExportForm::ReExportAll) {
      if (!wildcard_paths.insert(normalised_path(record.path)).second)
        reported = report(out, "duplicate-export", severity,
                          "Duplicate wildcard export from " + single_quoted(record.path) + ": already exported above.",
                          "Remove the duplicate @export * from directive.", record.span, Removal::Span);
    } else if (!names.insert(record.name).second) {
      reported = report(out, "duplicate-export", severity,
                        "Duplicate export: " + single_quoted(record.name) + " is exported more than once.",
                        "Remove the duplicate @export directive.", record.span, Removal::Span);
    }
    if (!reported) return false;
  }
  return true;
}

bool check_unused_variables(const LintFacts& facts, Severity severity, DiagnosticCollector& out) {
  for (const LintFacts::Named& variable : facts.variables)
    if (!facts.variables_used.contains(variable.name) &&
        !report(out, "unused-variable", severity,
                "Variable " + single_quoted(variable.name) + " is defined in frontmatter but never referenced in the body.",
                "Remove the frontmatter key or reference it in the template body.", variable.span, Removal::None))
      return false;
  return true;
}

bool check_unused_imports(const LintFacts& facts, Severity severity, DiagnosticCollector& out) {
  for (const LintFacts::ImportRecord& record : facts.imports) {
    if (record.form == ImportForm::Alias && !facts.aliases_used.contains(record.alias.name) &&
        !report(out, "unused-import", severity,
                "Import alias " + single_quoted(record.alias.name) + " from " + single_quoted(record.path) + " is never used.",
                "Remove the @import or use the alias with @include or as a qualified call (`alias.func(...)`).",
                record.alias.span, Removal::None))
      return false;
    for (const LintFacts::Named& name : record.names)
      if (!facts.calls.contains(name.name) && !facts.variables_used.contains(name.name) &&
          !report(out, "unused-import", severity,
                  "Imported name " + single_quoted(name.name) + " from " + single_quoted(record.path) + " is never used.",
                  "Remove " + single_quoted(name.name) + " from the selective import or use it in the body.", name.span, Removal::None))
        return false;
  }
  return true;
}

bool check_unused_functions(const LintFacts& facts, Severity severity, DiagnosticCollector& out) {
  std::unordered_set<std::string_view> exported;
  for (const LintFacts::ExportRecord& record : facts.exports)
    if (record.form != ExportForm::ReExportAll) exported.insert(record.name);
  for (const LintFacts::Named& function : facts.functions)
    if (!exported.contains(function.name) && !facts.calls.contains(function.name) &&
        !report(out, "unused-function", severity,
                "Function " + single_quoted(function.name) + " is defined but never exported or called.",
                "Export the function with @export or call it somewhere, or remove the definition.", function.span, Removal::None))
      return false;
  return true;
}

}  // namespace quarl

namespace quarl {
namespace {

// ---- shadowing --------------------------------------------------------------

struct Binding {
  std::string_view name;
  std::string_view kind;  // as the message names it
};

// The names bound in the scopes that enclose a node, innermost last: each
// name with the stack of its bindings, so that what a new binding hides is
// found without a scan.
class Scopes {
 public:
  // The kind of the innermost binding of `name` made before `scope_start`
  // (a binding count), or empty.
  std::string_view hidden(std::string_view name, std::size_t scope_start) const {
    const auto found = by_name_.find(name);
    if (found == by_name_.end()) return {};
    for (auto it = found->second.rbegin(); it != found->second.rend(); ++it)
      if (*it < scope_start) return bindings_[*it].kind;
    return {};
  }
  void push(Binding binding) {
    by_name_[binding.name].push_back(bindings_.size());
    bindings_.push_back(binding);
  }
  // Drops the bindings made since there were `count`.
  void pop_to(std::size_t count) {
    while (bindings_.size() > count) {
      by_name_[bindings_.back().name].pop_back();
      bindings_.pop_back();
    }
  }
  std::size_t size() const noexcept { return bindings_.size(); }

 private:
  std::vector<Binding> bindings_;
  std::unordered_map<std::string_view, std::vector<std::size_t>> by_name_;
};

class ShadowFinder {
 public:
  ShadowFinder(std::string_view text, Severity severity, DiagnosticCollector& out)
      : text_(text), severity_(severity), out_(out) {}

  bool body(const NodeList& nodes, Scopes& scopes) {
    for (const Node& node : nodes) {
      if (const auto* define = std::get_if<Define>(&node.data)) {
        const std::size_t outer = scopes.size();
        for (const Param& param : define->params)
          if (!bind(scopes, outer, {param.name, "@define parameter"}, node.offset)) return false;
        const bool going = body(define->body, scopes);
        scopes.pop_to(outer);
        if (!going) return false;
        continue;
      }
      if (const auto* loop = std::get_if<For>(&node.data)) {
        const std::size_t outer = scopes.size();
        if (!bind(scopes, outer, {loop->variable, "@for loop variable"}, node.offset) ||
            (loop->value_variable && !bind(scopes, outer, {*loop->value_variable, "@for loop variable"}, node.offset)))
          return false;
        const bool going = body(loop->body, scopes);
        scopes.pop_to(outer);
        if (!going) return false;
        continue;
      }
      bool going = true;
      for_each_body(node, [&](const NodeList& inner) { going = going && body(inner, scopes); });
      if (!going) return false;
    }
    return true;
  }

 private:
  // Adds `binding` to the innermost scope (from `scope_start` on), reporting
  // it when an enclosing scope (before `scope_start`) binds its name.
  bool bind(Scopes& scopes, std::size_t scope_start, Binding binding, std::size_t line_start) {
    const std::string_view hidden_kind = scopes.hidden(binding.name, scope_start);
    scopes.push(binding);
    if (hidden_kind.empty()) return true;
    // The name where the directive's line writes it: the parser's view of
    // it lies in the module text (else the whole line).
    std::optional<Span> span = line_span(text_, line_start);
    if (binding.name.data() >= text_.data() && binding.name.data() + binding.name.size() <= text_.data() + text_.size())
      span = Span{static_cast<std::size_t>(binding.name.data() - text_.data()), binding.name.size()};
    return report(out_, "shadow-variable", severity_,
                  "Variable " + single_quoted(binding.name) + " (" + std::string(binding.kind) + ") shadows an outer " +
                      std::string(hidden_kind) + " with the same name.",
                  "Rename " + single_quoted(binding.name) + " in the inner scope to avoid shadowing.", span, Removal::None);
  }

  std::string_view text_;
  Severity severity_;
  DiagnosticCollector& out_;
};

// ---- the older dialect --------------------------------------------------------

// What the older dialect wrote in single braces: a name, a dot path, or a
// call (plain or qualified) with any arguments.
bool is_legacy_expression(std::string_view text) noexcept {
  text = utf8::trim(text);
  const std::size_t paren = text.find('(');
  if (paren == std::string_view::npos) {
    for (std::size_t start = 0;;) {
      const std::size_t dot = text.find('.', start);
      if (!is_identifier(text.substr(start, dot == std::string_view::npos ? dot : dot - start))) return false;
      if (dot == std::string_view::npos) return true;
      start = dot + 1;
    }
  }
  if (!text.ends_with(')')) return false;
  const std::string_view callee = text.substr(0, paren);
  const std::size_t dot = callee.find('.');
  if (dot == std::string_view::npos) return is_identifier(callee);
  return is_identifier(callee.substr(0, dot)) && is_identifier(callee.substr(dot + 1));
}

// A "{" of a text and the "}" that closes the candidate it opens (npos for
// none): the first "}" after it outside a double-quoted string, in which a
// backslash escapes the next byte.
struct Brace {
  std::size_t open;
  std::size_t close;
};

// Every "{" of `text` with its closing "}", in order. Found in one walk from
// the end that keeps, for the positions just after, where a scan reaching
// them outside or inside a string would stop: text full of braces that
// never close is not scanned once per brace.
std::vector<Brace> closing_braces(std::string_view text) {
  constexpr std::size_t kNone = std::string_view::npos;
  std::size_t plain_next = kNone, quoted_next = kNone;  // scans from at + 1
  std::size_t quoted_after = kNone;                     // a scan inside a string from at + 2
  std::vector<Brace> braces;
  for (std::size_t at = text.size(); at-- > 0;) {
    const char c = text[at];
    if (c == '{') braces.push_back({at, plain_next});
    const std::size_t plain = c == '"' ? quoted_next : c == '}' ? at : plain_next;
    const std::size_t quoted = c == '\\' ? quoted_after : c == '"' ? plain_next : quoted_next;
    quoted_after = quoted_next;
    plain_next = plain;
    quoted_next = quoted;
  }
  std::ranges::reverse(braces);
  return braces;
}

class LegacyFinder {
 public:
  LegacyFinder(Severity severity, DiagnosticCollector& out) : severity_(severity), out_(out) {}

  // A Text token's text, starting at `offset` of the module text.
  bool text(std::string_view text, std::size_t offset) {
    const std::vector<Brace> braces = closing_braces(text);
    std::size_t next = 0;  // the first of `braces` at or after `at`
    for (std::size_t at = 0; at < text.size(); ++at) {
      if (text[at] == '\\' && at + 1 < text.size() && (text[at + 1] == '{' || text[at + 1] == '}')) {
        const std::string brace(1, text[at + 1]);
        if (!finding("legacy escape `\\" + brace + "` \u2014 single-brace escapes are no longer needed; remove the backslash",
                     "Run `quarl lint --fix` to remove the backslash automatically.", Span{offset + at, 2},
                     FixEdit{offset + at, offset + at + 1, ""}))
          return false;
        ++at;
        continue;
      }
      if (text[at] != '{') continue;
      while (braces[next].open < at) ++next;
      if (at + 1 < text.size() && text[at + 1] == '{') {
        ++at;
        continue;
      }
      const std::size_t close = braces[next].close;
      if (close == std::string_view::npos) continue;
      const std::string_view inner = text.substr(at + 1, close - at - 1);
      if (is_legacy_expression(inner) &&
          !finding("legacy single-brace interpolation `{" + std::string(inner) + "}` \u2014 use `{{" + std::string(inner) +
                       "}}` (double braces)",
                   "Run `quarl lint --fix` to migrate to `{{x}}` syntax automatically.", Span{offset + at, close - at + 1},
                   FixEdit{offset + at, offset + close + 1, "{{" + std::string(inner) + "}}"}))
        return false;
      at = close;
    }
    return true;
  }

  // A @message directive line starting at `offset`: a role in single braces.
  bool message(std::string_view line, std::size_t offset) {
    const std::size_t colon = line.rfind(':');
    if (colon == std::string_view::npos) return true;
    const std::string_view header = line.substr(9, colon - 9);  // after "@message "
    const std::string_view role = utf8::trim(header);
    if (role.size() < 2 || !role.starts_with('{') || role.starts_with("{{") || !role.ends_with('}')) return true;
    const std::string_view inner = utf8::trim(role.substr(1, role.size() - 2));
    const std::size_t start = offset + static_cast<std::size_t>(role.data() - line.data());
    return finding("legacy single-brace `@message` role `" + std::string(role) + "` \u2014 use `{{" + std::string(inner) +
                       "}}` (double braces)",
                   "Run `quarl lint --fix` to update to `{{expr}}` syntax.", Span{start, role.size()},
                   FixEdit{start, start + role.size(), "{{" + std::string(inner) + "}}"});
  }

 private:
  // An edit that showing it would change (a line feed inside the braces) is
  // left out: applied as shown it would write the escape into the template.
  bool finding(std::string message, std::string help, Span span, FixEdit edit) {
    Diagnostic diagnostic{"legacy-interpolation", severity_, std::move(message), std::move(help), span, {}, std::nullopt};
    if (!escape_for_display(edit.new_text)) diagnostic.fix_edits = std::vector<FixEdit>{std::move(edit)};
    return out_.push(std::move(diagnostic));
  }

  Severity severity_;
  DiagnosticCollector& out_;
};

}  // namespace

bool check_shadowed_variables(const Template& module, const LintFacts& facts, Severity severity,
                              DiagnosticCollector& out) {
  Scopes scopes;
  for (const LintFacts::Named& variable : facts.variables) scopes.push({variable.name, "frontmatter variable"});
  for (const LintFacts::ImportRecord& record : facts.imports)
    if (record.form == ImportForm::Alias) scopes.push({record.alias.name, "import alias"});
  return ShadowFinder(*module.text, severity, out).body(module.body, scopes);
}

bool check_legacy_interpolation(const Template& module, Severity severity, DiagnosticCollector& out) {
  const TokenList tokens = lex(module.text);
  LegacyFinder finder(severity, out);
  for (const Token& token : tokens.tokens) {
    if (token.kind == TokenKind::Text) {
      if (!finder.text(token.text, token.offset)) return false;
    } else if (token.kind == TokenKind::Directive && token.text.starts_with("@message ")) {
      if (!finder.message(token.text, token.offset)) return false;
    }
  }
  return true;
}

// ---- the rule table ---------------------------------------------------------

namespace {

// Adapters from the table's one signature to the rules that read only the
// tree or only the facts.
template <bool (*Check)(const Template&, Severity, DiagnosticCollector&)>
bool on_tree(const Template& module, const LintFacts&, Severity severity, DiagnosticCollector& out) {
  return Check(module, severity, out);
}
template <bool (*Check)(const LintFacts&, Severity, DiagnosticCollector&)>
bool on_facts(const Template&, const LintFacts& facts, Severity severity, DiagnosticCollector& out) {
  return Check(facts, severity, out);
}

constexpr LintRule kLintRules[] = {
    {"empty-block", Severity::Warn, true, on_tree<check_empty_blocks>},
    {"redundant-else", Severity::Warn, false, on_tree<check_redundant_else>},
    {"unreachable-branch", Severity::Error, true, on_tree<check_unreachable_branches>},
    {"duplicate-import", Severity::Error, true, on_facts<check_duplicate_imports>},
    {"duplicate-export", Severity::Error, true, on_facts<check_duplicate_exports>},
    {"unused-variable", Severity::Warn, false, on_facts<check_unused_variables>},
    {"unused-import", Severity::Warn, false, on_facts<check_unused_imports>},
    {"unused-function", Severity::Warn, false, on_facts<check_unused_functions>},
    {"shadow-variable", Severity::Off, false, check_shadowed_variables},
    {"legacy-interpolation", Severity::Warn, true, on_tree<check_legacy_interpolation>},
};

}  // namespace

std::span<const LintRule> lint_rules() noexcept { return kLintRules; }

const LintRule* find_lint_rule(std::string_view name) noexcept {
  const auto* found = std::ranges::find(kLintRules, name, &LintRule::name);
  return found == std::end(kLintRules) ? nullptr : found;
}

}  // namespace quarl
