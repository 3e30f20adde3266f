// The formatter's own check: a layout that changes the parse is refused.
#include "format/formatter.hpp"

#include <gtest/gtest.h>

#include <string>

#include "quarl/error.hpp"

namespace quarl {
namespace {

struct TreeCase {
  const char* original;
  const char* formatted;
  const char* error;  // what the refusal says, or nothing: the same tree
};

TEST(Formatter, RefusesALayoutThatChangesTheTree) {
  const TreeCase cases[] = {
      {"x {{a}} @ y\n@import {b} from \"./b.quarl\"\n", "x {{ a }} @ y\n@import { b } from \"./b.quarl\"\n", nullptr},
      {"{{ a }}", "{{ b }}", "formatter produced non-equivalent output: the parse tree changed: before ...[{{Var(a)}}]"},
      {"text  \n", "text \n", "the parse tree changed"},  // text runs are compared byte for byte
      {"@if a:\n@end\n", "@if a:\n", "the formatted template does not parse: syntax error: unclosed @if block"},
  };
  for (const TreeCase& c : cases) {
    SCOPED_TRACE(c.original);
    if (!c.error) {
      EXPECT_NO_THROW(require_same_tree(c.original, c.formatted));
      continue;
    }
    try {
      require_same_tree(c.original, c.formatted);
      ADD_FAILURE() << "accepted";
    } catch (const Error& error) {
      EXPECT_EQ(error.code(), ErrorCode::FormatterInvariant);
      EXPECT_NE(error.message().find(c.error), std::string::npos) << error.message();
    }
  }
}

}  // namespace
}  // namespace quarl
