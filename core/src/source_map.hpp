// Source maps of a compile's output: while a body renders, which bytes of
// which module produced each piece of the text; once the final output is
// known, the same as a Source Map revision 3 document.
//
// Offsets are bytes; the document counts lines from 0 and columns in UTF-16
// code units, as its consumers do.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "output.hpp"
#include "quarl/error.hpp"
#include "quarl/result.hpp"

namespace quarl {

inline constexpr std::size_t kMaxMapSegments = 1000000;
inline constexpr std::size_t kMaxSourcesContentBytes = 52428800;  // all embedded texts together

// One piece of output: where it starts in the generated text, and the bytes
// of the source that produced it.
struct MapSegment {
  std::uint32_t generated;
  std::uint32_t source;  // an index into the builder's sources
  std::uint32_t source_offset;
  std::uint32_t source_length;
};

// How the final output was made from the rendered body: its carriage returns
// removed, its trailing white space trimmed, and `prefix` bytes (a
// frontmatter block) put in front.
struct FinalOutput {
  std::string_view body;  // as rendered
  std::string_view text;  // the final output
  std::size_t prefix = 0;
};

class MapBuilder final : public SourceMapRecorder {
 public:
  // `imported`: the key of the imported module whose body the map is of,
  // named in the warning when the segment cap is exceeded.
  explicit MapBuilder(std::optional<std::string> imported = std::nullopt)
      : imported_(std::move(imported)) {}

  // The index of the source named `name`: a new one for a new name, with
  // `text` as its content; the one registered before for a known name.
  std::uint32_t add_source(std::string name, ModuleText text);

  void segment(std::size_t output_offset, const ModuleText& module, std::size_t source_offset,
               std::size_t source_length) override;
  void begin_call() override;
  void end_call(std::size_t trimmed_front, std::size_t kept_length) override;
  void place_calls(std::size_t output_offset) override;

  // The segments of the rendered text so far, in the order they were made.
  const std::vector<MapSegment>& segments() const noexcept { return segments_; }

  // The document for `output`: none, with a warning, when the segment cap
  // was exceeded. Contents are embedded when `sources_content` asks for them
  // and all the texts together fit under kMaxSourcesContentBytes (a warning
  // says so when they do not, asked or not). Segments that fall outside
  // their source or the output, or off a character boundary, are dropped.
  std::optional<SourceMap> finish(const FinalOutput& output, Warnings& warnings, bool sources_content) const;

 private:
  struct Source {
    std::string name;
    ModuleText text;
  };

  std::size_t held() const noexcept { return segments_.size() + open_.size() + waiting_.size(); }
  std::uint32_t source_of(const ModuleText& module) noexcept;
  // Where segments go: the rendered text, or the body of the innermost call.
  std::vector<MapSegment>& current() noexcept { return call_starts_.empty() ? segments_ : open_; }

  std::optional<std::string> imported_;
  std::vector<Source> sources_;
  const std::string* last_text_ = nullptr;  // the text of the last segment's source
  std::uint32_t last_source_ = 0;
  std::vector<MapSegment> segments_;  // of the rendered text
  // The segments of the calls that are rendering, each call's after the
  // index its entry in call_starts_ holds, offsets into its own body.
  std::vector<MapSegment> open_;
  std::vector<std::size_t> call_starts_;
  // The segments of calls that ended, offsets into their trimmed results,
  // until the interpolation that made the calls writes its value.
  std::vector<MapSegment> waiting_;
  bool capped_ = false;
};

// Appends the Base64 VLQ form of `value` to `out`.
void append_vlq(std::string& out, std::int64_t value);

}  // namespace quarl
