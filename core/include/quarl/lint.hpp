// Lint: the check gate, then ten rules over the linted module; the canonical
// lint value every binding shows.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "quarl/compile.hpp"
#include "quarl/value.hpp"

namespace quarl {

// Ordered: a rule set to `Off` does not run; a finding carries one of the others.
enum class Severity : std::uint8_t { Off, Info, Warn, Error };

// "off", "info", "warn", "error".
std::string_view severity_name(Severity severity) noexcept;
std::optional<Severity> parse_severity(std::string_view name) noexcept;

// A caller's severity for each rule it names (later entries win); names that
// are no rule are reported as a warning on the result.
using RuleConfig = std::vector<std::pair<std::string, Severity>>;

// The canonical lint value of the entry module ({"files", "truncated",
// "version"}, with "lint_warnings" when `rules` names unknown rules), or the
// check gate's failure. The file is "input.quarl" for a source string, the
// path as given for a file, the entry's key for a module map.
Outcome<Value> lint(TemplateInput input, const CompileOptions& options, const RuleConfig& rules);
Outcome<Value> lint_source(std::string source, const CompileOptions& options, const RuleConfig& rules);
Outcome<Value> lint_file(std::string_view path, const CompileOptions& options, const RuleConfig& rules);
Outcome<Value> lint_virtual(ModuleMap modules, std::string_view entry, const CompileOptions& options,
                            const RuleConfig& rules);

// Why `canonical`, a value built outside the compiler, is not one the lint
// entry points could have returned, or none (as compile_result_problem: a
// key left out is no problem, a key or a value of another shape is).
std::optional<std::string> lint_result_problem(const Value& canonical);

}  // namespace quarl
