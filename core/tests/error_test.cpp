#include "quarl/error.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"
#include "tables.hpp"

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

TEST(Error, LineAndColumnCountCharactersNotBytes) {
  for (const auto& row : testing_support::table_rows("line_columns")) {
    SCOPED_TRACE(row.dump());
    const auto text = std::make_shared<const std::string>(row[0].get<std::string>());
    const std::optional<LineColumn> expected =
        row[2].is_null() ? std::nullopt : std::optional<LineColumn>(LineColumn{row[2][0], row[2][1]});
    EXPECT_EQ(locate(*text, row[1]), expected);
    EXPECT_EQ(Error::syntax("x", Span{row[1], 1}, text).line_column(), expected);
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
