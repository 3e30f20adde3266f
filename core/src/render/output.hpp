// Where a render's text goes. The evaluator writes every piece of output
// through one Output: Markdown text, or in messages mode the contents of the
// @message blocks; a user function's body and a message's content are
// written into it too, and taken back out or trimmed in place when they end.
// An Output for `check` keeps no text, only what its limits need. Finished
// messages go to its MessageList (render/messages.hpp).
//
// A SourceMapRecorder (render/source_map.hpp) observes it: each write from
// the template source is reported with where it came from, as it is appended.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/result.hpp"
#include "quarl/value.hpp"
#include "render/messages.hpp"
#include "render/source_map.hpp"
#include "support/limits.hpp"

namespace quarl {

class Output {
 public:
  enum class Mode : std::uint8_t { Markdown, Messages };

  // `keep`: false for a render whose text nobody reads (a check), which
  // still fails where the render would.
  explicit Output(Mode mode, bool keep = true, SourceMapRecorder* recorder = nullptr) noexcept
      : mode_(mode), keep_(keep), recorder_(recorder), messages_(keep) {}
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  // Messages mode outside every @message block and function body: the only
  // place where text is not allowed.
  bool between_messages() const noexcept { return mode_ == Mode::Messages && marks_.empty(); }

  void write(std::string_view text) {
    if (storing()) buffer_ += text;
    else count(text.size());
  }
  void write(const Value& value) {
    if (storing()) append_text(buffer_, value);
    else count(value);
  }
  // What is written next was rendered before, with these segments.
  void carry(std::span<const MapSegment> segments) {
    if (recorder_ && !segments.empty()) recorder_->carry(position(), segments);
  }
  // What is written next came from `length` bytes at `offset` of `module`.
  void from_source(const ModuleText& module, std::size_t offset, std::size_t length) {
    if (recorder_) recorder_->segment(position(), module, offset, length);
  }
  // Writes `text`, a copy of the bytes at `offset` of `module`. Mapped, each
  // of its lines starts a segment of its own, and so does what follows a
  // lone carriage return (which the final output drops): a segment never
  // spans a line or a dropped byte, so every character points at itself.
  void write_source(const ModuleText& module, std::size_t offset, std::string_view text) {
    if (recorder_) map_source(module, offset, text);
    write(text);
  }
  // Fails when the text written since the innermost capture (or since the
  // start) has outgrown the limit.
  void check_size() const {
    if (static_cast<std::ptrdiff_t>(buffer_.size()) > limit_end_) [[unlikely]] fail_size();
  }

  // A user function's body renders in place; its result is that text
  // trimmed. end_call takes the mark begin_call returned.
  std::size_t begin_call() {
    if (recorder_) recorder_->begin_call();
    marks_.push_back(buffer_.size());
    return buffer_.size();
  }
  void end_call(std::size_t mark);
  // Where the next write goes.
  std::size_t here() const noexcept { return buffer_.size(); }
  // The value of an interpolation that called user functions was written
  // from `at` (what here() said before the calls).
  void place_calls(std::size_t at) {
    if (recorder_) recorder_->place_calls(at - innermost_mark());
  }

  // A capture: what is written until end_capture is taken back out, and is
  // measured against the limit on its own (a function's value, a message).
  struct Capture {
    std::ptrdiff_t outer_limit_end;  // restored when the capture ends
  };
  Capture begin_capture();
  // Ends the capture: `take` is given what was written since it began (a
  // view, valid during the call), which is then taken back out; returns what
  // `take` returns.
  template <class Take>
  auto end_capture(Capture capture, Take&& take) {
    const std::size_t mark = marks_.back();
    marks_.pop_back();
    auto taken = take(std::string_view(buffer_).substr(mark));
    buffer_.resize(mark);
    limit_end_ = capture.outer_limit_end;
    return taken;
  }

  // Messages mode: adds a message of the trimmed `content` (none when blank).
  void add_message(std::string role, std::string_view content) { messages_.add(std::move(role), content); }

  void reserve(std::size_t bytes) { buffer_.reserve(bytes); }
  std::string take_text() { return std::move(buffer_); }
  std::vector<Message> take_messages() { return messages_.take(); }

 private:
  bool storing() const noexcept { return keep_ || !marks_.empty(); }
  std::size_t innermost_mark() const noexcept { return marks_.empty() ? 0 : marks_.back(); }
  // Where the text being rendered is, in the recorder's terms.
  std::size_t position() const noexcept { return buffer_.size() - innermost_mark(); }
  void count(std::size_t bytes) noexcept { limit_end_ -= static_cast<std::ptrdiff_t>(bytes); }
  void count(const Value& value);
  void map_source(const ModuleText& module, std::size_t offset, std::string_view text);
  [[noreturn]] static void fail_size();

  Mode mode_;
  bool keep_;
  SourceMapRecorder* recorder_;
  std::string buffer_;
  // The buffer size past which the text of the innermost capture (or all
  // the text, counting what was not kept) is over the limit.
  std::ptrdiff_t limit_end_ = kMaxOutputBytes;
  std::vector<std::size_t> marks_;  // open calls and captures, innermost last
  MessageList messages_;
};

}  // namespace quarl
