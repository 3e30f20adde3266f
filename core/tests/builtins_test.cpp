#include "builtins.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "eval_support.hpp"

namespace quarl {
namespace {

using testing_support::render;
using testing_support::render_error;

// Each case: an expression, the JSON variables, the interpolated result.
struct Case {
  std::string expr;
  std::string json;
  std::string result;
};

const std::string kData = R"({"s": "h\u00e9llo", "arr": [1, 2, 3], "words": ["b", "a", "c"],
  "nums": [3, 1.5, -2, 1.5], "empty": [], "nested": [1, [2]], "mixed": ["a", 1]})";

TEST(Builtins, Results) {
  const std::vector<Case> cases = {
      {"upper(\"stra\u00dfe \u00e9\")", "{}", "STRASSE \u00c9"},
      {"lower(\"\u0130STANBUL \u00c9\")", "{}", "i\u0307stanbul \u00e9"},
      {"trim(\"\u00a0 x y \u3000\")", "{}", "x y"},
      {"replace(\"aaa\", \"aa\", \"b\")", "{}", "ba"},
      {"replace(\"a.b.c\", \".\", \"\")", "{}", "abc"},
      {"join(split(\"a,,b\", \",\"), \"|\")", "{}", "a||b"},
      {"length(split(\"\", \",\"))", "{}", "1"},
      {"starts_with(s, \"h\u00e9\")", kData, "true"},
      {"ends_with(s, \"x\")", kData, "false"},
      {"slice(\"hello\", 1, 3)", "{}", "el"},
      {"slice(\"hello\", -2)", "{}", "hello"},
      {"slice(\"hello\", 4, 2)", "{}", ""},
      {"slice(\"hello\", 2.9, 99)", "{}", "llo"},
      {"slice(s, 1, 2)", kData, "\u00e9"},
      {"slice(arr, 1)", kData, "2, 3"},
      {"slice(arr, 5)", kData, ""},
      {"slice(arr, 0, 18446744073709551616)", kData, "1, 2, 3"},
      {"contains(\"abc\", \"\")", "{}", "true"},
      {"contains(nested, arr)", kData, "false"},
      {"contains(nested, first(slice(nested, 1)))", kData, "true"},
      {"length(s)", kData, "5"},
      {"length(arr)", kData, "3"},
      {"first(arr)", kData, "1"},
      {"last(arr)", kData, "3"},
      {"first(empty)", kData, ""},
      {"reverse(s)", kData, "oll\u00e9h"},
      {"reverse(\"a\U0001F600b\")", "{}", "b\U0001F600a"},
      {"reverse(arr)", kData, "3, 2, 1"},
      {"sort(words)", kData, "a, b, c"},
      {"sort(nums)", kData, "-2, 1.5, 1.5, 3"},
      {"sort(empty)", kData, ""},
      {"unique(split(\"a,b,a\", \",\"))", "{}", "a, b"},
      {"length(unique(u))", R"({"u": [1, 1.0, "1", [1, 2], "1, 2", ["1, 2"], null, null, true]})",
       "6"},
      {"string(arr)", kData, "1, 2, 3"},
      {"number(\" 42 \")", "{}", "42"},
      {"number(\"-1.5e2\")", "{}", "-150"},
      {"number(true)", "{}", "1"},
      {"number(n)", R"({"n": null})", "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expr);
    try {
      EXPECT_EQ(render("{{ " + c.expr + " }}", c.json), c.result);
    } catch (const Error& e) {
      ADD_FAILURE() << e.message();
    }
  }
}

TEST(Builtins, StableSort) {
  // Equal numbers keep their order: mark them through a parallel check.
  EXPECT_EQ(render("{{ sort(v) }}", R"({"v": [2, 1, 2.0, 1.0]})"), "1, 1, 2, 2");
  EXPECT_EQ(render("{{ sort(v) }}", R"({"v": ["b", "B", "a", "\u00e9"]})"), "B, a, b, \u00e9");
}

TEST(Builtins, Errors) {
  const std::vector<Case> cases = {
      {"upper(1)", "{}", "upper() requires a string argument, got number"},
      {"trim(n)", R"({"n": null})", "trim() requires a string argument, got null"},
      {"length(1)", "{}", "length() requires a string or array argument, got number"},
      {"reverse(true)", "{}", "reverse() requires a string or array argument, got boolean"},
      {"first(\"a\")", "{}", "first() requires a array argument, got string"},
      {"replace(\"a\", 1, \"b\")", "{}",
       "replace() requires a string argument for second, got number"},
      {"replace(\"a\", \"b\", o)", R"({"o": {}})",
       "replace() requires a string argument for third, got object"},
      {"replace(\"a\", \"\", \"b\")", "{}", "replace() search string must not be empty"},
      {"split(1, \",\")", "{}", "split() requires a string argument for first, got number"},
      {"split(\"a\", \"\")", "{}", "split() separator must not be empty"},
      {"ends_with(\"a\", a)", R"({"a": []})",
       "ends_with() requires a string argument for second, got array"},
      {"slice(1, 0)", "{}", "slice() requires a string or array argument for first, got number"},
      {"slice(\"a\", \"0\")", "{}", "slice() requires a number argument for second, got string"},
      {"slice(\"a\", 0, null)", "{}", "slice() requires a number argument for third, got null"},
      {"slice(\"a\", 36893488147419103232)", "{}",
       "slice() second argument is too large: 36893488147419103232"},
      {"slice(\"a\", 0, 36893488147419103232)", "{}",
       "slice() third argument is too large: 36893488147419103232"},
      {"contains(1, 1)", "{}", "contains() requires a string or array argument for first, got number"},
      {"contains(\"a\", 1)", "{}", "contains() requires a string argument for second, got number"},
      {"join(\"a\", \",\")", "{}", "join() requires a array argument for first, got string"},
      {"join(mixed, 1)", R"({"mixed": ["a", 1]})",
       "join() requires a string argument for second, got number"},
      {"join(mixed, \",\")", R"({"mixed": ["a", 1]})",
       "join() requires an array of strings, but found number in array"},
      {"sort(v)", R"({"v": ["a", "b", 1]})",
       "sort() requires a homogeneous array; found number mixed with string"},
      {"sort(v)", R"({"v": [1, "b"]})",
       "sort() requires a homogeneous array; found string mixed with number"},
      {"sort(v)", R"({"v": [true]})", "sort() requires an array of strings or numbers, got array of boolean"},
      {"number(\"abc\")", "{}", "number() cannot convert string 'abc' to a number"},
      {"number(\" 1e999 \")", "{}", "number() produced a non-finite value from ' 1e999 '"},
      {"number(\"nan\")", "{}", "number() produced a non-finite value from 'nan'"},
      {"number(arr)", R"({"arr": []})", "number() cannot convert array to a number"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.expr);
    const Error e = render_error("{{ " + c.expr + " }}", c.json);
    EXPECT_EQ(e.code(), ErrorCode::Builtin);
    EXPECT_EQ(e.message(), c.result);
  }
}

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
