#include "render/output.hpp"

#include "support/limits.hpp"
#include "support/utf8.hpp"

namespace quarl {

// Counted, not kept: the text is built only to be measured.
void Output::count(const Value& value) {
  std::string text;
  append_text(text, value);
  count(text.size());
}

void Output::fail_size() {
  throw Error::resource_limit(exceeds_maximum("output", kMaxOutputBytes, "size", " bytes"));
}

void Output::map_source(const ModuleText& module, std::size_t offset, std::string_view text) {
  const std::size_t start = position();
  std::size_t piece = 0;  // where the piece being mapped starts
  for (std::size_t at = text.find_first_of("\n\r"); at != std::string_view::npos && at + 1 < text.size();
       at = text.find_first_of("\n\r", at + 1)) {
    if (text[at] == '\r' && text[at + 1] == '\n') continue;  // a line end: the line feed stays on its line
    recorder_->segment(start + piece, module, offset + piece, at + 1 - piece);
    piece = at + 1;
  }
  recorder_->segment(start + piece, module, offset + piece, text.size() - piece);
}

void Output::end_call(std::size_t mark) {
  marks_.pop_back();
  const std::string_view body = std::string_view(buffer_).substr(mark);
  const std::string_view kept = utf8::trim(body);
  const auto front = static_cast<std::size_t>(kept.data() - body.data());
  const std::size_t length = kept.size();
  if (recorder_) recorder_->end_call(front, length);
  buffer_.resize(mark + front + length);
  if (front != 0) buffer_.erase(mark, front);
  if (!storing()) {
    count(buffer_.size());
    buffer_.clear();
  }
}

Output::Capture Output::begin_capture() {
  const Capture capture{limit_end_};
  marks_.push_back(buffer_.size());
  limit_end_ = static_cast<std::ptrdiff_t>(buffer_.size() + kMaxOutputBytes);
  return capture;
}

}  // namespace quarl
