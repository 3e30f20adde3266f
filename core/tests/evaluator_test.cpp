#include "render/evaluator.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <optional>
#include <string>
#include <vector>

#include "eval_support.hpp"
#include "outcomes.hpp"
#include "tables.hpp"

namespace quarl {
namespace {

using testing_support::parse_source;
using testing_support::render;
using testing_support::evaluate;
using testing_support::variables_from_json;

TEST(Evaluator, WithoutTheCheckGate) {
  for (const auto& row : testing_support::table_rows("unchecked_renders")) {
    SCOPED_TRACE(row[0].get<std::string>());
    try {
      const std::string output = render(row[0], row[1].dump());
      EXPECT_EQ(row[2], output);
    } catch (const Error& e) {
      EXPECT_EQ(row.size() > 3 ? row[3] : nlohmann::json(), error_line(e));
    }
  }
}

// Renders a template whose global frame also binds `alias` to `module`.
std::string render_with_module(const std::string& source, std::string_view alias,
                               const ImportedModule& module, Warnings& warnings) {
  const auto tpl = parse_source(source);
  const auto names = testing_support::make_module_context(*tpl, {});
  names->modules.emplace(std::string(alias), &module);
  Scope scope(names.get());
  EvalContext context(warnings);
  return evaluate(tpl->body, tpl->text, scope, context);
}

// Qualified calls and includes as templates meet them are cases in
// tests/cases/linking.txt; rendered without the check gate, a field of an
// alias names the mistake.
TEST(Evaluator, AFieldOfAnAlias) {
  const ImportedModule lib;
  Warnings warnings;
  try {
    render_with_module("{{ lib.x }}", "lib", lib, warnings);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(),
              "syntax error: 'lib' is an imported module, not a variable \u2014 to call a "
              "function use {lib.func()}");
  }
}

// Records what the evaluator reports, one line per event.
class LogRecorder : public SourceMapRecorder {
 public:
  std::string log;
  void segment(std::size_t output_offset, const ModuleText&, std::size_t source_offset,
               std::size_t source_length) override {
    log += "seg " + std::to_string(output_offset) + "<-" + std::to_string(source_offset) + "+" +
           std::to_string(source_length) + "\n";
  }
  void begin_call() override { log += "begin\n"; }
  void end_call(std::size_t trimmed_front, std::size_t kept_length) override {
    log += "end " + std::to_string(trimmed_front) + "," + std::to_string(kept_length) + "\n";
  }
  void place_calls(std::size_t output_offset) override {
    log += "place " + std::to_string(output_offset) + "\n";
  }
  void carry(std::size_t output_offset, std::span<const MapSegment> segments) override {
    log += "carry " + std::to_string(segments.size()) + " at " + std::to_string(output_offset) + "\n";
  }
};

TEST(Evaluator, ReportsSourcePositionsToARecorder) {
  const auto tpl = testing_support::parse_source(
      "@define f():\n  hi\n@end\nA {{ x }}\\{{{{ f() }}");
  Warnings warnings;
  LogRecorder recorder;
  const std::string out =
      testing_support::render_template(*tpl, testing_support::variables_from_json(R"({"x": "val"})"), warnings,
                      &recorder);
  EXPECT_EQ(out, "A val{{hi");
  EXPECT_EQ(recorder.log,
            "seg 0<-23+2\n"      // "A "
            "seg 2<-25+1\n"      // {{ x }}: the { and the expression's length
            "seg 5<-32+3\n"      // \{{ becomes {{
            "begin\n"
            "seg 0<-13+5\n"      // the function body "  hi\n", into its own text
            "end 2,2\n"
            "place 7\n");
}

}  // namespace
}  // namespace quarl
