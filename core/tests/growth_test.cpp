// Inputs whose work once grew with the square of their size: each large case
// finishes in a small fraction of what quadratic work would take.
#include <gtest/gtest.h>

#include <chrono>
#include <string>

#include "outcomes.hpp"
#include "quarl/compile.hpp"
#include "quarl/lint.hpp"

namespace quarl {
namespace {

// "{prefix}0, {prefix}1, ..." with `count` names.
std::string names(std::string_view prefix, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += prefix;
    out += std::to_string(i);
  }
  return out;
}

// Templates `levels` deep, each extending the next and setting `keys`
// frontmatter keys of its own.
ModuleMap extends_chain(int levels, int keys) {
  ModuleMap modules;
  for (int level = 0; level < levels; ++level) {
    std::string text = "---\n";
    for (int k = 0; k < keys; ++k)
      text += "k" + std::to_string(level) + "_" + std::to_string(k) + ": v\n";
    text += "shared: {level" + std::to_string(level) + ": " + std::to_string(level) + "}\n---\n";
    text += level + 1 < levels ? "@extends \"./l" + std::to_string(level + 1) + ".quarl\"\n@block b:\n"
                                 "{{ k0_0 }} {{ shared.level" + std::to_string(levels - 1) + " }}\n@end\n"
                               : "@block b:\n@end\n";
    modules.emplace(level ? "l" + std::to_string(level) + ".quarl" : "main.quarl", text);
  }
  return modules;
}

// Quadratic work took tens of seconds here; linear work takes a fraction of
// one second (several times that under the sanitizers).
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr double kMaxSeconds = 12.0;
#else
constexpr double kMaxSeconds = 3.0;
#endif

struct Large {
  const char* name;
  ModuleMap modules;
  std::string expected;  // the end of the output, or the error's message
};

std::string outcome_of(const ModuleMap& modules) {
  const Outcome<CompileResult> result = compile_virtual(modules, "main.quarl", {});
  if (result) return std::get<std::string>(result->output);
  return std::get<Error>(result.error()).message();
}

TEST(Growth, LargeInputsTakeLinearTime) {
  constexpr int n = 64000;
  const std::string define = "@define f(" + names("p", n) + "):\n{{ p" + std::to_string(n - 1) +
                             " }}\n@end\n";
  std::string exports;
  std::string defines;
  for (int i = 0; i < n; ++i) {
    exports += "@export f" + std::to_string(i) + "\n";
    defines += "@define f" + std::to_string(i) + "():\nx\n@end\n";
  }
  const std::vector<Large> cases = {
      {"parameters", {{"main.quarl", define + "none"}}, "none\n"},
      {"arguments", {{"main.quarl", define + "{{ f(" + names("", n) + ") }}"}}, "63999\n"},
      {"exports",
       {{"main.quarl", "@import \"./lib.quarl\" as lib\n{{ lib.f1() }}"},
        {"lib.quarl", defines + exports}},
       "x\n"},
      {"frontmatter import names",
       {{"main.quarl", "---\nimports:\n  - path: ./lib.quarl\n    names: [" + names("f", n) + "]\n---\n"},
        {"lib.quarl", "x"}},
       "import error: 'f0' is not exported from './lib.quarl' (in frontmatter imports[0])"},
      {"an @extends chain's frontmatter", extends_chain(64, 1600), "---\nv 63\n"},
  };
  for (const Large& c : cases) {
    SCOPED_TRACE(c.name);
    const auto start = std::chrono::steady_clock::now();
    const std::string got = outcome_of(c.modules);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(got.ends_with(c.expected)) << got.substr(0, 200);
    EXPECT_LT(took.count(), kMaxSeconds);
  }
}

// Lint: each rule and the report over inputs that once took minutes.
TEST(Growth, LargeLintsTakeLinearTime) {
  std::string keys = "---\n";
  for (int i = 0; i < 60000; ++i) keys += "k" + std::to_string(i) + ": v\n";  // about 1 MB
  std::string defines, exports, prose;
  for (int i = 0; i < 30000; ++i) {
    defines += "@define f" + std::to_string(i) + "():\nx\n@end\n";
    exports += "@export f" + std::to_string(i) + "\n";
  }
  for (int i = 0; i < 999; ++i) prose += "@for x in xs:\n@end\n" + std::string(2000, '.') + "\n";
  std::string braces;
  for (int i = 0; i < 200000; ++i) braces += "{ \"";
  struct Lint {
    const char* name;
    std::string source;
    std::size_t findings;
  };
  const std::vector<Lint> cases = {
      {"frontmatter keys, each unused", keys + "---\n", 1000},
      {"single braces that never close", braces, 0},
      {"parameters among as many variables", keys + "---\n@define f(" + names("p", 30000) + ", k0):\n{{ k1 }}\n@end\n", 1000},
      {"functions and their exports", defines + exports, 0},
      {"findings far apart", "---\nxs: [1]\n---\n" + prose, 999},
  };
  for (const Lint& c : cases) {
    SCOPED_TRACE(c.name);
    CompileOptions options;
    options.vars = {{"xs", Value::array({})}};
    const auto start = std::chrono::steady_clock::now();
    const Outcome<Value> result = lint_source(c.source, options, {{"shadow-variable", Severity::Warn}});
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    EXPECT_LT(took.count(), kMaxSeconds);
    ASSERT_TRUE(result.has_value());
    const Value& files = result->as_object().find("files")->second;
    EXPECT_EQ(files.as_array()[0].as_object().find("diagnostics")->second.as_array().size(), c.findings);
  }
}

}  // namespace
}  // namespace quarl
