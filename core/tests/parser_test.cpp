#include "syntax/parser.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "tree_print.hpp"

namespace quarl {
namespace {

using testing_support::show;
using testing_support::show_text;

Template parse(const std::string& source) {
  return parse_template(lex(std::make_shared<const std::string>(source)));
}

TEST(Parser, TemplateOwnsEverythingItViews) {
  Template moved = [] {
    Template t = parse("---\r\na: 1\r\n---\r\n```\r\n{{ x }}\n```");
    return t;
  }();
  ASSERT_TRUE(moved.frontmatter);
  EXPECT_EQ(*moved.frontmatter, "a: 1\n");
  EXPECT_EQ(show(moved.body), "[Text\"```\\n\" Text\"{{ x }}\\n\" Text\"```\\n\"]");
  // Text nodes that were not rewritten point into the module text.
  const auto& text = std::get<Text>(moved.body[1].data).text;
  EXPECT_GE(text.data(), moved.text->data());
  EXPECT_LE(text.data() + text.size(), moved.text->data() + moved.text->size());
}

}  // namespace
}  // namespace quarl

namespace quarl {
namespace {

// Every sequence of up to four lines drawn from a set of directive fragments
// either parses or fails with a syntax error spanned inside the text.
TEST(Parser, ExhaustiveLineSequencesNeverCrash) {
  const std::vector<std::string> lines = {
      "@if x:",   "@elseif y == 'a':", "@else:",      "@end",       "@for k, v in o:",
      "@define f(a, b=1):", "@message {{ r }}:", "@block b:", "@import { a } from \"m\"",
      "{{ f(a.b, \"}}\") }}", "```",       "text \\{{ x",  "@extends \"b\"", "@include m"};
  const std::size_t n = lines.size();
  for (std::size_t count = 1; count <= 4; ++count) {
    std::vector<std::size_t> idx(count, 0);
    for (;;) {
      std::string source;
      for (const std::size_t i : idx) source += lines[i] + "\n";
      try {
        parse(source);
      } catch (const Error& e) {
        EXPECT_EQ(e.code(), ErrorCode::Syntax) << source;
        if (e.span()) {
          EXPECT_LE(e.span()->offset + e.span()->length, source.size()) << source;
        }
      }
      std::size_t k = 0;
      while (k < count && ++idx[k] == n) idx[k++] = 0;
      if (k == count) break;
    }
  }
}

}  // namespace
}  // namespace quarl
