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

struct ErrorCase {
  std::string source;
  std::string message;
  std::optional<Span> span;  // none: the error has no span
};

const std::string kUnknown =
    ". Valid directives: @if, @elseif, @else:, @end, @for, @define, @import, @export, @include, "
    "@message, @block, @extends";

TEST(Parser, Errors) {
  const std::vector<ErrorCase> cases = {
      // Block structure
      {"@if x:\nA", "unclosed @if block (missing @end)", Span{0, 3}},
      {"x\n@for i in xs:\n", "unclosed @for block (missing @end)", Span{2, 4}},
      {"@define f():\n", "unclosed @define block (missing @end)", Span{0, 7}},
      {"@message s:\n", "unclosed @message block (missing @end)", Span{0, 8}},
      {"@block b:\n", "unclosed @block block (missing @end)", Span{0, 6}},
      {"@if x:\n@else:\n@else:\r\n@end", "expected @end to close @if block, got '@else:'",
       Span{14, 7}},
      {"@if x:\n@else:\n@elseif y:\n@end", "expected @end to close @if block, got '@elseif y:'",
       Span{14, 10}},
      {"@for x in y:\n@elseif z:\n@end",
       "@elseif must appear inside an @if block", Span{13, 10}},
      {"@else", "found '@else' without colon \u2014 use '@else:' (with trailing colon)", Span{0, 5}},
      {"@end", "unknown directive: @end" + kUnknown, Span{0, 4}},
      {"@else :", "unknown directive: @else :" + kUnknown, Span{0, 7}},
      {"@end if", "unknown directive: @end if" + kUnknown, Span{0, 7}},
      {"hi\n@someone  \n", "unknown directive: @someone" + kUnknown, Span{3, 10}},
      {"@if\n@end", "unknown directive: @if" + kUnknown, Span{0, 3}},
      {"@elseif x:", "@elseif must appear inside an @if block", Span{0, 10}},
      {"@elseif: x",
       "found '@elseif:' without a condition \u2014 use '@elseif <condition>:' (condition "
       "required)",
       Span{0, 10}},
      // Colon rule and conditions
      {"@if x\n@end", "@if directive must end with ':'", Span{0, 5}},
      {"@if x: y\n@end", "@if directive must end with ':'", Span{0, 8}},
      {"@if f(x:\n@end", "@if directive must end with ':'", Span{0, 8}},
      {"@if x == 'a:\n@end", "unterminated string literal in @if condition", Span{0, 12}},
      {"@if x:\n@elseif y\n@end", "@elseif directive must end with ':'", Span{7, 9}},
      {"@if f(a: b):\n@end", "invalid function argument: 'a: b'", Span{0, 12}},
      {"@if x = 1:\n@end", "use '==' for comparison, not '='", Span{0, 10}},
      {"@if x:\n@elseif \"a\":\n@end",
       "cannot use a literal value in @if condition \u2014 use a variable or function call",
       Span{7, 12}},
      // @extends
      {"text\n@extends \"./b.quarl\"\r\n",
       "@extends must be the first directive after frontmatter \u2014 only one @extends is "
       "allowed and it must appear before any other content",
       Span{5, 20}},
      {"{{ x }}\n@extends \"b\"",
       "@extends must be the first directive after frontmatter \u2014 only one @extends is "
       "allowed and it must appear before any other content",
       Span{8, 12}},
      {"@extends \"a\"\n@extends \"b\"",
       "@extends must be the first directive after frontmatter \u2014 only one @extends is "
       "allowed and it must appear before any other content",
       Span{13, 12}},
      {"@extends  ", "@extends requires a quoted path: @extends \"./base.quarl\"", Span{0, 10}},
      {"@extends './b.quarl'", "expected quoted path, got: './b.quarl'", std::nullopt},
      {"@extends \"./b.quarl", "unclosed quote in path", std::nullopt},
      // @for
      {"@for x of xs:\n@end", "@for must follow pattern: @for <var> in <iterable>:", Span{0, 13}},
      {"@for 1x in xs:\n@end", "invalid loop variable name: '1x'", Span{0, 14}},
      {"@for 1k, v in o:\n@end", "invalid key variable name: '1k'", Span{0, 16}},
      {"@for k, v, w in o:\n@end", "invalid value variable name: 'v, w'", Span{0, 18}},
      {"@for x in \"abc\":\n@end",
       "cannot use a literal value as @for iterable: '\"abc\"' \u2014 use a variable or function "
       "call",
       Span{0, 16}},
      {"@for x in a.1:\n@end",
       "invalid dot-path in directive expression: 'a.1' \u2014 each segment must be a valid "
       "identifier (got '1')",
       Span{0, 14}},
      // @define
      {"@define f(a)\n@end", "@define directive must end with ':'", Span{0, 12}},
      {"@define f:\n@end", "@define must have parameter list: @define name(params):", Span{0, 10}},
      {"@define f(a:\n@end", "@define: unclosed parenthesis", Span{0, 12}},
      {"@define f)(:\n@end",
       "@define: ')' comes before '(' \u2014 use @define name(params):", Span{0, 12}},
      {"@define 1f():\n@end", "invalid function name: '1f'", Span{0, 13}},
      {"@define f(1a):\n@end", "invalid parameter name: '1a'", std::nullopt},
      {"@define f(a==1):\n@end", "invalid parameter name: 'a='", std::nullopt},
      {"@define f(a=x):\n@end",
       "invalid default value for parameter 'a': 'x' \u2014 must be a string, number, boolean, "
       "or null",
       std::nullopt},
      {"@define f(a=1e999):\n@end", "NaN and infinity are not valid condition values",
       std::nullopt},
      {"@define f(a='x', b):\n@end",
       "required parameter 'b' cannot follow an optional parameter in @define f", std::nullopt},
      {"@define f(a, b, a):\n@end", "duplicate parameter name 'a' in @define f", std::nullopt},
      // Past the eighth name, names are looked up in a set that holds the first eight too.
      {"@define f(a, b, c, d, e, g, h, i, j, a):\n@end", "duplicate parameter name 'a' in @define f",
       std::nullopt},
      // @include, @message, @block
      {"@include 1x", "invalid include alias: '1x'", Span{0, 11}},
      {"@message :\n@end",
       "@message role must not be empty \u2014 use e.g. @message system:", Span{0, 10}},
      {"@message a:\n@message b:\n@end\n@end",
       "@message blocks cannot be nested inside another @message block", Span{12, 11}},
      {"@message {{ 1x }}:\n@end",
       "invalid expression in directive: '1x' \u2014 expected a variable, function call, or "
       "literal",
       Span{0, 18}},
      {"@message {{ 'x }}:\n@end", "unterminated string literal in @message condition",
       Span{0, 18}},
      {"@if x:\n@block a:\n@end\n@end",
       "@block is top-level only \u2014 it cannot appear inside @if, @for, or @define",
       Span{7, 9}},
      {"@block a:\n@block b:\n@end\n@end", "@block cannot be nested inside another @block",
       Span{10, 9}},
      {"@message s:\n@block b:\n@end\n@end", "@block cannot be nested inside a @message block",
       Span{12, 9}},
      {"@block :\n@end", "@block name must not be empty \u2014 use e.g. @block instructions:",
       Span{0, 8}},
      {"@block a b:\n@end", "invalid @block name: 'a b' \u2014 must be a valid identifier",
       Span{0, 11}},
      // @import and @export
      {"@import", "expected quoted path, got: ", std::nullopt},
      {"@import './a.quarl'", "expected quoted path, got: './a.quarl'", std::nullopt},
      {"@import \"./a.quarl\" as 1", "invalid import alias: '1'", std::nullopt},
      {"@import \"./a.quarl\" extra", "unexpected text after import path: 'extra'", std::nullopt},
      {"@import { x from \"a\"", "unclosed { in selective import", std::nullopt},
      {"@import { 1x } from \"a\"", "invalid import name: '1x'", std::nullopt},
      {"@import { x } \"a\"", "selective import requires 'from' keyword", std::nullopt},
      {"@import { x } from", "selective import requires 'from' keyword", std::nullopt},
      {"@export", "@export requires a name", std::nullopt},
      {"@export 1x", "invalid export name: '1x'", std::nullopt},
      {"@export a  b", "invalid export name: 'a  b'", std::nullopt},
      {"@export 1x from \"a\"", "invalid re-export name: '1x'", std::nullopt},
      {"@export * from 'a'", "expected quoted path, got: 'a'", std::nullopt},
      // Interpolations keep their own span
      {"ab\n{{ f(x }}", "unclosed parenthesis in function call", Span{3, 3}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.source);
    const auto text = std::make_shared<const std::string>(c.source);
    try {
      parse_template(lex(text));
      ADD_FAILURE() << "parsed without error";
    } catch (const Error& e) {
      EXPECT_EQ(e.code(), ErrorCode::Syntax);
      EXPECT_EQ(e.message(), "syntax error: " + c.message);
      EXPECT_EQ(e.span(), c.span);
      if (c.span) {
        EXPECT_EQ(e.module_text(), text);
      }
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
