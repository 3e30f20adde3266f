// The lint rules: their names, default severities and configuration; the
// rules that read the parse tree alone (empty blocks, a redundant @else,
// unreachable branches), and those that read the module's facts (duplicate
// imports and exports, what is defined and never used).
#pragma once

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "lint/facts.hpp"
#include "lint/report.hpp"
#include "syntax/template.hpp"

namespace quarl {

// The recognised names, in the order the unknown-rule warning lists them.
inline constexpr std::array<std::string_view, 10> kLintRuleNames = {
    "duplicate-export", "duplicate-import",   "empty-block",     "legacy-interpolation", "redundant-else",
    "shadow-variable",  "unreachable-branch", "unused-function", "unused-import",        "unused-variable"};

// The severity `rule` runs at: the configured one, else its default
// (`shadow-variable` is off unless configured).
Severity effective_severity(const RuleConfig& config, std::string_view rule) noexcept;

// The warning for the names in `config` that are no rule ("unknown lint rule
// ..."), or none when every name is known.
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
