// How the cost of a whole compile, or a lint, grows with the size of its
// input: each family of inputs is compiled (or linted, every rule on) at
// sizes n, 2n, 4n and 8n, and the growth
// exponent is the slope of log(time) over log(size) (1 for linear work, 2 for
// quadratic). Anything above 1.2 is flagged.
//
// The allocator is told to keep the memory it frees, so that the best of the
// runs measures the compiler's work: freshly mapped pages cost this machine
// about 2 microseconds each, and whether a run gets them depends on the
// allocator's thresholds rather than on the input.
//
//   quarl_growth_bench
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <malloc.h>
#include <functional>
#include <string>

#include "quarl/compile.hpp"
#include "quarl/lint.hpp"

namespace {

using quarl::ModuleMap;

constexpr int kRuns = 5;  // the best of them: shared machines are noisy
constexpr double kFlagAbove = 1.2;

std::string list(std::string_view prefix, int count) {
  std::string out;
  for (int i = 0; i < count; ++i) {
    if (i) out += ", ";
    out += prefix;
    out += std::to_string(i);
  }
  return out;
}

std::string repeat(std::string_view text, int times) {
  std::string out;
  for (int i = 0; i < times; ++i) out += text;
  return out;
}

// What one compile takes: the modules ("main.quarl" is the entry) and the
// caller's variables.
struct Input {
  ModuleMap modules;
  quarl::Value::Object vars;
};

Input entry(std::string text, quarl::Value::Object vars = {}) {
  return {{{"main.quarl", std::move(text)}}, std::move(vars)};
}

Input extends_chain(int levels) {
  ModuleMap modules;
  for (int level = 0; level < levels; ++level) {
    std::string text = "---\n";
    for (int k = 0; k < 400; ++k)
      text += "k" + std::to_string(level) + "_" + std::to_string(k) + ": v\n";
    text += "---\n";
    text += level + 1 < levels ? "@extends \"./l" + std::to_string(level + 1) + ".quarl\"\n@block b:\nx\n@end\n"
                               : "@block b:\n@end\n";
    modules.emplace(level ? "l" + std::to_string(level) + ".quarl" : "main.quarl", text);
  }
  return {modules, {}};
}

Input imports(int count) {
  ModuleMap modules;
  std::string main;
  for (int i = 0; i < count; ++i) {
    const std::string name = "m" + std::to_string(i);
    main += "@import \"./" + name + ".quarl\" as " + name + "\n{{ " + name + ".f() }}\n";
    modules.emplace(name + ".quarl", "@define f():\n" + name + "\n@end\n");
  }
  modules.emplace("main.quarl", main);
  return {modules, {}};
}

// A template with `n` findings of every rule lint has (13 in all), spread
// over its frontmatter and a body of prose (at most 76 stay under the cap of
// findings per file).
Input mixed_findings(int n) {
  std::string frontmatter = "---\nxs: [1]\n";
  std::string body;
  for (int i = 0; i < n; ++i) {
    const std::string k = std::to_string(i);
    frontmatter += "unused" + k + ": v\n";
    body += "@import \"./lib.quarl\" as lib" + k + "\n";
    body += "@for xs in xs:\n@end\n@if xs:\nsame\n@else:\nsame\n@end\n@if 1 == 2:\nx\n@end\n";
    body += "@define f" + k + "(xs):\n@end\nLegacy {name" + k + "} and \\{escape\\}\n";
    body += repeat("Some prose between the findings, as a real template has. ", 20) + "\n";
  }
  return {{{"main.quarl", frontmatter + "---\n" + body}, {"lib.quarl", "@define g():\nx\n@end\n"}}, {}};
}

// Text whose single braces never close: each one is a candidate of the
// older dialect's interpolations.
Input unclosed_braces(int n) { return entry(repeat("{ \"", n) + "\n"); }

// Frontmatter variables and the parameters of a function: each parameter
// is looked up among all the variables it could hide (the last one does).
Input shadowing(int n) {
  std::string text = "---\n";
  for (int i = 0; i < n; ++i) text += "v" + std::to_string(i) + ": 1\n";
  text += "---\n@define f(" + list("p", n) + ", v0):\nx\n@end\n{{ v0 }}\n";
  return entry(text);
}

// Functions and the list that exports them.
Input exported_functions(int n) {
  std::string text;
  for (int i = 0; i < n; ++i) text += "@define f" + std::to_string(i) + "():\nx\n@end\n";
  for (int i = 0; i < n; ++i) text += "@export f" + std::to_string(i) + "\n";
  return entry(text);
}

struct Family {
  const char* name;
  int n;  // the smallest size
  std::function<Input(int)> input;
  bool lint = false;  // linted, every rule on, instead of compiled
};

// One run of the family's work; whether it succeeded.
bool run(const Input& input, bool lint) {
  quarl::CompileOptions options;
  options.vars = input.vars;
  if (!lint) return quarl::compile_virtual(input.modules, "main.quarl", options).has_value();
  quarl::RuleConfig every_rule;
  for (const char* rule : {"shadow-variable"}) every_rule.emplace_back(rule, quarl::Severity::Warn);
  return quarl::lint_virtual(input.modules, "main.quarl", options, every_rule).has_value();
}

double best_time(const Input& input, bool lint) {
  double best = 1e30;
  for (int run_number = 0; run_number < kRuns; ++run_number) {
    const auto start = std::chrono::steady_clock::now();
    const bool ok = run(input, lint);
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    if (!ok) std::printf("  (fails: the family needs fixing)\n");
    best = std::min(best, took.count());
  }
  return best;
}

}  // namespace

int main() {
  mallopt(M_MMAP_THRESHOLD, 1 << 30);
  mallopt(M_TRIM_THRESHOLD, 1 << 30);
  const quarl::Value::Object x{{"x", quarl::Value::string("v")}};
  Family families[] = {
      {"parameters", 4000,
       [](int n) { return entry("@define f(" + list("p", n) + "):\nx\n@end\n"); }},
      {"arguments", 4000,
       [](int n) {
         return entry("@define f(" + list("p", n) + "):\nx\n@end\n{{ f(" + list("", n) + ") }}\n");
       }},
      {"chain frontmatter (levels)", 8, extends_chain},
      {"lines", 20000, [](int n) { return entry(repeat("A line of plain Markdown text.\n", n)); }},
      {"interpolations", 10000, [&](int n) { return entry(repeat("Value {{ x }} here\n", n), x); }},
      {"loop iterations", 10000,
       [](int n) {
         quarl::Value::Array items(static_cast<std::size_t>(n), quarl::Value::string("item"));
         return entry("@for x in xs:\n- {{ x }}\n@end\n",
                      {{"xs", quarl::Value::array(std::move(items))}});
       }},
      {"frontmatter keys", 2000,
       [](int n) {
         std::string text = "---\n";
         for (int i = 0; i < n; ++i) text += "key" + std::to_string(i) + ": value\n";
         return entry(text + "---\nbody\n");
       }},
      {"imports", 32, imports},
      {"lint: frontmatter keys", 2000,
       [](int n) {
         std::string text = "---\n";
         for (int i = 0; i < n; ++i) text += "key" + std::to_string(i) + ": value\n";
         return entry(text + "---\nbody\n");
       },
       true},
      {"lint: mixed findings", 9, mixed_findings, true},
      {"lint: unclosed braces", 5000, unclosed_braces, true},
      {"lint: shadowed variables", 1000, shadowing, true},
      {"lint: exported functions", 2000, exported_functions, true},
  };
  std::printf("%-28s %10s %10s %10s %10s   exponent\n", "family", "n", "2n", "4n", "8n");
  for (Family& family : families) {
    double sum_x = 0, sum_y = 0, sum_xx = 0, sum_xy = 0;
    std::printf("%-28s", family.name);
    for (int step = 0; step < 4; ++step) {
      const int n = family.n << step;
      const double seconds = best_time(family.input(n), family.lint);
      std::printf(" %8.2fms", seconds * 1e3);
      const double log_n = std::log(n);
      const double log_t = std::log(seconds);
      sum_x += log_n;
      sum_y += log_t;
      sum_xx += log_n * log_n;
      sum_xy += log_n * log_t;
    }
    const double exponent = (4 * sum_xy - sum_x * sum_y) / (4 * sum_xx - sum_x * sum_x);
    std::printf("   %.2f%s\n", exponent, exponent > kFlagAbove ? "  <-- grows faster than linear" : "");
  }
}
