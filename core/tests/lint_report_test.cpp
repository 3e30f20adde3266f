#include "lint/report.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "quarl/result.hpp"

namespace quarl {
namespace {

TEST(LintReport, DisplayEscaping) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"plain text, \u00e9 and \U0001F600", std::nullopt},
      {"tab\tstays", std::nullopt},
      {"a\nb", "a\\u000Ab"},
      {"\r\x01\x1f\x7f", "\\u000D\\u0001\\u001F\\u007F"},
      {"c1 \u0085 \u009f", "c1 \\u0085 \\u009F"},
      {"\u061c\u200e\u200f\u2028\u2029\u202a\u202e\u2066\u2069\ufeff",
       "\\u061C\\u200E\\u200F\\u2028\\u2029\\u202A\\u202E\\u2066\\u2069\\uFEFF"},
      {"near misses \u00a0\u200d\u202f\u2065\u206a", std::nullopt},
  };
  for (const auto& [text, expected] : cases) EXPECT_EQ(escape_for_display(text), expected) << text;
}

// Every replacement keeps the byte length, so spans stay valid.
TEST(LintReport, RenderNeutralisation) {
  const std::vector<std::pair<std::string, std::optional<std::string>>> cases = {
      {"line\nand\ttab, \u00e9", std::nullopt},
      {"a\rb\x01\x7f", "a?b??"},
      {"\u0085\u061c", "\u00a0\u00a0"},
      {"x\u202ey\u2066\ufeff", "x\ufffdy\ufffd\ufffd"},
  };
  for (const auto& [text, expected] : cases) {
    const std::optional<std::string> neutral = neutralize_source_for_render(text);
    EXPECT_EQ(neutral, expected) << text;
    if (neutral) {
      EXPECT_EQ(neutral->size(), text.size());
    }
  }
}

TEST(LintReport, CollectorCap) {
  DiagnosticCollector collector("input.quarl");
  const Diagnostic finding{"unused-variable", Severity::Warn, "unused", {}, {}, {}, {}};
  for (std::size_t i = 0; i < kMaxDiagnosticsPerFile; ++i) ASSERT_TRUE(collector.push(finding));
  EXPECT_FALSE(collector.truncated());
  EXPECT_FALSE(collector.push(finding));
  EXPECT_TRUE(collector.truncated());
  EXPECT_EQ(collector.diagnostics().size(), kMaxDiagnosticsPerFile);
}

TEST(LintReport, FixableOnlyForRulesWithSafeFixes) {
  const std::vector<FixEdit> edit = {{3, 4, ""}};
  EXPECT_TRUE(is_fixable({"legacy-interpolation", Severity::Warn, "", {}, {}, {}, edit}));
  EXPECT_TRUE(is_fixable({"empty-block", Severity::Warn, "", {}, {}, {{0, 4, true}}, {}}));
  EXPECT_FALSE(is_fixable({"empty-block", Severity::Warn, "", {}, {}, {}, {}}));  // nothing to apply
  EXPECT_FALSE(is_fixable({"unused-function", Severity::Warn, "", {}, {}, {{0, 4, true}}, {}}));
}

TEST(LintReport, CanonicalValue) {
  DiagnosticCollector clean("input.quarl");
  EXPECT_EQ(canonical_text(lint_canonical(clean, "x")),
            R"({"files":[{"diagnostics":[],"file":"input.quarl"}],"truncated":false,"version":1})");

  const std::string source = "\u00e9t\u00e9\n{x} and \\{";
  DiagnosticCollector collector("dir/\u202elint.quarl");
  collector.push({"legacy-interpolation", Severity::Warn, "use {{x}}\nplease", "help", Span{6, 3}, {},
                  std::vector<FixEdit>{{6, 9, "{{x}}"}, {14, 15, ""}}});
  collector.push({"unused-variable", Severity::Info, "unused", std::nullopt, Span{99, 1}, {}, std::nullopt});
  collector.push({"redundant-else", Severity::Error, "same", std::nullopt, std::nullopt, {}, std::nullopt});
  EXPECT_EQ(canonical_text(lint_canonical(collector, source)),
            R"({"files":[{"diagnostics":[)"
            R"({"fix_edits":[{"end":9,"new_text":"{{x}}","start":6},{"end":15,"new_text":"","start":14}],)"
            R"("fixable":true,"help":"help","message":"use {{x}}\\u000Aplease","rule":"legacy-interpolation",)"
            R"("severity":"warn","span":{"column":1,"length":3,"line":2,"offset":6}},)"
            R"({"fix_edits":null,"fixable":false,"help":null,"message":"unused","rule":"unused-variable",)"
            R"("severity":"info","span":{"column":null,"length":1,"line":null,"offset":99}},)"
            R"({"fix_edits":null,"fixable":false,"help":null,"message":"same","rule":"redundant-else",)"
            R"("severity":"error","span":null}],"file":"dir/\\u202Elint.quarl"}],"truncated":false,"version":1})");
}

TEST(LintReport, SeverityNames) {
  for (const Severity severity : {Severity::Off, Severity::Info, Severity::Warn, Severity::Error})
    EXPECT_EQ(parse_severity(severity_name(severity)), severity);
  EXPECT_EQ(parse_severity("warning"), std::nullopt);
}

}  // namespace
}  // namespace quarl
