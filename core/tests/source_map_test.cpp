#include "render/source_map.hpp"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace quarl {
namespace {

ModuleText text_of(std::string text) { return std::make_shared<const std::string>(std::move(text)); }

TEST(SourceMap, VlqValues) {
  for (const auto& [value, expected] : std::vector<std::pair<std::int64_t, std::string>>{
           {0, "A"}, {1, "C"}, {-1, "D"}, {15, "e"}, {16, "gB"}, {-16, "hB"}, {1000, "w+B"}}) {
    std::string out;
    append_vlq(out, value);
    EXPECT_EQ(out, expected) << value;
  }
}

struct MapCase {
  const char* title;
  std::string source;
  std::vector<std::pair<std::size_t, std::size_t>> segments;  // generated offset, source offset
  std::string output;      // the final output, made from the source as rendered
  std::size_t prefix = 0;  // its frontmatter block's length
  std::string mappings;
};

// Offsets of the rendered body become lines and UTF-16 columns of the final
// output, which lost the body's carriage returns and trailing white space and
// may have a frontmatter block in front; what falls outside is dropped.
TEST(SourceMap, Positions) {
  const MapCase cases[] = {
      {"lines, and a character above U+FFFF that counts two columns",
       "ab\ncd x\U0001F600y\n",
       {{0, 0}, {3, 3}, {6, 6}, {11, 11}},
       "ab\ncd x\U0001F600y\n",
       0,
       "AAAA;AACA,GAAG,GAAG"},
      {"carriage returns removed, the trimmed tail dropped, a prefix in front",
       "a\r\nb  \n  ",
       {{0, 0}, {3, 3}, {8, 8}},
       "---\nk: v\n---\na\nb\n",
       13,
       ";;;AAAA;AACA"},
      {"a segment where the trimmed tail starts is dropped", "ab  ", {{0, 0}, {2, 2}}, "ab\n", 0, "AAAA"},
      {"a source offset inside a character, or running past the text, maps nothing",
       "\u00e9x",
       {{0, 1}, {0, 2}},
       "x\n",
       0,
       "AAAC"},
      {"segments sorted by where they are in the output",
       "abc",
       {{2, 2}, {0, 0}},
       "abc\n",
       0,
       "AAAA,EAAE"},
  };
  for (const MapCase& c : cases) {
    SCOPED_TRACE(c.title);
    MapSources sources;
    MapBuilder builder(sources);
    const ModuleText source = text_of(c.source);
    EXPECT_EQ(sources.add("input.quarl", source), 0U);
    for (const auto& [generated, offset] : c.segments) builder.segment(generated, source, offset, 1);
    builder.segment(0, source, 0, c.source.size() + 1);  // past the end of its source
    builder.segment(0, text_of(c.source), 0, 1);         // a text no source holds
    Warnings warnings;
    const std::optional<SourceMap> map =
        builder.finish(FinalOutput{carriage_returns(c.source), c.output, c.prefix}, warnings, true);
    ASSERT_TRUE(map);
    EXPECT_EQ(map->mappings, c.mappings);
    EXPECT_EQ(map->sources, std::vector<std::string>{"input.quarl"});
    EXPECT_EQ(map->sources_content, std::vector<std::string>{c.source});
    EXPECT_TRUE(warnings.empty());
  }
}

// A call's body renders into text of its own; what the trim cuts off maps
// nothing, the rest moves to where the interpolation writes the value.
TEST(SourceMap, CallsMoveToWhereTheirValueIsWritten) {
  MapSources sources;
  MapBuilder builder(sources);
  const ModuleText source = text_of("<{{ f() }}>\n@define f():\n  hi\n@end\n");
  const std::uint32_t index = sources.add("main.quarl", source);
  EXPECT_EQ(sources.add("main.quarl", text_of("other")), index);  // known by its name
  builder.segment(0, source, 0, 1);
  builder.begin_call();
  builder.segment(0, source, 25, 4);  // "  hi": the trim cuts off its first two bytes
  builder.segment(4, source, 29, 1);  // "\n": cut off whole
  builder.end_call(2, 2);
  builder.place_calls(1);
  builder.segment(3, source, 10, 1);
  const std::vector<std::pair<std::uint32_t, std::uint32_t>> expected = {{0, 0}, {1, 27}, {3, 10}};
  std::vector<std::pair<std::uint32_t, std::uint32_t>> got;
  for (const MapSegment& segment : builder.segments()) got.emplace_back(segment.generated, segment.source_offset);
  EXPECT_EQ(got, expected);
}

// The millionth segment is kept; the next one drops the map, with a warning
// that names the imported module when the map is of one.
TEST(SourceMap, SegmentCap) {
  for (const bool past : {false, true})
    for (const bool imported : {false, true}) {
      SCOPED_TRACE(testing::Message() << past << imported);
      MapSources sources;
      MapBuilder builder(sources, imported ? std::optional<std::string>("lib.quarl") : std::nullopt);
      const ModuleText source = text_of("x");
      sources.add("lib.quarl", source);
      for (std::size_t i = 0; i < kMaxMapSegments + (past ? 1 : 0); ++i) builder.segment(0, source, 0, 1);
      Warnings warnings;
      const std::optional<SourceMap> map = builder.finish({{}, "x\n"}, warnings, false);
      EXPECT_EQ(map.has_value(), !past);
      if (!past) continue;
      EXPECT_EQ(warnings, std::vector<std::string>{
                              imported ? "source map segment cap (1000000 segments) exceeded in imported module "
                                         "'lib.quarl'; no source map will be generated"
                                       : "source map segment cap (1000000 segments) exceeded; no source map "
                                         "will be generated"});
    }
}

// The contents are embedded up to their ceiling, all texts together; past it
// they are left out, with a warning whether they were asked for or not.
TEST(SourceMap, SourcesContentCeiling) {
  const ModuleText big = text_of(std::string(kMaxSourcesContentBytes - 1, 'a'));
  for (const bool past : {false, true})
    for (const bool wanted : {false, true}) {
      SCOPED_TRACE(testing::Message() << past << wanted);
      MapSources sources;
      MapBuilder builder(sources);
      sources.add("big.quarl", big);
      sources.add("one.quarl", text_of("b"));
      if (past) sources.add("two.quarl", text_of("c"));
      Warnings warnings;
      const std::optional<SourceMap> map = builder.finish({{}, ""}, warnings, wanted);
      ASSERT_TRUE(map);
      EXPECT_EQ(map->sources_content.has_value(), wanted && !past);
      EXPECT_EQ(warnings, past ? std::vector<std::string>{"sourcesContent total size (52428801 bytes) exceeds the "
                                                         "52428800 byte ceiling; sourcesContent will be omitted "
                                                         "from the source map"}
                               : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace quarl
