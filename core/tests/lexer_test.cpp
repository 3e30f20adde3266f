#include "syntax/lexer.hpp"

#include <gtest/gtest.h>

#include "printers.hpp"

#include <memory>
#include <ostream>
#include <string>
#include <vector>

namespace quarl {

namespace {


ModuleText text_of(std::string s) { return std::make_shared<const std::string>(std::move(s)); }

// Token lists and lexer errors are cases in tests/cases/ (tokens.txt,
// syntax_errors.txt).

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
