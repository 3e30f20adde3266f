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

// What the gate refuses and lets through, as templates meet it, is in
// tests/cases/check_gate.txt; a field of a number is left to rendering.
TEST(Validator, Gate) {
  const std::vector<Case> cases = {
      {"@for x in d.items:\n@end", R"({"d": 1})", "", std::nullopt},
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

}  // namespace
}  // namespace quarl
