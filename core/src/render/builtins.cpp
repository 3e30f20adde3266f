#include "render/builtins.hpp"

#include <unicode/bytestream.h>
#include <unicode/casemap.h>
#include <unicode/errorcode.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <limits>
#include <optional>
#include <string>
#include <unordered_set>

#include "quarl/error.hpp"
#include "support/limits.hpp"
#include "support/utf8.hpp"
#include "values/number.hpp"

namespace quarl {
namespace {

using Args = std::span<const Value>;

constexpr std::array<const char*, 3> kOrdinals = {"first", "second", "third"};

[[noreturn]] void fail(std::string message) { throw Error::builtin(std::move(message)); }

// "{fn}() requires a {kind} argument[ for {ordinal}], got {type}". `position`
// is the 0-based argument index, or none when the message names no ordinal.
[[noreturn]] void wrong_kind(std::string_view fn, std::string_view kind,
                             std::optional<std::size_t> position, const Value& got) {
  std::string message(fn);
  message += "() requires a ";
  message += kind;
  message += " argument";
  if (position) {
    message += " for ";
    message += kOrdinals[*position];
  }
  message += ", got ";
  message += type_name(got);
  fail(std::move(message));
}

std::string_view string_arg(std::string_view fn, Args args, std::size_t i,
                              bool named = true) {
  if (args[i].kind() != ValueKind::String)
    wrong_kind(fn, "string", named ? std::optional<std::size_t>(i) : std::nullopt, args[i]);
  return args[i].as_string();
}

std::span<const Value> array_arg(std::string_view fn, Args args, std::size_t i, bool named) {
  if (args[i].kind() != ValueKind::Array)
    wrong_kind(fn, "array", named ? std::optional<std::size_t>(i) : std::nullopt, args[i]);
  return args[i].as_array();
}

// ---- case mapping, through ICU with the root locale ----------------------

template <class Map>
Value map_case(std::string_view fn, Args args, Map map) {
  const std::string_view text = string_arg(fn, args, 0, false);
  if (text.size() > static_cast<std::size_t>(std::numeric_limits<int32_t>::max()))
    fail(std::string(fn) + "() input is too large");
  std::string out;
  out.reserve(text.size());
  icu::StringByteSink<std::string> sink(&out);
  UErrorCode status = U_ZERO_ERROR;
  map(icu::StringPiece(text.data(), static_cast<int32_t>(text.size())), sink, status);
  if (U_FAILURE(status)) fail(std::string(fn) + "() failed: " + u_errorName(status));
  return Value::string(std::move(out));
}

Value upper(Args args) {
  return map_case("upper", args, [](icu::StringPiece text, icu::ByteSink& sink, UErrorCode& status) {
    icu::CaseMap::utf8ToUpper("", 0, text, sink, nullptr, status);
  });
}
Value lower(Args args) {
  return map_case("lower", args, [](icu::StringPiece text, icu::ByteSink& sink, UErrorCode& status) {
    icu::CaseMap::utf8ToLower("", 0, text, sink, nullptr, status);
  });
}

// ---- strings -----------------------------------------------------------

Value trim(Args args) {
  return Value::string(std::string(utf8::trim(string_arg("trim", args, 0, false))));
}

Value replace(Args args) {
  const std::string_view text = string_arg("replace", args, 0);
  const std::string_view search = string_arg("replace", args, 1);
  const std::string_view replacement = string_arg("replace", args, 2);
  if (search.empty()) fail("replace() search string must not be empty");
  std::string out;
  const auto grow = [&out](std::string_view piece) {
    out.append(piece);
    if (out.size() > kMaxBuiltinOutput)
      fail(exceeds_maximum("replace() output", kMaxBuiltinOutput, "size", " bytes"));
  };
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(search, from)) != std::string::npos;
       from = at + search.size()) {
    grow(std::string_view(text).substr(from, at - from));
    grow(replacement);
  }
  grow(std::string_view(text).substr(from));
  return Value::string(std::move(out));
}

Value split(Args args) {
  const std::string_view text = string_arg("split", args, 0);
  const std::string_view separator = string_arg("split", args, 1);
  if (separator.empty()) fail("split() separator must not be empty");
  Value::Array pieces;
  const auto add = [&pieces](std::string_view piece) {
    if (pieces.size() == kMaxSplitPieces)
      fail(exceeds_maximum("split() result", kMaxSplitPieces, {}, " elements"));
    pieces.push_back(Value::string(std::string(piece)));
  };
  std::size_t from = 0;
  for (std::size_t at; (at = text.find(separator, from)) != std::string_view::npos;
       from = at + separator.size())
    add(text.substr(from, at - from));
  add(text.substr(from));
  return Value::array(std::move(pieces));
}

Value starts_with(Args args) {
  const std::string_view text = string_arg("starts_with", args, 0);
  return Value::boolean(text.starts_with(string_arg("starts_with", args, 1)));
}

Value ends_with(Args args) {
  const std::string_view text = string_arg("ends_with", args, 0);
  return Value::boolean(text.ends_with(string_arg("ends_with", args, 1)));
}

// ---- positions -----------------------------------------------------------

// A slice index: finite, negative counts as 0, rounded down.
std::uint64_t index_arg(Args args, std::size_t i) {
  const Value& value = args[i];
  if (value.kind() != ValueKind::Number) wrong_kind("slice", "number", i, value);
  const double number = value.as_number();
  if (!std::isfinite(number))
    fail(std::string("slice() ") + kOrdinals[i] + " argument must be a finite number, got " +
         to_text(value));
  constexpr double kTwoPow64 = 18446744073709551616.0;
  if (number > kTwoPow64)
    fail(std::string("slice() ") + kOrdinals[i] + " argument is too large: " + to_text(value));
  if (number >= kTwoPow64) return std::numeric_limits<std::uint64_t>::max();
  return number <= 0 ? 0 : static_cast<std::uint64_t>(std::floor(number));
}

// Byte offset of character `position` in `text` (its size when past the end).
std::size_t char_offset(std::string_view text, std::uint64_t position) noexcept {
  std::size_t chars = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (utf8::is_continuation(text[i])) continue;
    if (chars++ == position) return i;
  }
  return text.size();
}

Value slice(Args args) {
  const Value& subject = args[0];
  if (subject.kind() != ValueKind::String && subject.kind() != ValueKind::Array)
    wrong_kind("slice", "string or array", 0, subject);
  const std::uint64_t start = index_arg(args, 1);
  // Without an end the slice runs to the end, as if the end were past it.
  const std::uint64_t end =
      args.size() > 2 ? index_arg(args, 2) : std::numeric_limits<std::uint64_t>::max();
  if (subject.kind() == ValueKind::String) {
    const std::string_view text = subject.as_string();
    if (end <= start) return Value::string("");
    const std::size_t from = char_offset(text, start);
    const std::size_t to = char_offset(text, end);
    return Value::string(std::string(text.substr(from, to - from)));
  }
  const std::span<const Value> elements = subject.as_array();
  const auto clamp = [&](std::uint64_t position) {
    return static_cast<std::size_t>(std::min<std::uint64_t>(position, elements.size()));
  };
  if (end <= start) return Value::array({});
  return Value::array(Value::Array(elements.begin() + static_cast<std::ptrdiff_t>(clamp(start)),
                                   elements.begin() + static_cast<std::ptrdiff_t>(clamp(end))));
}

// ---- collections -----------------------------------------------------------

Value contains(Args args) {
  const Value& haystack = args[0];
  if (haystack.kind() == ValueKind::String)
    return Value::boolean(haystack.as_string().find(string_arg("contains", args, 1)) !=
                          std::string::npos);
  if (haystack.kind() != ValueKind::Array) wrong_kind("contains", "string or array", 0, haystack);
  const std::span<const Value> elements = haystack.as_array();
  return Value::boolean(std::find(elements.begin(), elements.end(), args[1]) != elements.end());
}

Value join(Args args) {
  const std::span<const Value> elements = array_arg("join", args, 0, true);
  const std::string_view separator = string_arg("join", args, 1);
  std::string out;
  for (std::size_t i = 0; i < elements.size(); ++i) {
    if (elements[i].kind() != ValueKind::String)
      fail("join() requires an array of strings, but found " +
           std::string(type_name(elements[i])) + " in array");
    if (i) out += separator;
    out += elements[i].as_string();
    if (out.size() > kMaxBuiltinOutput)
      fail(exceeds_maximum("join() output", kMaxBuiltinOutput, "size", " bytes"));
  }
  return Value::string(std::move(out));
}

Value length(Args args) {
  const Value& subject = args[0];
  if (subject.kind() == ValueKind::String)
    return Value::number(static_cast<double>(utf8::count_scalars(subject.as_string())));
  if (subject.kind() == ValueKind::Array)
    return Value::number(static_cast<double>(subject.as_array().size()));
  wrong_kind("length", "string or array", std::nullopt, subject);
}

Value first(Args args) {
  const std::span<const Value> elements = array_arg("first", args, 0, false);
  return elements.empty() ? Value::null() : elements.front();
}

Value last(Args args) {
  const std::span<const Value> elements = array_arg("last", args, 0, false);
  return elements.empty() ? Value::null() : elements.back();
}

Value reverse(Args args) {
  const Value& subject = args[0];
  if (subject.kind() == ValueKind::Array) {
    const std::span<const Value> elements = subject.as_array();
    return Value::array(Value::Array(elements.rbegin(), elements.rend()));
  }
  if (subject.kind() != ValueKind::String)
    wrong_kind("reverse", "string or array", std::nullopt, subject);
  const std::string_view text = subject.as_string();
  std::string out;
  out.reserve(text.size());
  // Walk characters from the end: a character starts at its first byte that
  // is not a continuation byte.
  std::size_t end = text.size();
  for (std::size_t i = text.size(); i-- > 0;) {
    if (utf8::is_continuation(text[i])) continue;
    out.append(text, i, end - i);
    end = i;
  }
  return Value::string(std::move(out));
}

Value sort(Args args) {
  const std::span<const Value> given = array_arg("sort", args, 0, false);
  Value::Array elements(given.begin(), given.end());
  if (elements.empty()) return Value::array({});
  const ValueKind mode = elements.front().kind();
  if (mode != ValueKind::String && mode != ValueKind::Number)
    fail("sort() requires an array of strings or numbers, got array of " +
         std::string(type_name(elements.front())));
  for (const Value& element : elements) {
    if (element.kind() != mode)
      fail("sort() requires a homogeneous array; found " + std::string(type_name(element)) +
           " mixed with " + std::string(type_name(mode)));
    if (mode == ValueKind::Number && !std::isfinite(element.as_number()))
      fail("sort() cannot sort non-finite number: " + to_text(element));
  }
  if (mode == ValueKind::String)
    std::stable_sort(elements.begin(), elements.end(), [](const Value& a, const Value& b) {
      return a.as_string() < b.as_string();
    });
  else
    std::stable_sort(elements.begin(), elements.end(), [](const Value& a, const Value& b) {
      return a.as_number() < b.as_number();
    });
  return Value::array(std::move(elements));
}

// The key under which unique() tells elements apart.
std::string unique_key(const Value& value) {
  switch (value.kind()) {
    case ValueKind::String:
      return "s:" + std::string(value.as_string());
    case ValueKind::Number:
      return "n:" + to_text(value);
    case ValueKind::Boolean:
      return value.as_boolean() ? "b:true" : "b:false";
    case ValueKind::Array:
      return "a:" + to_text(value);
    case ValueKind::Object:
      return "o:" + to_text(value);
    case ValueKind::Null:
      return "null:";
  }
  return {};
}

Value unique(Args args) {
  const std::span<const Value> elements = array_arg("unique", args, 0, false);
  std::unordered_set<std::string> seen;
  Value::Array kept;
  for (const Value& element : elements)
    if (seen.insert(unique_key(element)).second) kept.push_back(element);
  return Value::array(std::move(kept));
}

// ---- conversions -----------------------------------------------------------

Value string(Args args) { return Value::string(to_text(args[0])); }

Value number(Args args) {
  const Value& value = args[0];
  switch (value.kind()) {
    case ValueKind::Boolean:
      return Value::number(value.as_boolean() ? 1 : 0);
    case ValueKind::Null:
      return Value::number(0);
    case ValueKind::Number:
      return value;
    case ValueKind::String: {
      const std::string_view text = value.as_string();
      const std::optional<double> parsed = read_double(utf8::trim(text));
      if (!parsed) fail("number() cannot convert string '" + std::string(text) + "' to a number");
      if (!std::isfinite(*parsed))
        fail("number() produced a non-finite value from '" + std::string(text) + "'");
      return Value::number(*parsed);
    }
    case ValueKind::Array:
    case ValueKind::Object:
      break;
  }
  fail("number() cannot convert " + std::string(type_name(value)) + " to a number");
}

constexpr std::array<Builtin, 18> kBuiltins{{
    {"upper", 1, 1, {"string"}, upper},
    {"lower", 1, 1, {"string"}, lower},
    {"trim", 1, 1, {"string"}, trim},
    {"replace", 3, 3, {"string", "string", "string"}, replace},
    {"split", 2, 2, {"string", "string"}, split},
    {"starts_with", 2, 2, {"string", "string"}, starts_with},
    {"ends_with", 2, 2, {"string", "string"}, ends_with},
    {"slice", 2, 3, {"string array", "number", "number"}, slice},
    {"contains", 2, 2, {"string array"}, contains},
    {"join", 2, 2, {"array", "string"}, join},
    {"length", 1, 1, {"string array"}, length},
    {"first", 1, 1, {"array"}, first},
    {"last", 1, 1, {"array"}, last},
    {"reverse", 1, 1, {"string array"}, reverse},
    {"sort", 1, 1, {"array"}, sort},
    {"unique", 1, 1, {"array"}, unique},
    {"string", 1, 1, {}, string},
    {"number", 1, 1, {"string number boolean null"}, number},
}};

}  // namespace

std::vector<std::string_view> builtin_names() {
  std::vector<std::string_view> names;
  for (const Builtin& builtin : kBuiltins) names.push_back(builtin.name);
  return names;
}

const Builtin* find_builtin(std::string_view name) noexcept {
  for (const Builtin& builtin : kBuiltins)
    if (builtin.name == name) return &builtin;
  return nullptr;
}

}  // namespace quarl
