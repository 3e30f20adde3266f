#include "validator.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "eval_support.hpp"
#include "printers.hpp"

namespace quarl {
namespace {

using testing_support::parse_source;
using testing_support::variables_from_json;

// Validates `source` with `json` as its variables; the error, if any.
std::optional<Error> validation_error(const std::string& source, const std::string& json = "{}") {
  const auto tpl = parse_source(source);
  const auto names = make_module_context(*tpl, variables_from_json(json));
  Scope scope(names.get());
  try {
    validate(tpl->body, scope, tpl->text);
  } catch (const Error& e) {
    EXPECT_EQ(scope.depth(), 1U) << "frames are popped on the way out";
    return e;
  }
  EXPECT_EQ(scope.depth(), 1U);
  return std::nullopt;
}

struct Case {
  std::string source;
  std::string json;
  std::string message;  // empty: the source passes
  std::optional<Span> span;
};

TEST(Validator, Gate) {
  const std::string greet = "@define greet(name, greeting='Hi'):\n{{ greeting }} {{ name }}\n@end\n";
  const std::vector<Case> cases = {
      {"{{ who }}", "{}", "undefined variable 'who'", Span{3, 3}},
      {"{{ who }}", R"({"who": 1})", "", std::nullopt},
      {"x {{ user.name }}", "{}", "undefined variable 'user'", Span{5, 4}},
      {greet + "{{ greet(\"a\") }}{{ greet(\"a\", \"b\") }}", "{}", "", std::nullopt},
      {greet + "{{ greet() }}", "{}", "arity mismatch for 'greet': expected 1-2 arguments, got 0",
       Span{70, 5}},
      {greet + "{{ greet(1, 2, 3) }}", "{}",
       "arity mismatch for 'greet': expected 1-2 arguments, got 3", Span{70, 5}},
      {"@define upper(a, b):\n@end\n{{ upper(\"x\", \"y\") }}", "{}", "", std::nullopt},
      {"{{ upper(\"x\", \"y\") }}", "{}", "arity mismatch for 'upper': expected 1 argument, got 2",
       Span{3, 5}},
      {"{{ nope() }}", "{}", "undefined function 'nope'", Span{3, 4}},
      {"{{ upper(nope(x)) }}", R"({"x": 1})", "undefined function 'nope'", Span{9, 4}},
      {"{{ lib.f() }}", "{}", "undefined variable 'lib'", Span{3, 3}},
      {"@include lib\n", "{}", "undefined variable 'lib'", Span{9, 3}},
      {"@if a && b == missing:\n@end", R"({"a": 1, "b": 2})", "undefined variable 'missing'",
       Span{14, 7}},
      {"@if a:\n@elseif upper():\n@end", R"({"a": 1})",
       "arity mismatch for 'upper': expected 1 argument, got 0", Span{15, 5}},
      // Loops
      {"@for x in obj:\n@end", R"({"obj": {"k": 1}})",
       "syntax error: cannot iterate over object 'obj' with a single variable \u2014 use @for key, "
       "value in obj: to iterate over an object's entries",
       Span{10, 3}},
      {"@for k, v in obj:\n{{ k }}{{ v }}\n@end", R"({"obj": {"k": 1}})", "", std::nullopt},
      {"@for x in s:\n@end", R"({"s": "text"})", "type error: expected array for @for loop, got string",
       Span{10, 1}},
      {"@for x in n:\n@end", R"({"n": null})", "type error: expected array for @for loop, got null",
       Span{10, 1}},
      {"@for x in missing:\n@end", "{}", "undefined variable 'missing'", Span{10, 7}},
      {"@for x in d.items:\n@end", R"({"d": 1})", "", std::nullopt},
      {"@for x in split(s, \",\"):\n{{ x }}\n@end", R"({"s": ""})", "", std::nullopt},
      // Placeholders: loop variables and parameters stand for any value.
      {"@for row in rows:\n@for cell in row:\n{{ cell.x }}\n@end\n@end", R"({"rows": []})", "",
       std::nullopt},
      {"@define f(items):\n@for i in items:\n{{ i }}\n@end\n@end", "{}", "", std::nullopt},
      {"@for x in xs:\n@end\n{{ x }}", R"({"xs": []})", "undefined variable 'x'", Span{22, 1}},
      {"@message {{ role }}:\nhi\n@end", "{}", "undefined variable 'role'", Span{12, 4}},
      {"@block b:\n{{ inside }}\n@end", "{}", "undefined variable 'inside'", Span{13, 6}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const std::optional<Error> error = validation_error(c.source, c.json);
    if (c.message.empty()) {
      EXPECT_FALSE(error) << error->message();
      continue;
    }
    ASSERT_TRUE(error);
    EXPECT_EQ(error->message(), c.message);
    EXPECT_EQ(error->span(), c.span);
  }
}

std::string nested_call(std::size_t depth) {
  std::string text = "x";
  for (std::size_t i = 0; i < depth; ++i) text = "trim(" + text + ")";
  return "{{ " + text + " }}";
}

TEST(Validator, NestedCallDepth) {
  // 65 calls: the outermost and 64 nested in arguments (the parser's own limit).
  EXPECT_FALSE(validation_error(nested_call(65), R"({"x": "a"})"));
}

}  // namespace
}  // namespace quarl
