#include "render/messages.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval_support.hpp"
#include "printers.hpp"

namespace quarl {
namespace {

using testing_support::evaluate_messages;
using testing_support::parse_source;

std::vector<Message> messages(const std::string& source, Variables variables,
                              Warnings* warnings = nullptr) {
  Warnings own;
  const auto tpl = parse_source(source);
  const auto names = testing_support::make_module_context(*tpl, variables);
  Scope scope(names.get());
  EvalContext context(warnings ? *warnings : own);
  return evaluate_messages(tpl->body, tpl->text, scope, context);
}

std::vector<Message> messages(const std::string& source, const std::string& json = "{}") {
  return messages(source, testing_support::variables_from_json(json));
}

Error messages_error(const std::string& source, const std::string& json = "{}") {
  try {
    messages(source, json);
  } catch (const Error& e) {
    return e;
  }
  ADD_FAILURE() << "no error: " << source;
  return Error::syntax("none");
}

// Messages as templates compile to them are cases in tests/cases/messages.txt.
// Rendered without the check gate, the role is checked before the body,
// which would fail too.
TEST(Messages, RoleBeforeBody) {
  const Error number = messages_error("@message {{ r }}:\n{{ missing }}\n@end", R"({"r": 1})");
  EXPECT_EQ(number.code(), ErrorCode::TypeError);
  EXPECT_EQ(number.message(), "type error: @message role must evaluate to a string, but got number");
  EXPECT_EQ(number.help(), std::nullopt);
  EXPECT_EQ(number.span(), (Span{0, 17}));
}

TEST(Messages, DetectedAnywhereInTheTree) {
  EXPECT_FALSE(has_message_blocks(parse_source("text {{ x }}\n@if a:\n@end")->body));
  EXPECT_TRUE(has_message_blocks(parse_source("@if a:\n@else:\n@message s:\n@end\n@end")->body));
  EXPECT_TRUE(has_message_blocks(parse_source("@define f():\n@message s:\n@end\n@end")->body));
}

}  // namespace
}  // namespace quarl
