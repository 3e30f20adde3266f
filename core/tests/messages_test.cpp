#include "messages.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "eval_support.hpp"
#include "printers.hpp"

namespace quarl {
namespace {

using testing_support::parse_source;

std::vector<Message> messages(const std::string& source, Variables variables,
                              Warnings* warnings = nullptr) {
  Warnings own;
  const auto tpl = parse_source(source);
  const auto names = make_module_context(*tpl, variables);
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

TEST(Messages, Walk) {
  EXPECT_EQ(messages("\n@message system:\n  You are {{ name }}.  \n@end\n\n \t\n@message user:\nHi\n@end\n",
                     R"({"name": "Bot"})"),
            (std::vector<Message>{{"system", "You are Bot."}, {"user", "Hi"}}));
  // Blank bodies yield nothing; roles come from expressions as they are.
  EXPECT_EQ(messages("@message a:\n  \n@end\n@message {{ r }}:\nx\n@end", R"({"r": " odd "})"),
            (std::vector<Message>{{" odd ", "x"}}));
  // Loops (objects by key) and conditions around message blocks.
  EXPECT_EQ(messages("@for k, v in turns:\n@if v:\n@message {{ k }}:\n{{ v }}\n@end\n@end\n@end",
                     R"({"turns": {"user": "q", "assistant": "a", "system": ""}})"),
            (std::vector<Message>{{"assistant", "a"}, {"user", "q"}}));
  // Escaped braces, definitions and blocks outside messages are fine.
  EXPECT_EQ(messages("\\{{\n@define f():\nx\n@end\n@block b:\n@message s:\n{{ f() }}\n@end\n@end"),
            (std::vector<Message>{{"s", "x"}}));
}

TEST(Messages, IncludeIsIgnoredWithAWarning) {
  Warnings warnings;
  const auto tpl = parse_source("@include lib\n@message s:\nx\n@end");
  const auto names = make_module_context(*tpl, {});
  const ImportedModule lib;
  names->modules.emplace("lib", &lib);
  Scope scope(names.get());
  EvalContext context(warnings);
  EXPECT_EQ(evaluate_messages(tpl->body, tpl->text, scope, context).size(), 1U);
  EXPECT_EQ(warnings, Warnings{"warning: @include 'lib' inside messages mode is ignored"});
}

TEST(Messages, Errors) {
  const Error text = messages_error("@message s:\nx\n@end\n  stray text  \n");
  EXPECT_EQ(text.code(), ErrorCode::MixedContent);
  EXPECT_EQ(text.message(), "mixed content: non-message content found outside @message blocks");
  EXPECT_EQ(text.span(), (Span{21, 10}));

  const Error interpolation = messages_error("{{ x }}\n@message s:\nx\n@end", R"({"x": 1})");
  EXPECT_EQ(interpolation.code(), ErrorCode::MixedContent);
  EXPECT_EQ(interpolation.span(), (Span{0, 1}));

  // Role checks come before the body (which would fail too).
  const Error number = messages_error("@message {{ r }}:\n{{ missing }}\n@end", R"({"r": 1})");
  EXPECT_EQ(number.code(), ErrorCode::TypeError);
  EXPECT_EQ(number.message(), "type error: @message role must evaluate to a string, but got number");
  EXPECT_EQ(number.help(), std::nullopt);
  EXPECT_EQ(number.span(), (Span{0, 17}));

  const Error blank = messages_error("@message {{ r }}:\nx\n@end", R"({"r": " \t"})");
  EXPECT_EQ(blank.message(), "type error: @message role must evaluate to a non-empty string");
}

TEST(Messages, Limits) {
  const auto numbers = [](std::size_t n) { return Value::array(Value::Array(n, Value::number(1))); };
  const std::string loop = "@for i in xs:\n@message user:\n{{ i }}\n@end\n@end";
  EXPECT_EQ(messages(loop, {{"xs", numbers(10000)}}).size(), 10000U);
  try {
    messages(loop, {{"xs", numbers(10001)}});
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "resource limit exceeded: message count exceeded maximum of 10000");
  }
  // Blank messages are not counted.
  EXPECT_EQ(messages("@for i in xs:\n@message user:\n\n@end\n@end", {{"xs", numbers(10001)}}).size(),
            0U);

  const Value half = Value::string(std::string(kMaxMessageBytes / 2, 'x'));
  const std::string two = "@message a:\n{{ h }}\n@end\n@message b:\n{{ h }}\n@end\n";
  EXPECT_EQ(messages(two, {{"h", half}}).size(), 2U);
  try {
    messages(two + "@message c:\n.\n@end", {{"h", half}});
    ADD_FAILURE();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(),
              "resource limit exceeded: total message content exceeds maximum cumulative size of "
              "52428800 bytes");
  }
}

TEST(Messages, DetectedAnywhereInTheTree) {
  EXPECT_FALSE(has_message_blocks(parse_source("text {{ x }}\n@if a:\n@end")->body));
  EXPECT_TRUE(has_message_blocks(parse_source("@if a:\n@else:\n@message s:\n@end\n@end")->body));
  EXPECT_TRUE(has_message_blocks(parse_source("@define f():\n@message s:\n@end\n@end")->body));
}

}  // namespace
}  // namespace quarl
