#include "lint/report.hpp"

#include <algorithm>
#include <array>
#include <cstdio>

#include "lint/rules.hpp"
#include "support/compiler_bug.hpp"
#include "support/utf8.hpp"

namespace quarl {
namespace {

constexpr std::array<std::string_view, 4> kSeverityNames = {"off", "info", "warn", "error"};

using utf8::Character;
using utf8::character_at;

// Characters that change the direction of displayed text or break its lines
// without looking like it: bidirectional marks, embeddings, overrides and
// isolates, the line and paragraph separators, and the byte order mark.
bool is_invisible_format(char32_t code) noexcept {
  return code == 0x061C || code == 0x200E || code == 0x200F || (code >= 0x2028 && code <= 0x202E) ||
         (code >= 0x2066 && code <= 0x2069) || code == 0xFEFF;
}

bool needs_display_escape(char32_t code) noexcept {
  return (code < 0x20 && code != '\t') || (code >= 0x7F && code <= 0x9F) || is_invisible_format(code);
}

// What a character becomes in text kept for caret rendering: a replacement
// of the same length, or none to keep it.
std::optional<std::string_view> neutral_replacement(Character character) noexcept {
  const char32_t code = character.code;
  if ((code < 0x20 && code != '\t' && code != '\n') || code == 0x7F) return "?";
  if (character.length == 2 && ((code >= 0x80 && code <= 0x9F) || code == 0x061C)) return "\u00a0";
  if (character.length == 3 && is_invisible_format(code)) return "\ufffd";
  return std::nullopt;
}

Value text_value(std::string_view text) {
  const std::optional<std::string> escaped = escape_for_display(text);
  return Value::string(escaped ? std::string_view(*escaped) : text);
}

Value optional_text(const std::optional<std::string>& text) { return text ? text_value(*text) : Value::null(); }

Value count(std::size_t number) { return Value::number(static_cast<double>(number)); }

// The lines and columns of many offsets of one text, found in one walk over
// it (locating each from the start would make a report of many findings
// quadratic in the text). An offset off a character boundary or past the
// end has none, as for `locate`.
class Locations {
 public:
  Locations(std::string_view text, std::vector<std::size_t> offsets) : offsets_(std::move(offsets)) {
    std::ranges::sort(offsets_);
    const auto [repeated, end] = std::ranges::unique(offsets_);
    offsets_.erase(repeated, end);
    found_.reserve(offsets_.size());
    LineColumn at;
    std::size_t walked = 0;  // `at` is the place of this offset
    for (const std::size_t offset : offsets_) {
      if (offset > text.size() || (offset < text.size() && utf8::is_continuation(text[offset]))) {
        found_.emplace_back();
        continue;
      }
      const std::string_view between = text.substr(walked, offset - walked);
      if (const std::size_t feed = between.rfind('\n'); feed != std::string_view::npos) {
        at.line += static_cast<std::size_t>(std::ranges::count(between, '\n'));
        at.column = 1 + utf8::count_scalars(between.substr(feed + 1));
      } else {
        at.column += utf8::count_scalars(between);
      }
      walked = offset;
      found_.emplace_back(at);
    }
  }

  std::optional<LineColumn> operator()(std::size_t offset) const noexcept {
    const auto found = std::ranges::lower_bound(offsets_, offset);
    return found == offsets_.end() || *found != offset ? std::nullopt
                                                        : found_[static_cast<std::size_t>(found - offsets_.begin())];
  }

 private:
  std::vector<std::size_t> offsets_;  // sorted, each once
  std::vector<std::optional<LineColumn>> found_;
};

Value span_value(const std::optional<Span>& span, const Locations& locations) {
  if (!span) return Value::null();
  const std::optional<LineColumn> at = locations(span->offset);
  return Value::object({{"column", at ? count(at->column) : Value::null()},
                        {"length", count(span->length)},
                        {"line", at ? count(at->line) : Value::null()},
                        {"offset", count(span->offset)}});
}

Value edits_value(const std::optional<std::vector<FixEdit>>& edits) {
  if (!edits) return Value::null();
  Value::Array out;
  out.reserve(edits->size());
  for (const FixEdit& edit : *edits)
    out.push_back(Value::object({{"end", count(edit.end)}, {"new_text", text_value(edit.new_text)}, {"start", count(edit.start)}}));
  return Value::array(std::move(out));
}

Value diagnostic_value(const Diagnostic& diagnostic, const Locations& locations) {
  return Value::object({{"fix_edits", edits_value(diagnostic.fix_edits)},
                        {"fixable", Value::boolean(is_fixable(diagnostic))},
                        {"help", optional_text(diagnostic.help)},
                        {"message", text_value(diagnostic.message)},
                        {"rule", Value::string(diagnostic.rule)},
                        {"severity", Value::string(severity_name(diagnostic.severity))},
                        {"span", span_value(diagnostic.span, locations)}});
}

}  // namespace

std::string_view severity_name(Severity severity) noexcept {
  return kSeverityNames[static_cast<std::size_t>(severity)];
}

std::optional<Severity> parse_severity(std::string_view name) noexcept {
  const auto* found = std::ranges::find(kSeverityNames, name);
  if (found == kSeverityNames.end()) return std::nullopt;
  return static_cast<Severity>(found - kSeverityNames.begin());
}

bool is_fixable(const Diagnostic& diagnostic) noexcept {
  const bool has_fix = !diagnostic.removals.empty() || (diagnostic.fix_edits && !diagnostic.fix_edits->empty());
  const LintRule* rule = find_lint_rule(diagnostic.rule);
  return has_fix && rule != nullptr && rule->fixable;
}

bool DiagnosticCollector::push(Diagnostic diagnostic) {
  if (diagnostics_.size() >= kMaxDiagnosticsPerFile) {
    truncated_ = true;
    return false;
  }
  diagnostics_.push_back(std::move(diagnostic));
  return true;
}

Value lint_canonical(const DiagnosticCollector& collector, std::string_view source) {
  std::vector<std::size_t> offsets;
  for (const Diagnostic& diagnostic : collector.diagnostics())
    if (diagnostic.span) offsets.push_back(diagnostic.span->offset);
  const Locations locations(source, std::move(offsets));
  Value::Array diagnostics;
  diagnostics.reserve(collector.diagnostics().size());
  for (const Diagnostic& diagnostic : collector.diagnostics()) diagnostics.push_back(diagnostic_value(diagnostic, locations));
  Value file = Value::object({{"diagnostics", Value::array(std::move(diagnostics))}, {"file", text_value(collector.file())}});
  return Value::object({{"files", Value::array({std::move(file)})},
                        {"truncated", Value::boolean(collector.truncated())},
                        {"version", Value::number(1)}});
}

std::optional<std::string> escape_for_display(std::string_view text) {
  std::optional<std::string> out;
  for (std::size_t at = 0; at < text.size();) {
    const Character character = character_at(text, at);
    if (needs_display_escape(character.code)) {
      if (!out) out.emplace(text.substr(0, at));
      char digits[16];
      const int written = std::snprintf(digits, sizeof digits, "\\u%04X", static_cast<unsigned>(character.code));
      out->append(digits, static_cast<std::size_t>(written));
    } else if (out) {
      out->append(text.substr(at, character.length));
    }
    at += character.length;
  }
  return out;
}

std::optional<std::string> neutralize_source_for_render(std::string_view source) {
  std::optional<std::string> out;
  for (std::size_t at = 0; at < source.size();) {
    const Character character = character_at(source, at);
    if (const std::optional<std::string_view> replacement = neutral_replacement(character)) {
      if (!out) out.emplace(source);
      out->replace(at, character.length, *replacement);
    }
    at += character.length;
  }
  if (out && out->size() != source.size())
    compiler_bug("neutralising the source for display changed its byte length: every later span would shift");
  return out;
}

}  // namespace quarl
