#include "scope.hpp"

#include <gtest/gtest.h>

#include "eval_support.hpp"

namespace quarl {
namespace {

TEST(Scope, InnerBindingsShadowAndVanish) {
  ModuleContext global;
  global.variables.emplace("x", Value::string("global"));
  Scope scope(&global);
  EXPECT_EQ(scope.lookup_var("x")->as_string(), "global");
  {
    const FrameGuard frame(scope);
    scope.define_var("x", Value::string("first"));
    scope.define_var("x", Value::string("second"));  // replaces within the frame
    EXPECT_EQ(scope.lookup_var("x")->as_string(), "second");
    EXPECT_EQ(scope.depth(), 2U);
  }
  EXPECT_EQ(scope.lookup_var("x")->as_string(), "global");
  EXPECT_EQ(scope.lookup_var("y"), nullptr);
}

TEST(Scope, NamespacesAreSeparate) {
  ModuleContext global;
  const ImportedModule lib;
  global.modules.emplace("lib", &lib);
  Scope scope(&global);
  EXPECT_EQ(scope.lookup_var("lib"), nullptr);
  EXPECT_EQ(scope.lookup_function("lib"), nullptr);
  EXPECT_NE(scope.lookup_module("lib"), nullptr);
  scope.define_var("lib", Value::number(1));
  EXPECT_NE(scope.lookup_module("lib"), nullptr);
}

TEST(Scope, OwnBindingsComeBeforeTheFramesContext) {
  ModuleContext context;
  context.variables.emplace("name", Value::string("module"));
  Scope scope;
  scope.push_frame(&context);
  EXPECT_EQ(scope.lookup_var("name")->as_string(), "module");
  scope.define_var("name", Value::string("param"));
  EXPECT_EQ(scope.lookup_var("name")->as_string(), "param");
  scope.pop_frame();
  EXPECT_EQ(scope.lookup_var("name"), nullptr);
}

TEST(Scope, TheGlobalFrameStays) {
  Scope scope;
  try {
    scope.pop_frame();
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(),
              "syntax error: internal error: cannot pop the global scope frame \u2014 this is a "
              "compiler bug, please report it");
  }
  EXPECT_EQ(scope.depth(), 1U);
  scope.define_var("still", Value::null());
  EXPECT_NE(scope.lookup_var("still"), nullptr);
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
