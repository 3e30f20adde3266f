#include "render/source_map.hpp"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>
#include <utility>

#include "support/utf8.hpp"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace quarl {
namespace {

constexpr std::uint32_t kNoSource = std::numeric_limits<std::uint32_t>::max();

constexpr std::size_t kBlock = 16;

// Bit i set when byte i of the 16 at `p` is a line feed; in `high`, when it
// is not ASCII.
unsigned line_feeds(const char* p, unsigned& high) noexcept {
#if defined(__SSE2__)
  const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
  high = static_cast<unsigned>(_mm_movemask_epi8(bytes));
  return static_cast<unsigned>(_mm_movemask_epi8(_mm_cmpeq_epi8(bytes, _mm_set1_epi8('\n'))));
#else
  unsigned feeds = 0;
  high = 0;
  for (unsigned i = 0; i < kBlock; ++i) {
    if (p[i] == '\n') feeds |= 1U << i;
    if (static_cast<unsigned char>(p[i]) >= 0x80) high |= 1U << i;
  }
  return feeds;
#endif
}

// The number of line feeds in `text`.
std::size_t count_line_feeds(std::string_view text) noexcept {
  std::size_t count = 0;
  std::size_t i = 0;
  unsigned high = 0;
  for (; i + kBlock <= text.size(); i += kBlock) count += static_cast<std::size_t>(std::popcount(line_feeds(text.data() + i, high)));
  for (; i < text.size(); ++i) count += text[i] == '\n' ? 1 : 0;
  return count;
}

struct Position {
  std::uint32_t line;
  std::uint32_t column;
};

// The lines of a text: where each starts, and whether it is all ASCII (then
// a column is a difference of offsets, with no decoding).
class LineIndex {
 public:
  // One pass over the text, sixteen bytes at a time: the line feeds in a
  // block end lines, the non-ASCII bytes before each mark its line.
  explicit LineIndex(std::string_view text) : text_(text) {
    starts_.push_back(0);
    bool ascii = true;  // the line being read, so far
    std::size_t i = 0;
    for (; i + kBlock <= text.size(); i += kBlock) {
      unsigned high = 0;
      unsigned feeds = line_feeds(text.data() + i, high);
      unsigned line_start = 0;  // in the block
      for (; feeds != 0; feeds &= feeds - 1) {
        const auto end = static_cast<unsigned>(std::countr_zero(feeds));
        const unsigned line_bytes = ((1U << end) - 1) & ~((1U << line_start) - 1);
        end_line(i + end, ascii && (high & line_bytes) == 0);
        ascii = true;
        line_start = end + 1;
      }
      if (line_start < kBlock && (high >> line_start) != 0) ascii = false;
    }
    for (; i < text.size(); ++i) {
      if (text[i] == '\n') {
        end_line(i, ascii);
        ascii = true;
      } else if (static_cast<unsigned char>(text[i]) >= 0x80) {
        ascii = false;
      }
    }
    ascii_.push_back(ascii);
  }

  // The position of byte `offset`; none past the end of the text or inside a
  // character.
  std::optional<Position> position(std::size_t offset) noexcept {
    if (offset > text_.size() || (offset < text_.size() && utf8::is_continuation(text_[offset]))) return std::nullopt;
    // Segments from one place follow each other: the line of the last one,
    // or the next, before a search.
    std::size_t line = last_line_;
    if (!on_line(line, offset) && !on_line(++line, offset))
      line = static_cast<std::size_t>(std::upper_bound(starts_.begin(), starts_.end(), offset) - starts_.begin()) - 1;
    last_line_ = line;
    const std::size_t start = starts_[line];
    const auto column = static_cast<std::uint32_t>(ascii_[line] ? offset - start
                                                                : utf8::count_utf16_units(text_.substr(start, offset - start)));
    return Position{static_cast<std::uint32_t>(line), column};
  }

 private:
  // The line that ends with the line feed at `feed` is ASCII or not; the next starts after it.
  void end_line(std::size_t feed, bool ascii) {
    ascii_.push_back(ascii);
    starts_.push_back(static_cast<std::uint32_t>(feed + 1));
  }

  bool on_line(std::size_t line, std::size_t offset) const noexcept {
    return line < starts_.size() && starts_[line] <= offset && (line + 1 == starts_.size() || offset < starts_[line + 1]);
  }

  std::string_view text_;
  std::vector<std::uint32_t> starts_;
  std::vector<bool> ascii_;
  std::size_t last_line_ = 0;
};

// A segment as the document holds it: where it is in the final output (a
// byte offset until it is written), and where in its source.
struct Mapping {
  std::uint32_t generated;
  std::uint32_t source;
  Position from;
};

// Where each segment of the rendered body lies in the final output: moved
// back by the carriage returns before it, dropped past the trimmed end, moved
// on by the prefix. None when it is not in the output.
class OutputOffsets {
 public:
  explicit OutputOffsets(const FinalOutput& output) : prefix_(output.prefix), returns_(output.returns) {
    // The output is the prefix, the trimmed body, and a line feed after a
    // body that is not empty.
    const std::size_t after_prefix = output.text.size() - std::min(output.prefix, output.text.size());
    kept_ = after_prefix == 0 ? 0 : after_prefix - 1;
  }

  std::optional<std::size_t> operator()(std::size_t body_offset) const noexcept {
    const auto returns = static_cast<std::size_t>(
        std::lower_bound(returns_.begin(), returns_.end(), body_offset) - returns_.begin());
    const std::size_t offset = body_offset - returns;
    if (offset >= kept_) return std::nullopt;
    return offset + prefix_;
  }

 private:
  std::size_t prefix_;
  std::size_t kept_;
  const std::vector<std::size_t>& returns_;
};

constexpr std::string_view kBase64 = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// Writes the Base64 VLQ form of `value` at `at`; returns where it ends.
char* write_vlq(char* at, std::int64_t value) noexcept {
  auto bits = value < 0 ? (static_cast<std::uint64_t>(-(value + 1)) + 1) * 2 + 1 : static_cast<std::uint64_t>(value) * 2;
  do {
    std::uint64_t group = bits & 31U;
    bits >>= 5U;
    if (bits != 0) group |= 32U;
    *at++ = kBase64[group];
  } while (bits != 0);
  return at;
}

// The mappings of segments in output order. Their generated lines and
// columns are counted walking the output once, from one segment to the next;
// a segment inside a character of the output is dropped.
std::string encode(const std::vector<Mapping>& mappings, std::string_view output) {
  std::string out;
  out.reserve(mappings.size() * 8);
  std::size_t walked = 0;  // the output up to here is counted
  std::int64_t column = 0;           // of `walked`
  std::int64_t previous_column = 0;  // of the previous segment on the line
  bool first_on_line = true;
  Mapping previous{};
  for (const Mapping& mapping : mappings) {
    const std::size_t offset = mapping.generated;
    if (offset > output.size() || (offset < output.size() && utf8::is_continuation(output[offset]))) continue;
    const std::string_view between = output.substr(walked, offset - walked);
    if (const std::size_t feeds = count_line_feeds(between); feeds != 0) {
      out.append(feeds, ';');
      column = 0;
      previous_column = 0;
      first_on_line = true;
      walked += between.rfind('\n') + 1;
    }
    column += static_cast<std::int64_t>(utf8::count_utf16_units(output.substr(walked, offset - walked)));
    walked = offset;
    // Four fields of at most 13 digits each, and a separator.
    char fields[4 * 13 + 1];
    char* at = fields;
    if (!first_on_line) *at++ = ',';
    at = write_vlq(at, column - previous_column);
    at = write_vlq(at, std::int64_t{mapping.source} - previous.source);
    at = write_vlq(at, std::int64_t{mapping.from.line} - previous.from.line);
    at = write_vlq(at, std::int64_t{mapping.from.column} - previous.from.column);
    out.append(fields, static_cast<std::size_t>(at - fields));
    first_on_line = false;
    previous_column = column;
    previous = mapping;
  }
  return out;
}

}  // namespace

std::vector<std::size_t> carriage_returns(std::string_view body) {
  std::vector<std::size_t> returns;
  for (std::size_t at = body.find('\r'); at != std::string_view::npos; at = body.find('\r', at + 1))
    returns.push_back(at);
  return returns;
}

void append_vlq(std::string& out, std::int64_t value) {
  char digits[13];
  out.append(digits, static_cast<std::size_t>(write_vlq(digits, value) - digits));
}

std::uint32_t MapSources::add(std::string name, ModuleText text) {
  for (std::size_t i = 0; i < sources_.size(); ++i)
    if (sources_[i].name == name) return static_cast<std::uint32_t>(i);
  sources_.push_back({std::move(name), std::move(text)});
  return static_cast<std::uint32_t>(sources_.size() - 1);
}

std::optional<std::uint32_t> MapSources::find_slow(const ModuleText& text) noexcept {
  for (std::size_t i = 0; i < sources_.size(); ++i)
    if (sources_[i].text == text) {
      last_text_ = text.get();
      last_index_ = static_cast<std::uint32_t>(i);
      return last_index_;
    }
  return std::nullopt;
}

void MapBuilder::keep(const MapSegment& segment) {
  if (capped_) return;
  if (held() >= kMaxMapSegments) {
    capped_ = true;
    return;
  }
  (call_starts_.empty() ? segments_ : open_).push_back(segment);
}

void MapBuilder::segment(std::size_t output_offset, const ModuleText& module, std::size_t source_offset,
                         std::size_t source_length) {
  constexpr std::size_t kMost = std::numeric_limits<std::uint32_t>::max();
  // Outputs and module texts are far shorter than this; a segment beyond it
  // could not be stored exactly.
  if (output_offset > kMost || source_offset > kMost || source_length > kMost - source_offset) return;
  keep({static_cast<std::uint32_t>(output_offset), sources_.find(module).value_or(kNoSource),
        static_cast<std::uint32_t>(source_offset), static_cast<std::uint32_t>(source_length)});
}

void MapBuilder::begin_call() { call_starts_.push_back(open_.size()); }

void MapBuilder::end_call(std::size_t trimmed_front, std::size_t kept_length) {
  const std::size_t start = call_starts_.back();
  call_starts_.pop_back();
  // What the trim cut off maps nothing: a segment that began in it starts
  // where the kept text does, that many bytes later in its source.
  for (auto it = open_.begin() + static_cast<std::ptrdiff_t>(start); it != open_.end(); ++it) {
    MapSegment kept = *it;
    if (kept.generated < trimmed_front) {
      const std::size_t cut = trimmed_front - kept.generated;
      if (cut >= kept.source_length) continue;
      kept.source_offset += static_cast<std::uint32_t>(cut);
      kept.source_length -= static_cast<std::uint32_t>(cut);
      kept.generated = static_cast<std::uint32_t>(trimmed_front);
    }
    if (kept.generated - trimmed_front >= kept_length) continue;
    kept.generated -= static_cast<std::uint32_t>(trimmed_front);
    waiting_.push_back(kept);
  }
  open_.resize(start);
}

void MapBuilder::place_calls(std::size_t output_offset) {
  // The waiting segments are held already: moving them keeps the count.
  std::vector<MapSegment>& into = call_starts_.empty() ? segments_ : open_;
  if (output_offset <= std::numeric_limits<std::uint32_t>::max() - kMaxOutputBytes) {
    for (MapSegment& segment : waiting_) segment.generated += static_cast<std::uint32_t>(output_offset);
    into.insert(into.end(), waiting_.begin(), waiting_.end());
  }
  waiting_.clear();
}

void MapBuilder::carry(std::size_t output_offset, std::span<const MapSegment> segments) {
  if (capped_ || output_offset > std::numeric_limits<std::uint32_t>::max() - kMaxOutputBytes) return;
  const std::size_t room = kMaxMapSegments - held();
  if (segments.size() > room) {
    capped_ = true;
    return;
  }
  std::vector<MapSegment>& into = call_starts_.empty() ? segments_ : open_;
  for (MapSegment segment : segments) {
    segment.generated += static_cast<std::uint32_t>(output_offset);
    into.push_back(segment);
  }
}

std::optional<SourceMap> MapBuilder::finish(const FinalOutput& output, Warnings& warnings,
                                            bool sources_content) const {
  const std::optional<std::string>& capped_in = capped_ ? imported_ : sources_.capped_in;
  if (capped_ || sources_.capped_in) {
    const std::string cap = std::to_string(kMaxMapSegments);
    warnings.push_back(capped_in ? "source map segment cap (" + cap + " segments) exceeded in imported module '" +
                                       *capped_in + "'; no source map will be generated"
                                 : "source map segment cap (" + cap +
                                       " segments) exceeded; no source map will be generated");
    return std::nullopt;
  }
  std::size_t total = 0;
  for (std::size_t i = 0; i < sources_.size(); ++i) total += sources_.text(i).size();
  if (total > kMaxSourcesContentBytes) {
    warnings.push_back("sourcesContent total size (" + std::to_string(total) + " bytes) exceeds the " +
                       std::to_string(kMaxSourcesContentBytes) +
                       " byte ceiling; sourcesContent will be omitted from the source map");
    sources_content = false;
  }

  const OutputOffsets to_output(output);
  std::vector<std::optional<LineIndex>> source_lines(sources_.size());
  std::vector<Mapping> mappings;
  mappings.reserve(segments_.size());
  for (const MapSegment& segment : segments_) {
    if (segment.source >= sources_.size()) continue;
    const std::string& text = sources_.text(segment.source);
    if (segment.source_offset + std::size_t{segment.source_length} > text.size()) continue;
    std::optional<LineIndex>& lines = source_lines[segment.source];
    if (!lines) lines.emplace(text);
    const std::optional<Position> from = lines->position(segment.source_offset);
    const std::optional<std::size_t> generated = to_output(segment.generated);
    if (!from || !generated) continue;
    mappings.push_back({static_cast<std::uint32_t>(*generated), segment.source, *from});
  }
  // Output is mostly made in order; calls placed after they rendered are not.
  if (!std::ranges::is_sorted(mappings, {}, &Mapping::generated))
    std::ranges::stable_sort(mappings, {}, &Mapping::generated);

  SourceMap map;
  map.mappings = encode(mappings, output.text);
  for (std::size_t i = 0; i < sources_.size(); ++i) map.sources.push_back(sources_.name(i));
  if (sources_content) {
    map.sources_content.emplace();
    for (std::size_t i = 0; i < sources_.size(); ++i) map.sources_content->push_back(sources_.text(i));
  }
  return map;
}

}  // namespace quarl
