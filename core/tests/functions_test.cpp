#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval_support.hpp"
#include "outcomes.hpp"
#include "render/scope.hpp"

namespace quarl {
namespace {

using testing_support::parse_source;
using testing_support::render;
using testing_support::render_error;

const std::string kGreet = "@define greet(name, greeting='Hello'):\n{{ greeting }}, {{ name }}!\n@end\n";

// Calls, results and call errors as templates meet them are cases in
// tests/cases/functions.txt (and the recursion error in errors.txt).
// Rendered without the check gate, a function sees its caller's loop variables.
TEST(Functions, SeeTheCallersLoopVariables) {
  EXPECT_EQ(render("@define item_line():\n{{ prefix }}{{ item }}\n@end\n"
                   "@for item in items:\n{{ item_line() }}\n@end",
                   R"({"prefix": "- ", "items": ["a", "b"]})"),
            "- a\n- b\n");
}

TEST(Functions, ArityErrorsCarryTheSignature) {
  EXPECT_EQ(render_error(kGreet + "{{ greet() }}").signature(), "greet(name, greeting = \"Hello\")");
}

TEST(Functions, Signatures) {
  const auto tpl = parse_source(
      "@define f(a, s='q', n=2.5, i=3, t=true, z=null):\n@end\n@define g():\n@end");
  EXPECT_EQ(function_signature(std::get<Define>(tpl->body[0].data)),
            "f(a, s = \"q\", n = 2.5, i = 3, t = true, z = null)");
  EXPECT_EQ(function_signature(std::get<Define>(tpl->body[1].data)), "g()");
}

}  // namespace
}  // namespace quarl

namespace quarl {
namespace {

// The deepest render the limits allow: 128 nested calls, each from inside 63
// nested blocks (the @define itself is the 64th) and as the innermost of 64
// nested argument calls.
std::string deepest_render() {
  std::string source;
  const std::string opens = [] {
    std::string s;
    for (int i = 0; i < 63; ++i) s += i % 2 ? "@for y in one:\n" : "@if one:\n";
    return s;
  }();
  const std::string wrap_open = [] {
    std::string s;
    for (int i = 0; i < 64; ++i) s += "trim(";
    return s;
  }();
  for (int i = 1; i <= 128; ++i) {
    source += "@define f" + std::to_string(i) + "():\n" + opens;
    source += i < 128 ? "{{ " + wrap_open + "f" + std::to_string(i + 1) + "()" +
                            std::string(64, ')') + " }}"
                      : "deep";
    source += "\n";
    for (int j = 0; j < 63; ++j) source += "@end\n";
    source += "@end\n";
  }
  source += "{{ f1() }}";
  return source;
}

TEST(Functions, DeepestRenderTheLimitsAllow) {
  // Release builds need about 5 MB for this; sanitizer builds several times more.
  on_stack_of(std::size_t{256} << 20, [] {
    EXPECT_EQ(render(deepest_render(), R"({"one": [1]})"), "deep");
  });
}

TEST(Functions, TooLittleStackIsAnErrorNotACrash) {
  on_stack_of(std::size_t{1} << 20, [] {
    const Error e = render_error(deepest_render(), R"({"one": [1]})");
    EXPECT_EQ(e.code(), ErrorCode::ResourceLimit);
    EXPECT_EQ(e.message(),
              "resource limit exceeded: template nesting exceeds the available stack space");
  });
}

}  // namespace
}  // namespace quarl
