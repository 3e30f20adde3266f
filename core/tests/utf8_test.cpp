#include "support/utf8.hpp"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace quarl::utf8 {
namespace {

// Every character with the White_Space property, and near misses without it.
const std::vector<std::string> kSpaces = {
    "\t",     "\n",     "\v",     "\f",     "\r",     " ",      "\u0085", "\u00a0",
    "\u1680", "\u2000", "\u2005", "\u200a", "\u2028", "\u2029", "\u202f", "\u205f",
    "\u3000"};
const std::vector<std::string> kNotSpaces = {
    "x", "\x1c", "\u200b" /* zero width space */, "\u180e", "\u2060", "\ufeff",
    "\u00e9", "\u200c", "\u2030", "\u3001", "\U0001F600"};

TEST(Utf8, TrimRemovesEveryWhiteSpaceCharacterAtBothEnds) {
  for (const auto& s : kSpaces) {
    SCOPED_TRACE(testing::PrintToString(s));
    EXPECT_EQ(trim(s + "a" + s + "b" + s + s), "a" + s + "b");
    EXPECT_EQ(trim_start(s + "a" + s), "a" + s);
    EXPECT_EQ(trim_end(s + "a" + s), s + "a");
    EXPECT_EQ(trim(s + s), "");
    EXPECT_EQ(trim(" \n" + s + "\t\u3000 a b\u00a0 \n" + s + "\r"), "a b");  // ASCII and other runs in turn
  }
}

TEST(Utf8, TrimKeepsCharactersWithoutTheWhiteSpaceProperty) {
  for (const auto& s : kNotSpaces) {
    SCOPED_TRACE(testing::PrintToString(s));
    EXPECT_EQ(trim(" " + s + " "), s);
    EXPECT_EQ(leading_space_length(s), 0U);
    EXPECT_EQ(trailing_space_length(s), 0U);
  }
}

TEST(Utf8, TruncatedSequencesAreNotSpaces) {
  EXPECT_EQ(trim(std::string("\xe2\x80")), "\xe2\x80");
  EXPECT_EQ(trim(std::string("\xc2")), "\xc2");
  EXPECT_EQ(trim(std::string("\x80\x80")), "\x80\x80");
}

// ASCII is skipped in blocks: a bad byte anywhere in or after one is found.
TEST(Utf8, FindInvalidAtEveryPosition) {
  for (std::size_t at = 0; at < 40; ++at) {
    std::string text(40, 'a');
    text[at] = '\xff';
    EXPECT_EQ(find_invalid(text), at);
    text.replace(at, 1, "\u00e9");  // valid again, and no longer ASCII there
    EXPECT_EQ(find_invalid(text), std::nullopt);
  }
}

TEST(Utf8, CountScalars) {
  EXPECT_EQ(count_scalars(""), 0U);
  EXPECT_EQ(count_scalars("abc"), 3U);
  EXPECT_EQ(count_scalars("\u00e9\u20ac\U0001F600!"), 4U);
}

}  // namespace
}  // namespace quarl::utf8
