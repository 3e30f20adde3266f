#include "lexer.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace quarl {

std::ostream& operator<<(std::ostream& os, const Token& t) {
  static constexpr const char* kNames[] = {"Text",     "Interpolation",        "EscapedBrace",
                                           "Directive", "FrontmatterDelimiter", "FrontmatterContent",
                                           "CodeFence", "CodeContent"};
  return os << kNames[static_cast<int>(t.kind)] << "@" << t.offset << " "
            << testing::PrintToString(std::string(t.text));
}

namespace {

using K = TokenKind;

ModuleText text_of(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

// Names parameterised cases after their `name` field.
template <class Case>
std::string case_name(const testing::TestParamInfo<Case>& param) {
  return param.param.name;
}

struct LexCase {
  std::string name;
  std::string source;
  std::vector<Token> expected;
};

class LexesTo : public testing::TestWithParam<LexCase> {};

TEST_P(LexesTo, Tokens) {
  const LexCase& c = GetParam();
  const TokenList list = lex(text_of(c.source));
  EXPECT_EQ(list.tokens, c.expected);
  // Every payload except the carriage-return-free frontmatter copy is a view
  // into the module text itself.
  for (const Token& t : list.tokens) {
    if (t.kind == K::FrontmatterContent || t.text.empty()) continue;
    EXPECT_GE(t.text.data(), list.text->data());
    EXPECT_LE(t.text.data() + t.text.size(), list.text->data() + list.text->size());
  }
}

INSTANTIATE_TEST_SUITE_P(
    Lexer, LexesTo,
    testing::Values(
        LexCase{"Empty", "", {}},
        // Frontmatter
        LexCase{"EmptyFrontmatter",
                "---\n---\n",
                {{K::FrontmatterDelimiter, 0, ""},
                 {K::FrontmatterContent, 4, ""},
                 {K::FrontmatterDelimiter, 4, ""}}},
        LexCase{"EmptyFrontmatterCrlfAtEnd",
                "---\r\n---",
                {{K::FrontmatterDelimiter, 0, ""},
                 {K::FrontmatterContent, 5, ""},
                 {K::FrontmatterDelimiter, 5, ""}}},
        LexCase{"FrontmatterCrlf",
                "---\r\nk: v\r\n---\r\nbody",
                {{K::FrontmatterDelimiter, 0, ""},
                 {K::FrontmatterContent, 5, "k: v\n"},
                 {K::FrontmatterDelimiter, 11, ""},
                 {K::Text, 16, "body"}}},
        LexCase{"FrontmatterOnlyBareDashesClose",
                "---\na\n----\n--- x\n---",
                {{K::FrontmatterDelimiter, 0, ""},
                 {K::FrontmatterContent, 4, "a\n----\n--- x\n"},
                 {K::FrontmatterDelimiter, 17, ""}}},
        LexCase{"FrontmatterThenDirective",
                "---\nx: 1\n---\n@if x:\n",
                {{K::FrontmatterDelimiter, 0, ""},
                 {K::FrontmatterContent, 4, "x: 1\n"},
                 {K::FrontmatterDelimiter, 9, ""},
                 {K::Directive, 13, "@if x:"}}},
        LexCase{"NoFrontmatterAfterSpace", " ---\nx\n---\n", {{K::Text, 0, " ---\nx\n---\n"}}},
        LexCase{"NoFrontmatterAfterBlankLine", "\n---\n---\n", {{K::Text, 0, "\n---\n---\n"}}},
        LexCase{"NoFrontmatterAfterByteOrderMark",
                "\ufeff---\n---\n",
                {{K::Text, 0, "\ufeff---\n---\n"}}},
        LexCase{"NoFrontmatterWithoutLineEnd", "---", {{K::Text, 0, "---"}}},
        // Interpolations and escapes
        LexCase{"Interpolation",
                "a {{ x }} b",
                {{K::Text, 0, "a "}, {K::Interpolation, 2, "x"}, {K::Text, 9, " b"}}},
        LexCase{"EmptyInterpolation", "{{}}", {{K::Interpolation, 0, ""}}},
        LexCase{"InterpolationTrimsUnicodeSpace",
                "{{\u00a0x y\u3000\n}}",
                {{K::Interpolation, 0, "x y"}}},
        LexCase{"InterpolationSpansLines", "{{ a\n  b }}", {{K::Interpolation, 0, "a\n  b"}}},
        LexCase{"BracesInsideDoubleQuotes", "{{ \"}}\" }}", {{K::Interpolation, 0, "\"}}\""}}},
        LexCase{"EscapedQuoteInsideSingleQuotes",
                "{{ 'it\\'s' }}",
                {{K::Interpolation, 0, "'it\\'s'"}}},
        LexCase{"OtherQuoteInsideLiteral",
                "{{ \"it's\" }}x",
                {{K::Interpolation, 0, "\"it's\""}, {K::Text, 12, "x"}}},
        LexCase{"BackslashOutsideLiteralDoesNotEscape",
                "{{ a\\}} }}",
                {{K::Interpolation, 0, "a\\"}, {K::Text, 7, " }}"}}},
        LexCase{"TripleBraceOpens",
                "{{{x}}}",
                {{K::Interpolation, 0, "{x"}, {K::Text, 6, "}"}}},
        LexCase{"EscapedBrace",
                "a \\{{ b }}",
                {{K::Text, 0, "a "}, {K::EscapedBrace, 2, ""}, {K::Text, 5, " b }}"}}},
        LexCase{"BackslashBeforeEscape",
                "\\\\{{",
                {{K::Text, 0, "\\"}, {K::EscapedBrace, 1, ""}}},
        LexCase{"EscapeThenInterpolation",
                "\\{{{{x}}",
                {{K::EscapedBrace, 0, ""}, {K::Interpolation, 3, "x"}}},
        LexCase{"LegacyFormsAreText",
                "{name} \\{ } { \\ {",
                {{K::Text, 0, "{name} \\{ } { \\ {"}}},
        LexCase{"EscapeAtLineStart",
                "a\n\\{{b",
                {{K::Text, 0, "a\n"}, {K::EscapedBrace, 2, ""}, {K::Text, 5, "b"}}},
        // Directives
        LexCase{"Directives",
                "a\n@if x:\nb\n@end",
                {{K::Text, 0, "a\n"},
                 {K::Directive, 2, "@if x:"},
                 {K::Text, 9, "b\n"},
                 {K::Directive, 11, "@end"}}},
        LexCase{"DirectiveDropsTrailingCarriageReturns",
                "@if x:\r\r\nz",
                {{K::Directive, 0, "@if x:"}, {K::Text, 9, "z"}}},
        LexCase{"IndentedAtIsText", " @if x:\n", {{K::Text, 0, " @if x:\n"}}},
        LexCase{"HandleLineIsDirective",
                "hi\n@someone {{ x }}\n",
                {{K::Text, 0, "hi\n"}, {K::Directive, 3, "@someone {{ x }}"}}},
        LexCase{"InterpolationEndingAtLineStart",
                "{{ a\n}}@x\n",
                {{K::Interpolation, 0, "a"}, {K::Text, 7, "@x\n"}}},
        // Fences
        LexCase{"FenceHidesEverything",
                "```\n@if x:\n{{ y\n\\{{\n```\n",
                {{K::CodeFence, 0, "```"},
                 {K::CodeContent, 4, "@if x:\n{{ y\n\\{{\n"},
                 {K::CodeFence, 20, "```"}}},
        LexCase{"LongerFenceNeedsLongBareClose",
                "````\n```\n```` js\n`````\nafter",
                {{K::CodeFence, 0, "````"},
                 {K::CodeContent, 5, "```\n```` js\n"},
                 {K::CodeFence, 17, "`````"},
                 {K::Text, 23, "after"}}},
        LexCase{"TildeFence",
                "~~~ info ~ `x`\nx\n~~~~ \t\n",
                {{K::CodeFence, 0, "~~~ info ~ `x`"},
                 {K::CodeContent, 15, "x\n"},
                 {K::CodeFence, 17, "~~~~ \t"}}},
        LexCase{"FenceInBlockquote",
                "> ```\n{{x\n>\t> ```\n",
                {{K::CodeFence, 0, "> ```"},
                 {K::CodeContent, 6, "{{x\n"},
                 {K::CodeFence, 10, ">\t> ```"}}},
        LexCase{"IndentedFenceAfterText",
                "a\n      ```py\ncode\n  ```\nz",
                {{K::Text, 0, "a\n"},
                 {K::CodeFence, 2, "      ```py"},
                 {K::CodeContent, 14, "code\n"},
                 {K::CodeFence, 19, "  ```"},
                 {K::Text, 25, "z"}}},
        LexCase{"ClosingFenceAtEndWithoutLineEnd",
                "```\nx\n```",
                {{K::CodeFence, 0, "```"}, {K::CodeContent, 4, "x\n"}, {K::CodeFence, 6, "```"}}},
        LexCase{"EmptyFencedBlock",
                "```\r\n```\r\n",
                {{K::CodeFence, 0, "```"}, {K::CodeFence, 5, "```"}}},
        LexCase{"FenceRunAfterTextIsText", "x ```\n", {{K::Text, 0, "x ```\n"}}},
        LexCase{"TwoBackticksAreNoFence",
                "``\n@x\n",
                {{K::Text, 0, "``\n"}, {K::Directive, 3, "@x"}}},
        // A lone carriage return ends the fence line; what follows it on the
        // same line is inside the block, not template text.
        LexCase{"LoneCarriageReturnAfterOpeningFence",
                "```\r{{x\n```\n",
                {{K::CodeFence, 0, "```"}, {K::CodeContent, 4, "{{x\n"}, {K::CodeFence, 8, "```"}}},
        LexCase{"LoneCarriageReturnAfterClosingFence",
                "```\n```\r{{x}}",
                {{K::CodeFence, 0, "```"}, {K::CodeFence, 4, "```"}, {K::Interpolation, 8, "x"}}}),
    case_name<LexCase>);

struct ErrorCase {
  std::string name;
  std::string source;
  std::string message;
  Span span;
};

class FailsWith : public testing::TestWithParam<ErrorCase> {};

TEST_P(FailsWith, SyntaxErrorAndSpan) {
  const ErrorCase& c = GetParam();
  const ModuleText text = text_of(c.source);
  try {
    lex(text);
    FAIL() << "lexed without error";
  } catch (const Error& e) {
    EXPECT_EQ(e.code(), ErrorCode::Syntax);
    EXPECT_EQ(e.message(), "syntax error: " + c.message);
    EXPECT_EQ(e.span(), c.span);
    EXPECT_EQ(e.module_text(), text);
  }
}

const std::string kUnclosedInterpolation =
    "unclosed `{{` interpolation \u2014 to include a literal `{{` in output, escape it as `\\{{`";

INSTANTIATE_TEST_SUITE_P(
    Lexer, FailsWith,
    testing::Values(
        ErrorCase{"FrontmatterNeverClosed", "---\na: 1\n", "unclosed frontmatter (missing closing ---)", {0, 3}},
        ErrorCase{"FrontmatterOnlyOpened", "---\n", "unclosed frontmatter (missing closing ---)", {0, 3}},
        ErrorCase{"InterpolationAtEnd", "ab {{ x", kUnclosedInterpolation, {3, 2}},
        ErrorCase{"InterpolationAfterMultibyte", "\u00e9 {{x", kUnclosedInterpolation, {3, 2}},
        ErrorCase{"InterpolationWithOpenLiteral", "{{ \"}} ", kUnclosedInterpolation, {0, 2}},
        ErrorCase{"InterpolationWithEscapedQuote", "{{ 'a\\' }}", kUnclosedInterpolation, {0, 2}},
        ErrorCase{"BackslashAsLastCharacterOfLiteral", "{{ 'a\\", kUnclosedInterpolation, {0, 2}},
        ErrorCase{"ApostropheInInterpolation", "x\n{{ it's }}\n", kUnclosedInterpolation, {2, 2}},
        ErrorCase{"SingleClosingBrace", "{{ x }", kUnclosedInterpolation, {0, 2}},
        ErrorCase{"FenceOpenAtEnd", "```", "unclosed code fence", {0, 3}},
        ErrorCase{"TildesDoNotCloseBackticks", "```\n~~~\n", "unclosed code fence", {0, 3}},
        ErrorCase{"ShorterRunDoesNotClose", "x\n   ````\n```\n", "unclosed code fence", {2, 3}},
        ErrorCase{"InfoStringDoesNotClose", "```\n``` x\n", "unclosed code fence", {0, 3}}),
    case_name<ErrorCase>);

TEST(Lexer, ErrorSpanPresentsLineAndColumn) {
  try {
    lex(text_of("---\nk: v\n---\nline \u00e9\u00e9 {{ open\n"));
    FAIL();
  } catch (const Error& e) {
    EXPECT_EQ(e.line_column(), (LineColumn{4, 9}));
  }
}

TEST(Lexer, FrontmatterCopyOutlivesMovedList) {
  TokenList list = lex(text_of("---\r\na: 1\r\n---\r\n"));
  const TokenList moved = std::move(list);
  ASSERT_EQ(moved.tokens.size(), 3U);
  EXPECT_EQ(moved.tokens[1].text, "a: 1\n");
}

TEST(Lexer, NullTextLexesAsEmpty) { EXPECT_TRUE(lex(nullptr).tokens.empty()); }

// Every byte string made of the characters that drive the lexer either lexes
// or fails with a syntax error; tokens cover the text in order without gaps
// (payloads aside, which drop line ends, carriage returns and trimmed space).
TEST(Lexer, ExhaustiveShortInputsNeverCrash) {
  const std::string alphabet = "{}\\@`~-\n\r'\" >x";
  const std::size_t n = alphabet.size();
  std::string s;
  for (std::size_t len = 1; len <= 5; ++len) {
    std::vector<std::size_t> idx(len, 0);
    for (;;) {
      s.clear();
      for (const std::size_t i : idx) s.push_back(alphabet[i]);
      try {
        const TokenList list = lex(text_of(s));
        std::size_t last = 0;
        for (const Token& t : list.tokens) {
          EXPECT_GE(t.offset, last) << testing::PrintToString(s);
          EXPECT_LE(t.offset, s.size());
          last = t.offset;
        }
      } catch (const Error& e) {
        EXPECT_EQ(e.code(), ErrorCode::Syntax);
        ASSERT_TRUE(e.span());
        EXPECT_LE(e.span()->offset + e.span()->length, s.size());
      }
      std::size_t k = 0;
      while (k < len && ++idx[k] == n) idx[k++] = 0;
      if (k == len) break;
    }
  }
}

}  // namespace
}  // namespace quarl
