#include "quarl/error.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace quarl {
namespace {

TEST(Error, PayloadTextIsNotScannedForPlaceholders) {
  EXPECT_EQ(Error::undefined_var("{0}{1}").message(), "undefined variable '{0}{1}'");
  EXPECT_EQ(Error::io("").message(), "");
}

struct ArityCase {
  ArityRange range;
  std::size_t got;
  std::string message;
};

TEST(Error, ArityWording) {
  const std::vector<ArityCase> cases = {
      {{1, 1}, 0, "arity mismatch for 'f': expected 1 argument, got 0"},
      {{2, 2}, 1, "arity mismatch for 'f': expected 2 arguments, got 1"},
      {{0, 0}, 1, "arity mismatch for 'f': expected 0 arguments, got 1"},
      {{1, 3}, 4, "arity mismatch for 'f': expected 1-3 arguments, got 4"},
      {{0, 1}, 2, "arity mismatch for 'f': expected 0-1 arguments, got 2"},
  };
  for (const auto& c : cases) EXPECT_EQ(Error::arity("f", c.range, c.got).message(), c.message);
}

struct LocateCase {
  std::string text;
  std::size_t offset;
  std::optional<LineColumn> expected;
};

TEST(Error, LineAndColumnCountCharactersNotBytes) {
  const std::vector<LocateCase> cases = {
      {"", 0, LineColumn{1, 1}},
      {"abc", 0, LineColumn{1, 1}},
      {"abc", 3, LineColumn{1, 4}},        // the end of the text is a position
      {"abc", 4, std::nullopt},            // past the end
      {"\u00e9\nx", 2, LineColumn{1, 2}},  // after a two-byte character
      {"\u00e9\nx", 3, LineColumn{2, 1}},
      {"\u00e9\nx", 1, std::nullopt},  // inside the two-byte character
      {"\u20ac\u20ac", 3, LineColumn{1, 2}},
      {"\u20ac\u20ac", 4, std::nullopt},
      {"\U0001F600x", 4, LineColumn{1, 2}},
      {"a\r\nb", 2, LineColumn{1, 3}},  // a carriage return is an ordinary character
      {"a\r\nb", 3, LineColumn{2, 1}},
      {"a\rb", 2, LineColumn{1, 3}},
      {"\n\n\nx", 3, LineColumn{4, 1}},
      {"ab\ncd\u00e9f", 8, LineColumn{2, 5}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "offset " << c.offset << " in " << testing::PrintToString(c.text));
    EXPECT_EQ(locate(c.text, c.offset), c.expected);
    const Error error =
        Error::syntax("x", Span{c.offset, 1}, std::make_shared<const std::string>(c.text));
    EXPECT_EQ(error.line_column(), c.expected);
  }
}

TEST(Error, KeepsTheModuleTextAlive) {
  auto text = std::make_shared<const std::string>("line one\nline two");
  const Error error = Error::undefined_var("x", Span{14, 3}, text);
  text.reset();
  ASSERT_TRUE(error.module_text());
  EXPECT_EQ(*error.module_text(), "line one\nline two");
  EXPECT_EQ(error.line_column(), (LineColumn{2, 6}));
}

}  // namespace
}  // namespace quarl
