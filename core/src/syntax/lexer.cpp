#include "syntax/lexer.hpp"

#include <cstring>
#include <optional>
#include <utility>

#include "support/utf8.hpp"

namespace quarl {
namespace {

constexpr std::string_view kUnclosedFrontmatter = "unclosed frontmatter (missing closing ---)";
constexpr std::string_view kUnclosedInterpolation =
    "unclosed `{{` interpolation \u2014 to include a literal `{{` in output, escape it as `\\{{`";
constexpr std::string_view kUnclosedFence = "unclosed code fence";

// A run of three or more backticks or tildes found at a line start, after any
// indentation and blockquote markers.
struct Fence {
  char ch = 0;
  std::size_t run = 0;
  bool bare = false;  // nothing but spaces and tabs follows the run on its line
};

// The fence that is currently open.
struct OpenFence {
  char ch;
  std::size_t run;
  std::size_t line_offset;
};

class Lexer {
 public:
  explicit Lexer(ModuleText text)
      : text_(std::move(text)), src_(*text_), start_(content_start(src_)), pos_(start_) {}

  TokenList run() {
    lex_frontmatter();
    while (pos_ < src_.size()) step();
    if (fence_) fail(kUnclosedFence, fence_->line_offset, 3);
    return TokenList{std::move(text_), std::move(tokens_), std::move(owned_)};
  }

 private:
  std::size_t size() const noexcept { return src_.size(); }

  bool at_line_start(std::size_t p) const noexcept { return p == start_ || src_[p - 1] == '\n'; }

  bool has(std::size_t p, char c) const noexcept { return p < size() && src_[p] == c; }

  std::size_t find(char c, std::size_t from, std::size_t to) const noexcept {
    if (from >= to) return to;
    const void* hit = std::memchr(src_.data() + from, c, to - from);
    return hit ? static_cast<std::size_t>(static_cast<const char*>(hit) - src_.data()) : to;
  }

  void emit(TokenKind kind, std::size_t offset, std::string_view text) {
    tokens_.push_back(Token{kind, offset, text});
  }

  [[noreturn]] void fail(std::string_view message, std::size_t offset, std::size_t length) const {
    throw Error::syntax(std::string(message), Span{offset, length}, text_);
  }

  // ---- frontmatter -------------------------------------------------------

  bool closes_frontmatter(std::size_t p) const noexcept {
    return src_.compare(p, 3, "---") == 0 &&
           (p + 3 == size() || src_[p + 3] == '\n' || src_[p + 3] == '\r');
  }

  void lex_frontmatter() {
    const std::string_view content_text = src_.substr(start_);
    if (!content_text.starts_with("---\n") && !content_text.starts_with("---\r\n")) return;
    emit(TokenKind::FrontmatterDelimiter, start_, {});
    std::size_t content = start_ + 3;
    if (has(content, '\r')) ++content;
    if (has(content, '\n')) ++content;

    std::size_t close = content;
    while (!closes_frontmatter(close)) {
      const std::size_t nl = find('\n', close, size());
      if (nl == size()) fail(kUnclosedFrontmatter, start_, 3);
      close = nl + 1;
    }

    std::string_view yaml = src_.substr(content, close - content);
    if (yaml.find('\r') != std::string_view::npos) {
      auto stripped = std::make_unique<std::string>();
      stripped->reserve(yaml.size());
      for (const char c : yaml)
        if (c != '\r') stripped->push_back(c);
      yaml = *stripped;
      owned_ = std::move(stripped);
    }
    emit(TokenKind::FrontmatterContent, content, yaml);
    emit(TokenKind::FrontmatterDelimiter, close, {});
    pos_ = close + 3;
    if (has(pos_, '\r')) ++pos_;
    if (has(pos_, '\n')) ++pos_;
  }

  // ---- fences ------------------------------------------------------------

  std::optional<Fence> detect_fence(std::size_t p) const noexcept {
    while (p < size() && (src_[p] == ' ' || src_[p] == '\t' || src_[p] == '>')) ++p;
    if (p == size() || (src_[p] != '`' && src_[p] != '~')) return std::nullopt;
    Fence fence{src_[p], 0, true};
    while (p < size() && src_[p] == fence.ch) ++fence.run, ++p;
    if (fence.run < 3) return std::nullopt;
    for (; p < size() && src_[p] != '\n' && src_[p] != '\r'; ++p)
      if (src_[p] != ' ' && src_[p] != '\t') {
        fence.bare = false;
        break;
      }
    return fence;
  }

  bool closes_open_fence(const std::optional<Fence>& fence) const noexcept {
    return fence && fence->bare && fence->ch == fence_->ch && fence->run >= fence_->run;
  }

  // Emits the fence line at pos_ (up to its first line feed or carriage
  // return) and moves past one carriage return and one line feed.
  void take_fence_line() {
    const std::size_t start = pos_;
    while (pos_ < size() && src_[pos_] != '\n' && src_[pos_] != '\r') ++pos_;
    emit(TokenKind::CodeFence, start, src_.substr(start, pos_ - start));
    if (has(pos_, '\r')) ++pos_;
    if (has(pos_, '\n')) ++pos_;
  }

  // Everything from pos_ up to the line that closes the open fence, verbatim.
  void read_fenced_content() {
    const std::size_t start = pos_;
    for (;;) {
      const std::size_t nl = find('\n', pos_, size());
      pos_ = nl == size() ? nl : nl + 1;
      if (pos_ == size() || closes_open_fence(detect_fence(pos_))) break;
    }
    emit(TokenKind::CodeContent, start, src_.substr(start, pos_ - start));
  }

  // ---- the main loop -----------------------------------------------------

  void step() {
    if (at_line_start(pos_)) {
      const std::optional<Fence> fence = detect_fence(pos_);
      if (fence_) {
        if (closes_open_fence(fence)) {
          take_fence_line();
          fence_.reset();
        } else {
          read_fenced_content();
        }
        return;
      }
      if (fence) {
        fence_ = OpenFence{fence->ch, fence->run, pos_};
        take_fence_line();
        return;
      }
      if (src_[pos_] == '@') return read_directive();
    } else if (fence_) {
      // The rest of a fence line cut short by a lone carriage return: it is
      // inside the fenced block, so it is content like the lines that follow.
      return read_fenced_content();
    }
    if (src_.compare(pos_, 3, "\\{{") == 0) {
      emit(TokenKind::EscapedBrace, pos_, {});
      pos_ += 3;
      return;
    }
    if (src_.compare(pos_, 2, "{{") == 0) return read_interpolation();
    read_text();
  }

  void read_directive() {
    const std::size_t start = pos_;
    const std::size_t nl = find('\n', pos_, size());
    std::string_view line = src_.substr(start, nl - start);
    while (line.ends_with('\r')) line.remove_suffix(1);
    emit(TokenKind::Directive, start, line);
    pos_ = nl == size() ? nl : nl + 1;
  }

  void read_interpolation() {
    const std::size_t open = pos_;
    char quote = 0;
    for (std::size_t i = open + 2; i < size(); ++i) {
      const char c = src_[i];
      if (quote) {
        if (c == '\\')
          ++i;  // the escaped character belongs to the literal, whatever it is
        else if (c == quote)
          quote = 0;
      } else if (c == '"' || c == '\'') {
        quote = c;
      } else if (c == '}' && has(i + 1, '}')) {
        const std::string_view expr = src_.substr(open + 2, i - open - 2);
        emit(TokenKind::Interpolation, open, utf8::trim(expr));
        pos_ = i + 2;
        return;
      }
    }
    fail(kUnclosedInterpolation, open, 2);
  }

  // Position of the first "{{" at or after `from`, or the end of the text.
  // Positions only grow while lexing, so the answer stays valid until `from`
  // passes it; text without braces is searched once, not once per text run.
  std::size_t next_double_brace(std::size_t from) noexcept {
    if (brace_known_ && from <= brace_at_) return brace_at_;
    brace_known_ = true;
    for (std::size_t p = find('{', from, size()); p < size(); p = find('{', p + 1, size()))
      if (has(p + 1, '{')) return brace_at_ = p;
    return brace_at_ = size();
  }

  // Literal text up to the next escape, interpolation, directive line or fence
  // line. The caller has established that pos_ itself starts none of these.
  void read_text() {
    const std::size_t start = pos_;
    std::size_t stop = next_double_brace(start);
    if (stop < size() && stop > start && src_[stop - 1] == '\\') --stop;  // \{{ starts here
    for (std::size_t p = start; (p = find('\n', p, stop)) < stop;) {
      const std::size_t line = ++p;
      if (line < stop && (src_[line] == '@' || detect_fence(line))) {
        stop = line;
        break;
      }
    }
    emit(TokenKind::Text, start, src_.substr(start, stop - start));
    pos_ = stop;
  }

  ModuleText text_;
  std::string_view src_;
  std::size_t start_;  // where the content starts: after a byte order mark
  std::size_t pos_;
  std::vector<Token> tokens_;
  std::unique_ptr<const std::string> owned_;
  std::optional<OpenFence> fence_;
  std::size_t brace_at_ = 0;
  bool brace_known_ = false;
};

}  // namespace

TokenList lex(ModuleText text) {
  if (!text) text = std::make_shared<const std::string>();
  return Lexer(std::move(text)).run();
}

}  // namespace quarl
