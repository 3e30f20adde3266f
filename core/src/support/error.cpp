#include "quarl/error.hpp"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <utility>

#include "support/utf8.hpp"

namespace quarl {
namespace {

// What every kind presents. Templates refer to the payload by position: {0},
// {1}, {2}; an empty help template means the kind has no help text.
struct KindInfo {
  std::string_view code;
  std::string_view message;
  std::string_view help;
  bool spanned;
};

constexpr std::array<KindInfo, kErrorCodeCount> kKinds{{
    {"quarl::syntax", "syntax error: {0}", "", true},
    {"quarl::undefined_var", "undefined variable '{0}'", "define '{0}' in frontmatter or imports",
     true},
    {"quarl::undefined_fn", "undefined function '{0}'", "define '{0}' with @define or import it",
     true},
    {"quarl::arity", "arity mismatch for '{0}': {1}, got {2}",
     "check the call site \u2014 '{0}' requires a different number of arguments than were "
     "provided",
     true},
    {"quarl::builtin", "{0}", "", true},
    {"quarl::type_error", "type error: expected array for @for loop, got {0}",
     "@for loops require an array value; valid types are arrays (e.g. [1, 2, 3])", true},
    {"quarl::type_mismatch", "type mismatch: cannot compare {0} with {1}",
     "left side is {0}, right side is {1}; compare against a {0} literal, use '@if x:' for "
     "truthiness, or pass a string with '--set-string KEY=VALUE'",
     true},
    {"quarl::circular_import", "circular import detected: {0}",
     "check your import graph for cycles; A imports B imports A is not allowed", true},
    {"quarl::file_not_found", "file not found: {0}",
     "check the file path and ensure the file exists", true},
    {"quarl::import", "import error: {0}", "", true},
    {"quarl::name_collision", "name collision: '{0}' is already defined", "", true},
    {"quarl::not_quarl", "not an QUARL file: {0}",
     "use .quarl extension or add 'type: quarl' to frontmatter", false},
    {"quarl::io", "{0}", "", false},
    {"quarl::resource_limit", "resource limit exceeded: {0}", "", false},
    {"quarl::yaml", "YAML parse error: {0}", "", false},
    {"quarl::json", "JSON parse error: {0}", "", false},
    {"quarl::invalid_vars", "invalid vars file: {0}",
     "vars file must be a JSON object mapping variable names to values", false},
    {"quarl::var_conflict", "variable '{0}' is set by both --set and --set-string; use only one",
     "--set coerces the value (bool/number/null/array/string); --set-string always passes a "
     "string \u2014 keep the flag whose semantics you want and drop the other",
     false},
    {"quarl::module_not_found", "module '{0}' is not in the virtual module map",
     "add the module to `options.modules` (WASM / napi / Python) or switch to the native backend "
     "for filesystem-backed imports",
     true},
    {"quarl::recursion", "recursion detected in function '{0}'",
     "QUARL does not support recursive functions; restructure using @for loops or multiple "
     "@define blocks",
     true},
    {"quarl::export", "export error: {0}", "", true},
    {"quarl::extends", "extends error: {0}", "", true},
    {"quarl::mixed_content", "mixed content: non-message content found outside @message blocks",
     "move all text and interpolations inside @message blocks, or remove the @message blocks to "
     "use plain markdown mode",
     true},
    {"quarl::expected_markdown", "expected markdown output, but template produced messages", "",
     false},
    {"quarl::expected_messages", "expected messages output, but template produced markdown", "",
     false},
    {"quarl::formatter_invariant", "formatter produced non-equivalent output: {0}",
     "this indicates a bug in `quarl fmt` itself; please file an issue", false},
}};

const KindInfo& info(ErrorCode code) noexcept { return kKinds[static_cast<std::size_t>(code)]; }

// Fills the {N} placeholders of `tmpl` with `args[N]`. Payload text is inserted
// as is and never scanned for placeholders itself.
std::string expand(std::string_view tmpl, std::initializer_list<std::string_view> args) {
  const auto* arg = args.begin();
  std::string out;
  out.reserve(tmpl.size() + 32);
  std::size_t i = 0;
  while (i < tmpl.size()) {
    const std::size_t open = tmpl.find('{', i);
    if (open == std::string_view::npos || open + 2 >= tmpl.size() || tmpl[open + 2] != '}' ||
        tmpl[open + 1] < '0' || tmpl[open + 1] > '9') {
      const std::size_t stop = open == std::string_view::npos ? tmpl.size() : open + 1;
      out.append(tmpl.substr(i, stop - i));
      i = stop;
      continue;
    }
    out.append(tmpl.substr(i, open - i));
    const auto index = static_cast<std::size_t>(tmpl[open + 1] - '0');
    if (index < args.size()) out.append(arg[index]);
    i = open + 3;
  }
  return out;
}

std::string arity_expectation(ArityRange range) {
  if (range.min != range.max)
    return "expected " + std::to_string(range.min) + "-" + std::to_string(range.max) +
           " arguments";
  if (range.min == 1) return "expected 1 argument";
  return "expected " + std::to_string(range.min) + " arguments";
}

}  // namespace

std::string_view code_string(ErrorCode code) noexcept { return info(code).code; }

bool is_spanned(ErrorCode code) noexcept { return info(code).spanned; }

std::optional<LineColumn> locate(std::string_view text, std::size_t offset) noexcept {
  if (offset > text.size()) return std::nullopt;
  if (offset < text.size() && utf8::is_continuation(text[offset])) return std::nullopt;
  const std::string_view before = text.substr(0, offset);
  LineColumn at;
  std::size_t line_start = 0;
  for (const char* p = before.data(), *end = p + before.size();
       (p = static_cast<const char*>(std::memchr(p, '\n', static_cast<std::size_t>(end - p))));
       ++p) {
    ++at.line;
    line_start = static_cast<std::size_t>(p - before.data()) + 1;
  }
  at.column = 1 + utf8::count_scalars(before.substr(line_start));
  return at;
}

Error::Error(ErrorCode code, Payload payload, OptSpan span, ModuleText text)
    : code_(code), payload_(std::move(payload)), span_(span), text_(std::move(text)) {}

Error Error::syntax(std::string message, OptSpan span, ModuleText text) {
  return {ErrorCode::Syntax, std::move(message), span, std::move(text)};
}
Error Error::undefined_var(std::string name, OptSpan span, ModuleText text) {
  return {ErrorCode::UndefinedVar, std::move(name), span, std::move(text)};
}
Error Error::undefined_fn(std::string name, OptSpan span, ModuleText text) {
  return {ErrorCode::UndefinedFn, std::move(name), span, std::move(text)};
}
Error Error::arity(std::string name, ArityRange expected, std::size_t got, OptSpan span,
                   ModuleText text, std::string signature) {
  std::string note = signature.empty() ? std::string() : "defined as " + signature;
  Error error{ErrorCode::Arity, Arity{std::move(name), expected, got, std::move(signature)}, span, std::move(text)};
  if (!note.empty()) error.add_note(std::move(note));
  return error;
}
Error Error::builtin(std::string message, OptSpan span, ModuleText text) {
  return {ErrorCode::Builtin, std::move(message), span, std::move(text)};
}
Error Error::type_error(std::string type_name, OptSpan span, ModuleText text) {
  return {ErrorCode::TypeError, std::move(type_name), span, std::move(text)};
}
Error Error::type_error_message(std::string message, OptSpan span, ModuleText text) {
  return {ErrorCode::TypeError, TypeMessage{std::move(message)}, span, std::move(text)};
}
Error Error::type_mismatch(std::string left, std::string right, OptSpan span, ModuleText text) {
  return {ErrorCode::TypeMismatch, TypePair{std::move(left), std::move(right)}, span,
          std::move(text)};
}
Error Error::circular_import(std::string chain, OptSpan span, ModuleText text) {
  return {ErrorCode::CircularImport, std::move(chain), span, std::move(text)};
}
Error Error::file_not_found(std::string path, OptSpan span, ModuleText text) {
  return {ErrorCode::FileNotFound, std::move(path), span, std::move(text)};
}
Error Error::import(std::string message, OptSpan span, ModuleText text) {
  return {ErrorCode::Import, std::move(message), span, std::move(text)};
}
Error Error::name_collision(std::string name, OptSpan span, ModuleText text) {
  return {ErrorCode::NameCollision, std::move(name), span, std::move(text)};
}
Error Error::not_quarl(std::string key) { return {ErrorCode::NotQuarl, std::move(key)}; }
Error Error::io(std::string message) { return {ErrorCode::Io, std::move(message)}; }
Error Error::resource_limit(std::string message) {
  return {ErrorCode::ResourceLimit, std::move(message)};
}
Error Error::yaml(std::string message) { return {ErrorCode::Yaml, std::move(message)}; }
Error Error::json(std::string message) { return {ErrorCode::Json, std::move(message)}; }
Error Error::module_not_found(std::string key, OptSpan span, ModuleText text) {
  return {ErrorCode::ModuleNotFound, std::move(key), span, std::move(text)};
}
Error Error::recursion(std::string name, OptSpan span, ModuleText text) {
  return {ErrorCode::Recursion, std::move(name), span, std::move(text)};
}
Error Error::export_error(std::string message, OptSpan span, ModuleText text) {
  return {ErrorCode::Export, std::move(message), span, std::move(text)};
}
Error Error::extends(std::string message, OptSpan span, ModuleText text) {
  return {ErrorCode::Extends, std::move(message), span, std::move(text)};
}
Error Error::mixed_content(OptSpan span, ModuleText text) {
  return {ErrorCode::MixedContent, std::monostate{}, span, std::move(text)};
}
Error Error::formatter_invariant(std::string message) {
  return {ErrorCode::FormatterInvariant, std::move(message)};
}

std::string debug_quoted(std::string_view text) {
  std::string out;
  out.reserve(text.size() + 2);
  out += '"';
  for (const char c : text) {
    switch (c) {
      case '"': out += "\\\""; break;
      case '\\': out += "\\\\"; break;
      case '\n': out += "\\n"; break;
      case '\r': out += "\\r"; break;
      case '\t': out += "\\t"; break;
      case '\0': out += "\\0"; break;
      default:
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
          char escape[16];
          std::snprintf(escape, sizeof escape, "\\u{%x}", static_cast<unsigned>(c));
          out += escape;
        } else {
          out += c;
        }
    }
  }
  out += '"';
  return out;
}

std::string Error::message() const {
  const std::string_view tmpl = info(code_).message;
  if (const auto* text = std::get_if<std::string>(&payload_)) return expand(tmpl, {*text});
  if (const auto* arity = std::get_if<Arity>(&payload_))
    return expand(tmpl, {arity->name, arity_expectation(arity->expected),
                         std::to_string(arity->got)});
  if (const auto* pair = std::get_if<TypePair>(&payload_))
    return expand(tmpl, {pair->left, pair->right});
  if (const auto* own = std::get_if<TypeMessage>(&payload_)) return "type error: " + own->message;
  return std::string(tmpl);
}

std::optional<std::string> Error::help() const {
  if (std::holds_alternative<TypeMessage>(payload_)) return std::nullopt;
  const std::string_view tmpl = info(code_).help;
  if (tmpl.empty()) return std::nullopt;
  if (const auto* text = std::get_if<std::string>(&payload_)) return expand(tmpl, {*text});
  if (const auto* arity = std::get_if<Arity>(&payload_)) return expand(tmpl, {arity->name});
  if (const auto* pair = std::get_if<TypePair>(&payload_))
    return expand(tmpl, {pair->left, pair->right});
  return std::string(tmpl);
}

std::string_view Error::payload_text() const noexcept {
  const auto* text = std::get_if<std::string>(&payload_);
  return text ? std::string_view(*text) : std::string_view();
}

std::string_view Error::signature() const noexcept {
  const auto* arity = std::get_if<Arity>(&payload_);
  return arity ? std::string_view(arity->signature) : std::string_view();
}

std::optional<LineColumn> Error::line_column() const noexcept {
  if (!span_ || !text_) return std::nullopt;
  return locate(*text_, span_->offset);
}

void Error::set_span_if_missing(Span span, ModuleText text) noexcept {
  if (span_ || !is_spanned(code_)) return;
  span_ = span;
  text_ = std::move(text);
}

void Error::set_module_if_missing(ModuleText text) noexcept {
  if (!text_) text_ = std::move(text);
}

}  // namespace quarl
