#include "builtins.hpp"

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
      render_template(*tpl, {{"n", Value::number(value)}}, warnings);
      ADD_FAILURE();
    } catch (const Error& e) {
      EXPECT_EQ(e.message(), message);
    }
  }
  try {
    render_template(*testing_support::parse_source("{{ sort(v) }}"),
                    {{"v", Value::array({Value::number(1), Value::number(HUGE_VAL)})}}, warnings);
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "sort() cannot sort non-finite number: inf");
  }
}

TEST(Builtins, OutputLimits) {
  const Value half = Value::string(std::string(kMaxBuiltinOutput / 2, 'x'));
  const Value commas = Value::string(std::string(kMaxSplitPieces - 1, ','));
  const Variables variables = {{"h", half},
                               {"hh", Value::array({half, half})},
                               {"c", commas},
                               {"more", Value::string(commas.as_string() + ",")}};
  const auto run = [&](const std::string& expr) {
    Warnings warnings;
    try {
      return render_template(*testing_support::parse_source("{{ " + expr + " }}"), variables,
                             warnings);
    } catch (const Error& e) {
      return e.message();
    }
  };
  EXPECT_EQ(run("length(join(hh, \"\"))"), "52428800");
  EXPECT_EQ(run("join(hh, \".\")"), "join() output exceeds maximum size of 52428800 bytes");
  EXPECT_EQ(run("length(replace(h, \"x\", \"xx\"))"), "52428800");
  EXPECT_EQ(run("replace(h, \"x\", \"xxx\")"),
            "replace() output exceeds maximum size of 52428800 bytes");
  EXPECT_EQ(run("length(split(c, \",\"))"), "100000");
  EXPECT_EQ(run("split(more, \",\")"), "split() result exceeds maximum of 100000 elements");
}

}  // namespace
}  // namespace quarl
