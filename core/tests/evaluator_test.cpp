#include "evaluator.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <optional>
#include <string>
#include <vector>

#include "eval_support.hpp"

namespace quarl {
namespace {

using testing_support::parse_source;
using testing_support::render;
using testing_support::render_error;
using testing_support::evaluate;
using testing_support::variables_from_json;

struct RenderCase {
  std::string source;
  std::string json;
  std::string output;
};

// Rendered without the check gate (which would refuse `missing` before
// anything renders), short circuits never evaluate the other side. The
// rendering cases that compile are in tests/cases/rendering.txt.
TEST(Evaluator, ShortCircuits) {
  const std::vector<RenderCase> cases = {
      {"@if a || missing:\nA\n@end", R"({"a": true})", "A\n"},
      {"@if a && missing:\nA\n@end", R"({"a": false})", ""},
      {"@if a:\nA\n@elseif missing:\nB\n@end", R"({"a": 1})", "A\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    try {
      EXPECT_EQ(render(c.source, c.json), c.output);
    } catch (const Error& e) {
      ADD_FAILURE() << e.message();
    }
  }
}

struct FailCase {
  std::string source;
  std::string json;
  ErrorCode code;
  std::string message;
  std::optional<Span> span;
};

// Rendering errors, as the evaluator reports them where the check gate does
// not stand before it: interpolation errors span the {{ and the length of
// the trimmed expression; directive errors span the directive's line.
TEST(Evaluator, Errors) {
  const std::vector<FailCase> cases = {
      {"x {{ nobody }}", "{}", ErrorCode::UndefinedVar, "undefined variable 'nobody'", Span{2, 6}},
      {"@for x in o:\n@end", R"({"o": {"k": 1}})", ErrorCode::Syntax,
       "syntax error: to iterate over an object's entries, use `@for key, value in obj:` syntax",
       Span{0, 12}},
      {"@for x in s:\n@end", R"({"s": "abc"})", ErrorCode::TypeError,
       "type error: expected array for @for loop, got string", Span{0, 12}},
      {"@for x in missing:\n@end", "{}", ErrorCode::UndefinedVar, "undefined variable 'missing'",
       Span{0, 18}},
      {"@include lib", "{}", ErrorCode::UndefinedVar, "undefined variable 'lib'", Span{0, 12}},
      {"{{ lib.render() }}", "{}", ErrorCode::UndefinedVar, "undefined variable 'lib'",
       Span{0, 12}},
      {"{{ nothing(1) }}", "{}", ErrorCode::UndefinedFn, "undefined function 'nothing'",
       Span{0, 10}},
      {"{{ upper() }}", "{}", ErrorCode::Arity,
       "arity mismatch for 'upper': expected 1 argument, got 0", Span{0, 7}},
      {"{{ slice(\"a\") }}", "{}", ErrorCode::Arity,
       "arity mismatch for 'slice': expected 2-3 arguments, got 1", Span{0, 10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const Error e = render_error(c.source, c.json);
    EXPECT_EQ(e.code(), c.code);
    EXPECT_EQ(e.message(), c.message);
    EXPECT_EQ(e.span(), c.span);
  }
}

// Renders a template whose global frame also binds `alias` to `module`.
std::string render_with_module(const std::string& source, std::string_view alias,
                               const ImportedModule& module, Warnings& warnings) {
  const auto tpl = parse_source(source);
  const auto names = make_module_context(*tpl, {});
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
};

TEST(Evaluator, ReportsSourcePositionsToARecorder) {
  const auto tpl = testing_support::parse_source(
      "@define f():\n  hi\n@end\nA {{ x }}\\{{{{ f() }}");
  Warnings warnings;
  LogRecorder recorder;
  const std::string out =
      render_template(*tpl, testing_support::variables_from_json(R"({"x": "val"})"), warnings,
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
