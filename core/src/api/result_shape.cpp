// Whether a canonical value built elsewhere (a caller's dict, a stored JSON
// text) has the shape of a compile or a lint result: what a binding checks
// before it wraps such a value as a result object.
#include <algorithm>
#include <cstdint>
#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "quarl/lint.hpp"
#include "quarl/result.hpp"

namespace quarl {
namespace {

// The first problem found, or none.
using Problem = std::optional<std::string>;

std::string quoted(std::string_view text) { return "\"" + std::string(text) + "\""; }

Problem unknown_keys(const Value& object, std::span<const std::string_view> known, std::string_view where) {
  for (const auto& [key, value] : object.as_object())
    if (std::find(known.begin(), known.end(), key) == known.end())
      return std::string(where) + " has no key " + quoted(key);
  return std::nullopt;
}

Problem strings(const Value* list, std::string_view where) {
  if (!list) return std::nullopt;
  if (list->kind() != ValueKind::Array) return std::string(where) + " must be an array of strings";
  for (const Value& item : list->as_array())
    if (item.kind() != ValueKind::String) return std::string(where) + " must be an array of strings";
  return std::nullopt;
}

const Value* member(const Value& object, std::string_view key) noexcept {
  const ObjectView members = object.as_object();
  const Member* found = members.find(key);
  return found == members.end() ? nullptr : &found->second;
}

Problem messages_problem(const Value& messages) {
  if (messages.kind() != ValueKind::Array) return "messages must be an array";
  constexpr std::array<std::string_view, 2> kKeys = {"content", "role"};
  for (std::size_t i = 0; i < messages.as_array().size(); ++i) {
    const Value& message = messages.as_array()[i];
    const std::string where = "messages[" + std::to_string(i) + "]";
    if (message.kind() != ValueKind::Object) return where + " must be an object";
    if (Problem problem = unknown_keys(message, kKeys, where)) return problem;
    for (const std::string_view key : kKeys)
      if (const Value* text = member(message, key); text && text->kind() != ValueKind::String)
        return where + "." + std::string(key) + " must be a string";
  }
  return std::nullopt;
}

Problem source_map_problem(const Value& map) {
  if (map.kind() != ValueKind::Object) return "sourceMap must be an object";
  constexpr std::array<std::string_view, 6> kKeys = {"file", "mappings", "names", "sources", "sourcesContent", "version"};
  if (Problem problem = unknown_keys(map, kKeys, "sourceMap")) return problem;
  const Value* version = member(map, "version");
  if (!version || version->kind() != ValueKind::Number || version->as_number() != 3)
    return "sourceMap.version must be 3";
  const Value* mappings = member(map, "mappings");
  if (!mappings || mappings->kind() != ValueKind::String) return "sourceMap.mappings must be a string";
  if (const Value* file = member(map, "file"); file && file->kind() != ValueKind::String)
    return "sourceMap.file must be a string";
  const Value* sources = member(map, "sources");
  if (!sources) return "sourceMap.sources must be an array of strings";
  if (Problem problem = strings(sources, "sourceMap.sources")) return problem;
  const Value* names = member(map, "names");
  if (!names || names->kind() != ValueKind::Array || !names->as_array().empty())
    return "sourceMap.names must be an empty array";
  if (const Value* contents = member(map, "sourcesContent")) {
    if (Problem problem = strings(contents, "sourceMap.sourcesContent")) return problem;
    if (contents->as_array().size() != sources->as_array().size())
      return "sourceMap.sourcesContent must hold one text per source";
  }
  return std::nullopt;
}

// A non-negative integer (an offset, a length, a line).
bool is_count(const Value& value) noexcept {
  return value.kind() == ValueKind::Number && value.as_number() >= 0 && value.as_number() <= 9007199254740992.0 &&
         value.as_number() == static_cast<double>(static_cast<std::uint64_t>(value.as_number()));
}

Problem span_problem(const Value& span, const std::string& where) {
  if (span.kind() != ValueKind::Object) return where + " must be an object or null";
  constexpr std::array<std::string_view, 4> kKeys = {"column", "length", "line", "offset"};
  if (Problem problem = unknown_keys(span, kKeys, where)) return problem;
  for (const std::string_view key : kKeys) {
    const Value* field = member(span, key);
    const bool may_be_null = key == "column" || key == "line";
    if (!field || (field->is_null() && may_be_null)) continue;
    if (!is_count(*field)) return where + "." + std::string(key) + " must be a non-negative integer";
  }
  return std::nullopt;
}

Problem edits_problem(const Value& edits, const std::string& where) {
  if (edits.kind() != ValueKind::Array) return where + " must be an array or null";
  constexpr std::array<std::string_view, 3> kKeys = {"end", "new_text", "start"};
  for (std::size_t i = 0; i < edits.as_array().size(); ++i) {
    const Value& edit = edits.as_array()[i];
    const std::string at = where + "[" + std::to_string(i) + "]";
    if (edit.kind() != ValueKind::Object) return at + " must be an object";
    if (Problem problem = unknown_keys(edit, kKeys, at)) return problem;
    const Value* start = member(edit, "start");
    const Value* end = member(edit, "end");
    const Value* text = member(edit, "new_text");
    if (!start || !end || !is_count(*start) || !is_count(*end) || start->as_number() > end->as_number())
      return at + " must have a start and an end, start <= end";
    if (!text || text->kind() != ValueKind::String) return at + ".new_text must be a string";
  }
  return std::nullopt;
}

Problem diagnostic_problem(const Value& diagnostic, const std::string& where) {
  if (diagnostic.kind() != ValueKind::Object) return where + " must be an object";
  constexpr std::array<std::string_view, 7> kKeys = {"fix_edits", "fixable", "help", "message",
                                                      "rule", "severity", "span"};
  if (Problem problem = unknown_keys(diagnostic, kKeys, where)) return problem;
  for (const std::string_view key : {"rule", "message"})
    if (const Value* text = member(diagnostic, key); text && text->kind() != ValueKind::String)
      return where + "." + std::string(key) + " must be a string";
  if (const Value* severity = member(diagnostic, "severity")) {
    const std::optional<Severity> parsed =
        severity->kind() == ValueKind::String ? parse_severity(severity->as_string()) : std::nullopt;
    if (!parsed || *parsed == Severity::Off) return where + ".severity must be \"info\", \"warn\" or \"error\"";
  }
  if (const Value* help = member(diagnostic, "help"); help && !help->is_null() && help->kind() != ValueKind::String)
    return where + ".help must be a string or null";
  if (const Value* fixable = member(diagnostic, "fixable"); fixable && fixable->kind() != ValueKind::Boolean)
    return where + ".fixable must be a boolean";
  if (const Value* span = member(diagnostic, "span"); span && !span->is_null())
    if (Problem problem = span_problem(*span, where + ".span")) return problem;
  if (const Value* edits = member(diagnostic, "fix_edits"); edits && !edits->is_null())
    return edits_problem(*edits, where + ".fix_edits");
  return std::nullopt;
}

}  // namespace

std::optional<std::string> lint_result_problem(const Value& canonical) {
  if (canonical.kind() != ValueKind::Object) return "expected a mapping, got " + std::string(type_name(canonical));
  constexpr std::array<std::string_view, 4> kKeys = {"files", "lint_warnings", "truncated", "version"};
  if (Problem problem = unknown_keys(canonical, kKeys, "a lint result")) return problem;
  if (const Value* version = member(canonical, "version");
      version && (version->kind() != ValueKind::Number || version->as_number() != 1))
    return "version must be 1";
  if (const Value* truncated = member(canonical, "truncated"); truncated && truncated->kind() != ValueKind::Boolean)
    return "truncated must be a boolean";
  if (Problem problem = strings(member(canonical, "lint_warnings"), "lint_warnings")) return problem;
  const Value* files = member(canonical, "files");
  if (!files) return std::nullopt;
  if (files->kind() != ValueKind::Array) return "files must be an array";
  constexpr std::array<std::string_view, 2> kFileKeys = {"diagnostics", "file"};
  for (std::size_t i = 0; i < files->as_array().size(); ++i) {
    const Value& file = files->as_array()[i];
    const std::string where = "files[" + std::to_string(i) + "]";
    if (file.kind() != ValueKind::Object) return where + " must be an object";
    if (Problem problem = unknown_keys(file, kFileKeys, where)) return problem;
    if (const Value* name = member(file, "file"); name && name->kind() != ValueKind::String)
      return where + ".file must be a string";
    const Value* diagnostics = member(file, "diagnostics");
    if (!diagnostics) continue;
    if (diagnostics->kind() != ValueKind::Array) return where + ".diagnostics must be an array";
    for (std::size_t k = 0; k < diagnostics->as_array().size(); ++k)
      if (Problem problem =
              diagnostic_problem(diagnostics->as_array()[k], where + ".diagnostics[" + std::to_string(k) + "]"))
        return problem;
  }
  return std::nullopt;
}

std::optional<std::string> compile_result_problem(const Value& canonical) {
  if (canonical.kind() != ValueKind::Object) return "expected a mapping, got " + std::string(type_name(canonical));
  constexpr std::array<std::string_view, 6> kKeys = {"dependencies", "kind", "messages", "output", "sourceMap", "warnings"};
  if (Problem problem = unknown_keys(canonical, kKeys, "a compile result")) return problem;
  std::string_view kind = "markdown";  // what a result without "kind" shows
  if (const Value* given = member(canonical, "kind")) {
    if (given->kind() != ValueKind::String || (given->as_string() != "markdown" && given->as_string() != "messages"))
      return "kind must be \"markdown\" or \"messages\"";
    kind = given->as_string();
  }
  const Value* output = member(canonical, "output");
  const Value* messages = member(canonical, "messages");
  if (kind == "markdown") {
    if (messages) return "a markdown result has no messages";
    if (output && output->kind() != ValueKind::String) return "output must be a string";
  } else {
    if (output) return "a messages result has no output";
    if (const Value* map = member(canonical, "sourceMap"); map && !map->is_null())
      return "a messages result has no source map";
    if (messages)
      if (Problem problem = messages_problem(*messages)) return problem;
  }
  if (Problem problem = strings(member(canonical, "warnings"), "warnings")) return problem;
  if (Problem problem = strings(member(canonical, "dependencies"), "dependencies")) return problem;
  if (const Value* map = member(canonical, "sourceMap"); map && !map->is_null()) return source_map_problem(*map);
  return std::nullopt;
}

}  // namespace quarl
