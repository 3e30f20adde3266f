#include "render/assembly.hpp"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

namespace quarl {
namespace {

struct Case {
  std::string body;
  std::optional<std::string> frontmatter;
  std::string output;
};

TEST(Assembly, Markdown) {
  const std::vector<Case> cases = {
      {"", std::nullopt, ""},
      {" \n\t\u3000\n", std::nullopt, ""},
      {"a\r\nb\r\n\r\n", std::nullopt, "a\nb\n"},
      {"  lead stays\n\n\n", std::nullopt, "  lead stays\n"},
      {"body", "imports:\n  - path: ./a.quarl\ntype: quarl\n", "body\n"},
      {"body", "title: Hi\n", "---\ntitle: Hi\n---\nbody\n"},
      {"", "title: Hi\n", "---\ntitle: Hi\n---\n"},
      {"body", "\n\ntitle: Hi\n\nmore: 1\n\n", "---\ntitle: Hi\n\nmore: 1\n---\nbody\n"},
      {"body", "a: 1\nimports:\n- path: ./a.quarl\n  as: a\n-\n  path: ./b.quarl\nb: 2\n",
       "---\na: 1\nb: 2\n---\nbody\n"},
      {"body", "imports: [{path: ./a.quarl}]\ntype: \"quarl\"\nkeep: x\n", "---\nkeep: x\n---\nbody\n"},
      {"body", "type: quarl # comment\n  type: quarl\nmeta:\n  type: quarl\n",
       "---\ntype: quarl # comment\n  type: quarl\nmeta:\n  type: quarl\n---\nbody\n"},
      {"body", "imports_list: kept\nkey: v\n", "---\nimports_list: kept\nkey: v\n---\nbody\n"},
      {"body", "", "body\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.body + " | " + c.frontmatter.value_or("<none>"));
    EXPECT_EQ(assemble_markdown(c.body, c.frontmatter), c.output);
  }
}

}  // namespace
}  // namespace quarl
