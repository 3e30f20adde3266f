#include "lint/rules.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval_support.hpp"
#include "lint/facts.hpp"
#include "quarl/lint.hpp"
#include "quarl/result.hpp"
#include "syntax/frontmatter.hpp"

namespace quarl {
namespace {

using Check = bool (*)(const Template&, Severity, DiagnosticCollector&);

struct RuleCase {
  const char* title;
  Check check;
  std::string source;
  std::vector<std::string> findings;  // "offset+length message"
};

// A rule over the facts, as a rule over the template they are gathered from.
template <bool (*check)(const LintFacts&, Severity, DiagnosticCollector&)>
bool with_facts(const Template& module, Severity severity, DiagnosticCollector& out) {
  return check(gather_facts(module, load_frontmatter(module.frontmatter, false, {})), severity, out);
}

bool shadowed_variables(const Template& module, Severity severity, DiagnosticCollector& out) {
  return check_shadowed_variables(module, gather_facts(module, load_frontmatter(module.frontmatter, false, {})),
                                  severity, out);
}

std::vector<std::string> findings_of(const DiagnosticCollector& collector) {
  std::vector<std::string> out;
  for (const Diagnostic& d : collector.diagnostics())
    out.push_back(std::to_string(d.span->offset) + "+" + std::to_string(d.span->length) + " " + d.message);
  return out;
}

TEST(LintRules, Rules) {
  const std::string kTrue = "@if condition is always true \u2014 @elseif/@else branches are unreachable.";
  const std::string kFalse = "@if condition is always false \u2014 the then-body is dead code.";
  const std::string kSame = "@elseif condition is structurally identical to an earlier branch \u2014 this branch can never be reached.";
  const std::string kRedundant =
      "The @else body is identical to the @if body \u2014 the conditional produces the same output regardless of the condition.";
  const std::vector<RuleCase> cases = {
      {"blank lines are an empty body", check_empty_blocks, "@if x:\n\n  \n@end\n", {"0+3 @if then-body is empty."}},
      {"an interpolation is not", check_empty_blocks, "@if x:\n{{ y }}\n@end\n", {}},
      {"each empty body of a chain, then the bodies inside", check_empty_blocks,
       "@if a:\n@for i in xs:\n@end\n@elseif b:\n@else:\n \n@end\n",
       {"26+7 @elseif body is empty.", "37+5 @else body is empty.", "7+4 @for body is empty."}},
      {"a function names itself", check_empty_blocks, "@define greet(a):\n\n@end\n", {"0+13 @define 'greet' body is empty."}},
      {"a message", check_empty_blocks, "@message user:\n@end\n", {"0+8 @message body is empty."}},
      {"the same @else", check_redundant_else, "@if a:\nsame {{ x }}\n@else:\nsame {{ x }}\n@end\n", {"0+3 " + kRedundant}},
      {"not with an @elseif", check_redundant_else, "@if a:\nX\n@elseif b:\nY\n@else:\nX\n@end\n", {}},
      {"not when they differ", check_redundant_else, "@if a:\n{{ x }}\n@else:\n{{ y }}\n@end\n", {}},
      {"always true, with an @else", check_unreachable_branches, "@if \"a\" == \"a\":\nA\n@else:\nB\n@end\n", {"0+3 " + kTrue}},
      {"always true alone is no finding", check_unreachable_branches, "@if \"a\" == \"a\":\nA\n@end\n", {}},
      {"always false; numbers by value", check_unreachable_branches, "@if 1 != 1.0:\nA\n@end\n", {"0+3 " + kFalse}},
      {"a variable is not constant", check_unreachable_branches, "@if x == \"a\":\nA\n@end\n", {}},
      {"constant @elseif conditions", check_unreachable_branches,
       "@if x:\nA\n@elseif true == true:\nB\n@elseif null != null:\nC\n@end\n",
       {"9+7 @elseif condition is always true.", "33+7 @elseif condition is always false \u2014 this branch is dead code."}},
      {"an @elseif like any earlier condition", check_unreachable_branches,
       "@if x:\nA\n@elseif x:\nB\n@elseif y.z:\nC\n@elseif y.z:\nD\n@end\n", {"9+7 " + kSame, "37+7 " + kSame}},
      {"single braces around a name, a path and calls", check_legacy_interpolation, "Hi {name}, {a.b} {f(x, \"}\")} {m.g()}\n",
       {"3+6 legacy single-brace interpolation `{name}` \u2014 use `{{name}}` (double braces)",
        "11+5 legacy single-brace interpolation `{a.b}` \u2014 use `{{a.b}}` (double braces)",
        "17+11 legacy single-brace interpolation `{f(x, \"}\")}` \u2014 use `{{f(x, \"}\")}}` (double braces)",
        "29+7 legacy single-brace interpolation `{m.g()}` \u2014 use `{{m.g()}}` (double braces)"}},
      {"prose and JSON in braces, double braces, fences", check_legacy_interpolation,
       "a {two words} {\"k\": 1} {{ x }} \\{{ y\n```\n{name}\n```\n", {}},
      {"single-brace escapes", check_legacy_interpolation, "a \\{ b \\}\n",
       {"2+2 legacy escape `\\{` \u2014 single-brace escapes are no longer needed; remove the backslash",
        "7+2 legacy escape `\\}` \u2014 single-brace escapes are no longer needed; remove the backslash"}},
      {"a quote left open hides the braces after it; an escaped quote stays in its string", check_legacy_interpolation,
       "b {f(\"\\\"}\")} {\"} {y}\n",
       {"2+10 legacy single-brace interpolation `{f(\"\\\"}\")}` \u2014 use `{{f(\"\\\"}\")}}` (double braces)",
        "17+3 legacy single-brace interpolation `{y}` \u2014 use `{{y}}` (double braces)"}},
      {"a message role in single braces", check_legacy_interpolation, "@message {role}:\nHi\n@end\n",
       {"9+6 legacy single-brace `@message` role `{role}` \u2014 use `{{role}}` (double braces)"}},
      {"the same path twice, written two ways", with_facts<check_duplicate_imports>,
       "@import \"./a.quarl\" as a\n@import \"a.quarl\" as b\n",
       {"25+22 Duplicate import: 'a.quarl' is imported more than once."}},
      {"a frontmatter import, then the directive", with_facts<check_duplicate_imports>,
       "---\nimports: [{path: ./a.quarl}]\n---\n@import \"./a.quarl\"\n",
       {"37+19 Duplicate import: './a.quarl' is imported more than once."}},
      {"names and wildcard paths exported twice", with_facts<check_duplicate_exports>,
       "@export f\n@export g\n@export f\n@export * from \"./a.quarl\"\n@export * from \"./a.quarl\"\n",
       {"20+9 Duplicate export: 'f' is exported more than once.",
        "57+26 Duplicate wildcard export from './a.quarl': already exported above."}},
      {"frontmatter keys the body never names", with_facts<check_unused_variables>,
       "---\na: 1\nb: 2\n'c': 3\n---\n{{ a }} {{ f(c) }}\n",
       {"9+1 Variable 'b' is defined in frontmatter but never referenced in the body."}},
      {"each key where it is written: quoted, with a colon inside, before CRLF", with_facts<check_unused_variables>,
       "---\r\nlist: [a:b]\r\na:b: 1\r\n\"q r\" : 2\r\nend:\r\n  x: 1\r\n---\r\n{{ list }}\r\n",
       {"18+3 Variable 'a:b' is defined in frontmatter but never referenced in the body.",
        "27+3 Variable 'q r' is defined in frontmatter but never referenced in the body.",
        "37+3 Variable 'end' is defined in frontmatter but never referenced in the body."}},
      {"names used in an @elseif, as an aliased call's argument, a selective prompt", with_facts<check_unused_variables>,
       "---\na: 1\nb: 2\n---\n@if x:\n@elseif a:\n@end\n{{ lib.f(b) }}\n", {}},
      {"a selectively imported prompt read as a variable", with_facts<check_unused_imports>,
       "@import { prompt } from \"./a.quarl\"\n{{ prompt }}\n", {}},
      {"an alias and a name never used", with_facts<check_unused_imports>,
       "@import \"./a.quarl\" as lib\n@import { x, y } from \"./b.quarl\"\n@import \"./c.quarl\" as c\n@include c\n{{ y() }}\n",
       {"23+3 Import alias 'lib' from './a.quarl' is never used.",
        "37+1 Imported name 'x' from './b.quarl' is never used."}},
      {"a function neither exported nor called", with_facts<check_unused_functions>,
       "@define f():\nA\n@end\n@define g():\nB\n@end\n@define h():\nC\n@end\n@export g\n{{ h() }}\n",
       {"0+9 Function 'f' is defined but never exported or called."}},
      {"bindings that hide an outer one", shadowed_variables,
       "---\nitem: 1\n---\n@import \"./a.quarl\" as lib\n@define f(lib, x):\n@for x in lib:\n{{ x }}\n@end\n@end\n"
       "@for item in xs:\n@for item in ys:\n@end\n@end\n",
       {"53+3 Variable 'lib' (@define parameter) shadows an outer import alias with the same name.",
        "67+1 Variable 'x' (@for loop variable) shadows an outer @define parameter with the same name.",
        "100+4 Variable 'item' (@for loop variable) shadows an outer frontmatter variable with the same name.",
        "117+4 Variable 'item' (@for loop variable) shadows an outer @for loop variable with the same name."}},
  };
  for (const RuleCase& c : cases) {
    SCOPED_TRACE(c.title);
    DiagnosticCollector collector("input.quarl");
    EXPECT_TRUE(c.check(*testing_support::parse_source(c.source), Severity::Warn, collector));
    EXPECT_EQ(findings_of(collector), c.findings);
  }
}

// Each finding carries the edit that migrates it, unless showing the edit
// would change it (a line feed inside the braces): then it is not fixable.
TEST(LintRules, LegacyFixEdits) {
  DiagnosticCollector collector("input.quarl");
  check_legacy_interpolation(*testing_support::parse_source("a {x} \\{ {\nname\n}\n"), Severity::Warn, collector);
  ASSERT_EQ(collector.diagnostics().size(), 3U);
  EXPECT_EQ(collector.diagnostics()[0].fix_edits, (std::vector<FixEdit>{{2, 5, "{{x}}"}}));
  EXPECT_EQ(collector.diagnostics()[1].fix_edits, (std::vector<FixEdit>{{6, 7, ""}}));
  EXPECT_EQ(collector.diagnostics()[2].fix_edits, std::nullopt);
  EXPECT_FALSE(is_fixable(collector.diagnostics()[2]));
}

// A rule stops at the collector's cap: 1000 findings kept, the file truncated.
TEST(LintRules, StopAtTheCap) {
  std::string source;
  for (std::size_t i = 0; i <= kMaxDiagnosticsPerFile; ++i) source += "@if x:\n@end\n";
  DiagnosticCollector collector("input.quarl");
  EXPECT_FALSE(check_empty_blocks(*testing_support::parse_source(source), Severity::Info, collector));
  EXPECT_EQ(collector.diagnostics().size(), kMaxDiagnosticsPerFile);
  EXPECT_TRUE(collector.truncated());
  EXPECT_EQ(collector.diagnostics().back().severity, Severity::Info);
}

TEST(LintRules, Configuration) {
  const RuleConfig config = {{"unreachable-branch", Severity::Warn}, {"shadow-variable", Severity::Info},
                             {"zz\n", Severity::Off},               {"empty-block", Severity::Off},
                             {"aa", Severity::Error},                {"zz\n", Severity::Info},
                             {"unused-variable", Severity::Off},     {"unused-variable", Severity::Error}};
  // A rule named twice runs at its last setting.
  EXPECT_EQ(effective_severity(config, "unused-variable"), Severity::Error);
  const Outcome<Value> linted = lint_source("---\na: 1\n---\nx\n", {}, config);
  ASSERT_TRUE(linted.has_value());
  EXPECT_NE(canonical_text(*linted).find("\"severity\":\"error\""), std::string::npos) << canonical_text(*linted);
  EXPECT_EQ(effective_severity({}, "unreachable-branch"), Severity::Error);
  EXPECT_EQ(effective_severity({}, "shadow-variable"), Severity::Off);
  EXPECT_EQ(effective_severity(config, "unreachable-branch"), Severity::Warn);
  EXPECT_EQ(effective_severity(config, "shadow-variable"), Severity::Info);
  EXPECT_EQ(effective_severity(config, "empty-block"), Severity::Off);
  const std::string list =
      "duplicate-export, duplicate-import, empty-block, legacy-interpolation, redundant-else, shadow-variable, "
      "unreachable-branch, unused-function, unused-import, unused-variable";
  EXPECT_EQ(unknown_rules_warning(config), "unknown lint rules: 'aa', 'zz\\u000A'; recognised rules are: " + list + "; ignoring");
  EXPECT_EQ(unknown_rules_warning({{"nope", Severity::Warn}}),
            "unknown lint rule 'nope'; recognised rules are: " + list + "; ignoring");
  EXPECT_EQ(unknown_rules_warning({{"empty-block", Severity::Warn}}), std::nullopt);
}

// Bodies nested as deep as the walk goes, and one deeper.
TEST(LintRules, FactsDepthLimit) {
  for (const std::size_t depth : {kMaxFactsDepth, kMaxFactsDepth + 1}) {
    Template module{std::make_shared<const std::string>("x"), std::nullopt, std::nullopt, {}, {}};
    NodeList body;
    for (std::size_t i = 0; i < depth; ++i) {
      NodeList outer;
      outer.push_back(Node{0, If{Condition{Truthy{Expr{Var{"x", {}}}}}, std::move(body), {}, std::nullopt}});
      body = std::move(outer);
    }
    module.body = std::move(body);
    if (depth > kMaxFactsDepth) {
      EXPECT_THROW(gather_facts(module, Frontmatter{}), Error);
    } else {
      EXPECT_TRUE(gather_facts(module, Frontmatter{}).variables_used.contains("x"));
    }
  }
}

}  // namespace
}  // namespace quarl
