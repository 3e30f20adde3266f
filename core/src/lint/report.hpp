// What lint reports: its findings (diagnostics), the per-file collector with
// its cap, the canonical lint value every binding shows, and the two text
// functions that make source-derived text safe to show.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/lint.hpp"
#include "quarl/value.hpp"
#include "support/limits.hpp"

namespace quarl {

// Replaces bytes [start, end) of the module's whole text with `new_text`.
struct FixEdit {
  std::size_t start = 0;
  std::size_t end = 0;
  std::string new_text;

  friend bool operator==(const FixEdit&, const FixEdit&) = default;
};

// What a fix would delete (an empty block, a dead branch, a duplicate
// directive). Never shown; they make a finding fixable.
struct RemovalRange {
  std::size_t start = 0;
  std::size_t end = 0;
  // The range is a directive that opens a block: the fix removes the block
  // through its @end.
  bool through_end = false;

  friend bool operator==(const RemovalRange&, const RemovalRange&) = default;
};

struct Diagnostic {
  std::string_view rule;  // one of the rule names, which live as long as the program
  Severity severity = Severity::Warn;
  std::string message;
  std::optional<std::string> help;
  std::optional<Span> span;
  std::vector<RemovalRange> removals;
  std::optional<std::vector<FixEdit>> fix_edits;
};

// Whether a diagnostic is shown as fixable: it has removals or edits, and its
// rule is one whose fixes are safe to apply.
bool is_fixable(const Diagnostic& diagnostic) noexcept;

// The findings of one linted file, at most kMaxDiagnosticsPerFile of them.
class DiagnosticCollector {
 public:
  explicit DiagnosticCollector(std::string file) : file_(std::move(file)) {}

  // Keeps `diagnostic`, or, when the file holds the most it may, drops it and
  // marks the file truncated; false then (the rule stops).
  bool push(Diagnostic diagnostic);

  const std::string& file() const noexcept { return file_; }
  const std::vector<Diagnostic>& diagnostics() const noexcept { return diagnostics_; }
  bool truncated() const noexcept { return truncated_; }

 private:
  std::string file_;
  std::vector<Diagnostic> diagnostics_;
  bool truncated_ = false;
};

// The canonical lint value of one linted file whose whole text is `source`:
// {"files": [{"diagnostics": [...], "file": ...}], "truncated": ..., "version": 1}.
// Messages, help, the file key and replacement texts are display-escaped.
Value lint_canonical(const DiagnosticCollector& collector, std::string_view source);

// `text` with each control character (but tab), and each character that
// changes the direction or the lines of displayed text, as "\u" and at least
// four uppercase hexadecimal digits. None when nothing needs escaping.
std::optional<std::string> escape_for_display(std::string_view text);

// A copy of `source` of the same byte length in which such characters are
// replaced by ones of the same length ("?", U+00A0, U+FFFD), so that spans and
// caret columns computed on the source stay valid. None when nothing needs
// replacing.
std::optional<std::string> neutralize_source_for_render(std::string_view source);

}  // namespace quarl
