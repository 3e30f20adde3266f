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
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/result.hpp"
#include "support/limits.hpp"

namespace quarl {

// One piece of output: where it starts in the generated text, and the bytes
// of the source that produced it.
struct MapSegment {
  std::uint32_t generated;
  std::uint32_t source;  // an index into the compile's map sources
  std::uint32_t source_offset;
  std::uint32_t source_length;
};

// Receives, while a body renders, which source bytes produced which output.
// Offsets are into the text being rendered: the evaluation's output, or the
// body of the user function currently executing.
class SourceMapRecorder {
 public:
  virtual ~SourceMapRecorder() = default;
  // Output from `output_offset` on came from `source_length` bytes at
  // `source_offset` of `module`.
  virtual void segment(std::size_t output_offset, const ModuleText& module,
                       std::size_t source_offset, std::size_t source_length) = 0;
  // A user function's body starts rendering into text of its own.
  virtual void begin_call() = 0;
  // It ended; its result is its text with `trimmed_front` bytes cut from the
  // start and `kept_length` bytes kept. Its segments wait for place_calls.
  virtual void end_call(std::size_t trimmed_front, std::size_t kept_length) = 0;
  // An interpolation that called user functions wrote its value at
  // `output_offset`: the waiting segments of those calls belong there.
  virtual void place_calls(std::size_t output_offset) = 0;
  // Text written from `output_offset` on was rendered before, with these
  // segments (an included module's body).
  virtual void carry(std::size_t output_offset, std::span<const MapSegment> segments) = 0;
};

// How the final output was made from the rendered body: its carriage returns
// removed, its trailing white space trimmed, and `prefix` bytes (a
// frontmatter block) put in front.
struct FinalOutput {
  std::vector<std::size_t> returns;  // where the body had carriage returns
  std::string_view text;             // the final output
  std::size_t prefix = 0;
};

// The offsets of the carriage returns in `body`, in order.
std::vector<std::size_t> carriage_returns(std::string_view body);

// The modules the maps of one compile point into, each under its source
// name, in the order they were added (the entry first). The map of the entry
// and the maps of imported bodies share them, so that a body's segments
// carry over into the text that includes it.
class MapSources {
 public:
  // The index of the source named `name`: a new one for a new name, with
  // `text` as its content; the one added before for a known name.
  std::uint32_t add(std::string name, ModuleText text);
  // The index of the source whose text is `text`, or none.
  std::optional<std::uint32_t> find(const ModuleText& text) noexcept {
    // The sources hold their texts, so an address seen before is still theirs.
    if (text.get() == last_text_) return last_index_;
    return find_slow(text);
  }
  // Renames every source with `rename`, which returns the new name.
  template <class Rename>
  void rename(Rename&& rename) {
    for (Source& source : sources_) source.name = rename(source.name);
  }

  std::size_t size() const noexcept { return sources_.size(); }
  const std::string& name(std::size_t index) const noexcept { return sources_[index].name; }
  const std::string& text(std::size_t index) const noexcept { return *sources_[index].text; }

  // The first imported module whose map exceeded the segment cap: then the
  // compile has no map.
  std::optional<std::string> capped_in;

 private:
  struct Source {
    std::string name;
    ModuleText text;
  };

  std::optional<std::uint32_t> find_slow(const ModuleText& text) noexcept;

  std::vector<Source> sources_;
  const std::string* last_text_ = nullptr;  // the text of the last source found
  std::uint32_t last_index_ = 0;
};

class MapBuilder final : public SourceMapRecorder {
 public:
  // `imported`: the key of the imported module whose body the map is of,
  // named in the warning when the segment cap is exceeded.
  explicit MapBuilder(MapSources& sources, std::optional<std::string> imported = std::nullopt)
      : sources_(sources), imported_(std::move(imported)) {}

  void segment(std::size_t output_offset, const ModuleText& module, std::size_t source_offset,
               std::size_t source_length) override;
  void begin_call() override;
  void end_call(std::size_t trimmed_front, std::size_t kept_length) override;
  void place_calls(std::size_t output_offset) override;
  void carry(std::size_t output_offset, std::span<const MapSegment> segments) override;

  // The segments of the rendered text so far, in the order they were made.
  const std::vector<MapSegment>& segments() const noexcept { return segments_; }
  // Whether a segment was dropped for the cap; then there is no map.
  bool capped() const noexcept { return capped_; }

  // The document for `output`: none, with a warning, when the segment cap
  // was exceeded here or in an imported body. Contents are embedded when `sources_content` asks for them
  // and all the texts together fit under kMaxSourcesContentBytes (a warning
  // says so when they do not, asked or not). Segments that fall outside
  // their source or the output, or off a character boundary, are dropped.
  std::optional<SourceMap> finish(const FinalOutput& output, Warnings& warnings, bool sources_content) const;

 private:
  std::size_t held() const noexcept { return segments_.size() + open_.size() + waiting_.size(); }
  // Keeps `segment` where segments go now (the rendered text, or the body of
  // the innermost call) unless the cap is reached.
  void keep(const MapSegment& segment);

  MapSources& sources_;
  std::optional<std::string> imported_;
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
