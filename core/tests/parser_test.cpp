#include "parser.hpp"

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

// The body tree, preceded by the frontmatter and @extends when present.
std::string show_template(const Template& t) {
  std::string out;
  if (t.frontmatter) out += "fm=" + show_text(*t.frontmatter) + " ";
  if (t.extends)
    out += "extends=" + std::string(t.extends->path) + "@" + std::to_string(t.extends->offset) + " ";
  return out + show(t.body);
}

std::string repeat(const std::string& s, std::size_t n) {
  std::string out;
  for (std::size_t i = 0; i < n; ++i) out += s;
  return out;
}

struct TreeCase {
  std::string source;
  std::string tree;
};

TEST(Parser, Trees) {
  const std::vector<TreeCase> cases = {
      {"", "[]"},
      {"a {{ x }} \\{{ b", "[Text\"a \" {{Var(x)}} Text\" \" Esc Text\" b\"]"},
      {"@if x:\nA\n@elseif y:\nB\n@else:\nC\n@end\nD",
       "[If(Truthy(Var(x)) [Text\"A\\n\"] ElseIf(Truthy(Var(y)) [Text\"B\\n\"]) Else[Text\"C\\n\"]) "
       "Text\"D\"]"},
      {"@if x == 'a:b':\n@end", "[If(Eq(Var(x), Str(\"a:b\")) [])]"},
      {"@if f(\"):\"):\n@end", "[If(Truthy(Call(f, [Str(\"):\")])) [])]"},
      {"@for item in items:\n- {{ item }}\n@end\n",
       "[For(item in Var(items) [Text\"- \" {{Var(item)}} Text\"\\n\"])]"},
      {"@for k , v in data.obj:\n@end", "[For(k, v in Path(data.obj) [])]"},
      {"@for x in f(a, b) :\n@end", "[For(x in Call(f, [Var(a), Var(b)]) [])]"},
      {"@define greet(name, greeting='Hello'):\n{{ greeting }}, {{ name }}\n@end",
       "[Define(greet(name, greeting=Str(\"Hello\")) [{{Var(greeting)}} Text\", \" "
       "{{Var(name)}} Text\"\\n\"])]"},
      {"@define f(a = 1, b=\"x,y\", c=true, d=null, e=-2.5, ,):\n@end",
       "[Define(f(a=Num(1), b=Str(\"x,y\"), c=Bool(true), d=Null, e=Num(-2.5)) [])]"},
      {"@define f() trailing:\n@end", "[Define(f() [])]"},
      {"@message system:\nHi\n@end\n@message {{ role }}:\n@end\n@message {{ \"user\" }}:\n@end",
       "[Message(system [Text\"Hi\\n\"]) Message(Var(role) []) Message(Str(\"user\") [])]"},
      {"@message assistant bot :\n@end", "[Message(assistant bot [])]"},
      {"@import \"./a.quarl\"\n@import \"./a.quarl\"  as  a\n@import { x, , y } from \"./b.quarl\"",
       "[Import(\"./a.quarl\") Import(\"./a.quarl\" as a) Import({x@57, y@62} from \"./b.quarl\")]"},
      {"@import{x}from\t\"./b.quarl\" ignored", "[Import({x@8} from \"./b.quarl\")]"},
      {"@export name\n@export f from \"./a.quarl\"\n@export * from \"./b.quarl\"\n@export *from \"c\"",
       "[Export(name) Export(f from \"./a.quarl\") Export(* from \"./b.quarl\") Export(* from \"c\")]"},
      {"@include helpers\n", "[Include(helpers)]"},
      {"@block intro:\nHello\n@end", "[Block(intro [Text\"Hello\\n\"])]"},
      {"@message s:\n@if x:\n@end\n@end", "[Message(s [If(Truthy(Var(x)) [])])]"},
      // Fence lines always end with a line feed; an @end inside a fence is content.
      {"@if x:\n```\n@end\n```\n@end\n",
       "[If(Truthy(Var(x)) [Text\"```\\n\" Text\"@end\\n\" Text\"```\\n\"])]"},
      {"```\r\nx\r\n```", "[Text\"```\\n\" Text\"x\r\\n\" Text\"```\\n\"]"},
      // Frontmatter and @extends
      {"---\r\nk: v\r\n---\n\n  \n@extends \"./base.quarl\" trailing\n@block a:\n@end\n",
       "fm=\"k: v\\n\" extends=./base.quarl@19 [Block(a [])]"},
      {"@extends   \"b.quarl\"", "extends=b.quarl@0 []"},
      {"---\n---\nbody", "fm=\"\" [Text\"body\"]"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    try {
      EXPECT_EQ(show_template(parse(c.source)), c.tree);
    } catch (const Error& e) {
      ADD_FAILURE() << e.message();
    }
  }
}

// `depth` nested blocks: `first` outermost, then `openers` in turn.
std::string nested(const std::string& first, const std::vector<std::string>& openers,
                   std::size_t depth) {
  std::string source = first;
  for (std::size_t i = 1; i < depth; ++i) source += openers[i % openers.size()];
  return source + repeat("@end\n", depth);
}

TEST(Parser, NestingLimit) {
  const std::vector<std::string> mixed = {"@define f():\n", "@for x in xs:\n", "@if x:\n"};
  for (const auto& first : {"@if x:\n", "@message m:\n", "@block b:\n"}) {
    SCOPED_TRACE(first);
    EXPECT_NO_THROW(parse(nested(first, mixed, 64)));
    try {
      parse(nested(first, mixed, 65));
      ADD_FAILURE() << "65 nested blocks parsed";
    } catch (const Error& e) {
      EXPECT_EQ(e.message(), "syntax error: nesting depth exceeds maximum of 64");
      EXPECT_FALSE(e.span());
    }
  }
}

TEST(Parser, ElseIfLimit) {
  EXPECT_NO_THROW(parse("@if x:\n" + repeat("@elseif y:\n", 256) + "@end"));
  const std::string source = "@if x:\n" + repeat("@elseif y:\n", 257) + "@end";
  try {
    parse(source);
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.message(), "syntax error: @if block has more than 256 @elseif branches");
    EXPECT_EQ(e.span(), (Span{7 + 256 * 11, 10}));
  }
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
