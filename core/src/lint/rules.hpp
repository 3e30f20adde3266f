// The lint rules: one table (name, default severity, whether a fix engine may
// apply its edits, the function that runs it) from which the rule list, the
// defaults, the fixable set and the run order all come; the rules that read
// the parse tree alone (empty blocks, a redundant @else, unreachable
// branches), and those that read the module's facts (duplicate imports and
// exports, what is defined and never used). A new rule is one row of the
// table plus its function.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lint/facts.hpp"
#include "lint/report.hpp"
#include "syntax/template.hpp"

namespace quarl {

struct LintRule {
  std::string_view name;
  Severity default_severity;
  bool fixable;  // its removals and edits may be applied as they are
  // Adds the rule's findings at `severity`; false when the collector refused one.
  bool (*run)(const Template& module, const LintFacts& facts, Severity severity, DiagnosticCollector& out);
};

// Every rule, in the order they run.
std::span<const LintRule> lint_rules() noexcept;

// The rule named `name`, or none.
const LintRule* find_lint_rule(std::string_view name) noexcept;

// The severity `rule` runs at: the configured one, else its default
// (`shadow-variable` is off unless configured).
Severity effective_severity(const RuleConfig& config, std::string_view rule) noexcept;

// Runs every rule at its effective severity, in table order.
void run_lint_rules(const Template& module, const LintFacts& facts, const RuleConfig& config,
                    DiagnosticCollector& out);

// The warning for the names in `config` that are no rule ("unknown lint rule
// ..."; the recognised rules listed in alphabetical order), or none when
// every name is known.
std::optional<std::string> unknown_rules_warning(const RuleConfig& config);

// Each rule adds its findings, at `severity`, in document order (a node
// before the nodes inside its bodies); false when the collector refused one.
bool check_empty_blocks(const Template& module, Severity severity, DiagnosticCollector& out);
bool check_redundant_else(const Template& module, Severity severity, DiagnosticCollector& out);
bool check_unreachable_branches(const Template& module, Severity severity, DiagnosticCollector& out);
bool check_duplicate_imports(const LintFacts& facts, Severity severity, DiagnosticCollector& out);
bool check_duplicate_exports(const LintFacts& facts, Severity severity, DiagnosticCollector& out);
bool check_unused_variables(const LintFacts& facts, Severity severity, DiagnosticCollector& out);
bool check_unused_imports(const LintFacts& facts, Severity severity, DiagnosticCollector& out);
bool check_unused_functions(const LintFacts& facts, Severity severity, DiagnosticCollector& out);
// Bindings that hide one of the same name from an enclosing scope: a @for
// variable or a @define parameter over a frontmatter variable, an import
// alias, a parameter or an outer @for variable.
bool check_shadowed_variables(const Template& module, const LintFacts& facts, Severity severity,
                              DiagnosticCollector& out);
// Single-brace syntax of the older dialect in text and @message roles, with
// the edits that migrate it (none when the replacement holds characters
// that showing it would escape: the edit would write the escape instead).
bool check_legacy_interpolation(const Template& module, Severity severity, DiagnosticCollector& out);

}  // namespace quarl
