// Evaluation throughput: loops, function calls, and large values that must be
// borrowed or shared rather than copied.
//
//   quarl_eval_bench
//
// Prints, for each case, the best wall time of several runs of the evaluator
// alone (lexing and parsing happen once, outside the timing).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>

#include "render/evaluator.hpp"
#include "render_template.hpp"
#include "syntax/lexer.hpp"
#include "syntax/parser.hpp"

namespace {

constexpr int kRuns = 5;

std::shared_ptr<const quarl::Template> parse(const std::string& source) {
  return std::make_shared<const quarl::Template>(
      quarl::parse_template(quarl::lex(std::make_shared<const std::string>(source))));
}

void measure(const char* label, const std::string& source, const quarl::Variables& variables,
             double units, const char* unit) {
  const auto tpl = parse(source);
  double best = 1e30;
  std::size_t bytes = 0;
  for (int i = 0; i < kRuns; ++i) {
    quarl::Warnings warnings;
    const auto start = std::chrono::steady_clock::now();
    bytes = quarl::testing_support::render_template(*tpl, variables, warnings).size();
    const std::chrono::duration<double> took = std::chrono::steady_clock::now() - start;
    best = std::min(best, took.count());
  }
  std::printf("%-34s %9.3f ms  %8.1f ns/%s  (%zu bytes out)\n", label, best * 1e3,
              best * 1e9 / units, unit, bytes);
}

quarl::Value large_array(std::size_t n) {
  quarl::Value::Array items;
  items.reserve(n);
  for (std::size_t i = 0; i < n; ++i)
    items.push_back(quarl::Value::object({{"name", quarl::Value::string("item " + std::to_string(i))},
                                          {"value", quarl::Value::number(static_cast<double>(i))}}));
  return quarl::Value::array(std::move(items));
}

}  // namespace

int main() {
  const quarl::Value items = large_array(100000);
  std::printf("evaluator, best of %d runs\n", kRuns);

  measure("loop over 100000 elements", "@for item in items:\n- {{ item.name }}: {{ item.value }}\n@end\n",
          {{"items", items}}, 100000, "iteration");

  // 1500 calls: a chain of 125 functions (the call stack holds at most 128),
  // entered 12 times, each body looping and testing before the next call.
  std::string chain;
  for (int i = 1; i <= 125; ++i) {
    chain += "@define f" + std::to_string(i) + "(x):\n@for y in one:\n@if y && x:\n";
    chain += i < 125 ? "{{ f" + std::to_string(i + 1) + "(x) }}" : "{{ x }}";
    chain += "\n@end\n@end\n@end\n";
  }
  chain += "@for n in twelve:\n{{ f1(n) }}\n@end\n";
  quarl::Value::Array twelve;
  for (int i = 1; i <= 12; ++i) twelve.push_back(quarl::Value::number(i));
  measure("1500 nested function calls", chain,
          {{"one", quarl::Value::array({quarl::Value::number(1)})},
           {"twelve", quarl::Value::array(std::move(twelve))}},
          1500, "call");

  // Large values: reading one field, or passing the whole value along, must
  // not copy it (100000 elements, 1000 times).
  measure("1000 x field of a large object",
          "@for i in thousand:\n{{ big.k }}\n@end\n",
          {{"big", quarl::Value::object({{"k", quarl::Value::string("v")}, {"items", items}})},
           {"thousand", quarl::Value::array(quarl::Value::Array(1000, quarl::Value::null()))}},
          1000, "read");
  measure("1000 x large array as argument",
          "@define count(v):\n{{ length(v) }}\n@end\n@for i in thousand:\n{{ count(items) }}\n@end\n",
          {{"items", items},
           {"thousand", quarl::Value::array(quarl::Value::Array(1000, quarl::Value::null()))}},
          1000, "call");
  return 0;
}
