#include "render/builtins.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "eval_support.hpp"

namespace quarl {
namespace {

// The results and argument errors of every builtin are cases in
// tests/cases/builtins.txt; here, what JSON cannot hold and the output limits.
TEST(Builtins, NonFiniteArguments) {
  Warnings warnings;
  const auto tpl = testing_support::parse_source("{{ slice(\"abc\", n) }}");
  for (const auto& [value, message] : std::vector<std::pair<double, std::string>>{
           {std::nan(""), "slice() second argument must be a finite number, got NaN"},
           {-HUGE_VAL, "slice() second argument must be a finite number, got -inf"}}) {
    try {
      testing_support::render_template(*tpl, {{"n", Value::number(value)}}, warnings);
      ADD_FAILURE();
    } catch (const Error& e) {
      EXPECT_EQ(e.message(), message);
    }
  }
  try {
    testing_support::render_template(*testing_support::parse_source("{{ sort(v) }}"),
                    {{"v", Value::array({Value::number(1), Value::number(HUGE_VAL)})}}, warnings);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "sort() cannot sort non-finite number: inf");
  }
}

}  // namespace
}  // namespace quarl
