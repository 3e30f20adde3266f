#include "quarl/value.hpp"

#include <algorithm>

#include <nlohmann/json.hpp>

#include "limit_text.hpp"
#include "number.hpp"
#include "quarl/error.hpp"
#include "quarl/stack_guard.hpp"
#include "teardown.hpp"

namespace quarl {

Value Value::string(std::string text) {
  return Value(std::make_shared<const std::string>(std::move(text)));
}
Value Value::number(double number) noexcept { return Value(Data(std::in_place_type<double>, number)); }
Value Value::boolean(bool flag) noexcept { return Value(Data(std::in_place_type<bool>, flag)); }
Value Value::array(Array elements) {
  return Value(std::make_shared<const ArrayPayload>(std::move(elements)));
}
Value Value::object(Object entries) {
  return Value(std::make_shared<const Object>(std::move(entries)));
}

void Value::release_nested() noexcept {
  if (auto* array = std::get_if<ArrayPtr>(&data_))
    release_if_last(*array);
  else if (auto* object = std::get_if<ObjectPtr>(&data_))
    release_if_last(*object);
}

Value::ArrayPayload::~ArrayPayload() {
  for (Value& element : elements) element.release_nested();
}

ObjectMap::~ObjectMap() {
  for (auto& entry : entries_) entry.second.release_nested();
}

ObjectMap::ObjectMap(std::initializer_list<value_type> entries)
    : ObjectMap(from_entries(std::vector<value_type>(entries))) {}

ObjectMap ObjectMap::from_entries(std::vector<value_type> entries) {
  const auto less = [](const value_type& a, const value_type& b) {
    return KeyLess{}(a.first, b.first);
  };
  // Stable, so that of equal keys the later one ends up last and is kept.
  // Records are small: an insertion sort needs no buffer and few moves.
  if (entries.size() <= 16) {
    for (auto it = entries.begin(); it != entries.end(); ++it)
      for (auto at = it; at != entries.begin() && less(*at, *(at - 1)); --at)
        std::iter_swap(at, at - 1);
  } else if (!std::is_sorted(entries.begin(), entries.end(), less)) {
    std::stable_sort(entries.begin(), entries.end(), less);
  }
  // Of each run of equal keys keep the last entry, compacting in place.
  auto kept = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (kept != entries.begin() && (kept - 1)->first == it->first)
      (kept - 1)->second = std::move(it->second);
    else if (kept++ != it)
      *(kept - 1) = std::move(*it);
  }
  entries.erase(kept, entries.end());
  ObjectMap map;
  map.entries_ = std::move(entries);
  return map;
}

std::vector<ObjectMap::value_type>::iterator ObjectMap::lower_bound(std::string_view key) noexcept {
  return std::lower_bound(entries_.begin(), entries_.end(), key,
                          [](const value_type& entry, std::string_view k) {
                            return KeyLess{}(entry.first, k);
                          });
}

ObjectMap::const_iterator ObjectMap::find(std::string_view key) const noexcept {
  // Small objects (records with a few fields, the usual case) are scanned:
  // most keys differ in length, which rejects them at once.
  if (entries_.size() <= 8) {
    for (auto it = entries_.begin(); it != entries_.end(); ++it)
      if (it->first.size() == key.size() && it->first == key) return it;
    return entries_.end();
  }
  const auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const value_type& entry, std::string_view k) {
                                     return KeyLess{}(entry.first, k);
                                   });
  return at != entries_.end() && at->first == key ? at : entries_.end();
}

std::pair<ObjectMap::const_iterator, bool> ObjectMap::emplace(std::string key, Value value) {
  if (entries_.empty() || KeyLess{}(entries_.back().first, key)) {
    entries_.emplace_back(std::move(key), std::move(value));
    return {entries_.end() - 1, true};
  }
  const auto at = lower_bound(key);
  if (at != entries_.end() && at->first == key) return {at, false};
  return {entries_.emplace(at, std::move(key), std::move(value)), true};
}

void ObjectMap::insert_or_assign(std::string key, Value value) {
  const auto [at, added] = emplace(std::move(key), value);
  if (!added) entries_[static_cast<std::size_t>(at - entries_.cbegin())].second = std::move(value);
}

bool operator==(const ObjectMap& a, const ObjectMap& b) noexcept { return a.entries_ == b.entries_; }

bool operator==(const Value& a, const Value& b) noexcept {
  if (a.kind() != b.kind()) return false;
  switch (a.kind()) {
    case ValueKind::String:
      return a.as_string() == b.as_string();
    case ValueKind::Number:
      return a.as_number() == b.as_number();
    case ValueKind::Boolean:
      return a.as_boolean() == b.as_boolean();
    case ValueKind::Array:
      return a.as_array() == b.as_array();
    case ValueKind::Object:
      return a.as_object() == b.as_object();
    case ValueKind::Null:
      return true;
  }
  return false;
}

std::string_view type_name(ValueKind kind) noexcept {
  switch (kind) {
    case ValueKind::String:
      return "string";
    case ValueKind::Number:
      return "number";
    case ValueKind::Boolean:
      return "boolean";
    case ValueKind::Array:
      return "array";
    case ValueKind::Object:
      return "object";
    case ValueKind::Null:
      return "null";
  }
  return "null";
}

void append_text(std::string& out, const Value& value) {
  switch (value.kind()) {
    case ValueKind::String:
      out += value.as_string();
      return;
    case ValueKind::Number:
      append_number(out, value.as_number());
      return;
    case ValueKind::Boolean:
      out += value.as_boolean() ? "true" : "false";
      return;
    case ValueKind::Array: {
      check_stack();
      const char* separator = "";
      for (const Value& element : value.as_array()) {
        out += separator;
        append_text(out, element);
        separator = ", ";
      }
      return;
    }
    case ValueKind::Object: {
      check_stack();
      const char* separator = "";
      for (const auto& [key, member] : value.as_object()) {
        out += separator;
        out += key;
        out += ": ";
        append_text(out, member);
        separator = ", ";
      }
      return;
    }
    case ValueKind::Null:
      return;
  }
}

std::string to_text(const Value& value) {
  std::string out;
  append_text(out, value);
  return out;
}

bool within_depth(const Value& value, std::size_t max_depth, std::size_t depth) noexcept {
  if (depth > max_depth) return false;
  if (value.kind() == ValueKind::Array) {
    for (const Value& element : value.as_array())
      if (!within_depth(element, max_depth, depth + 1)) return false;
  } else if (value.kind() == ValueKind::Object) {
    for (const auto& [key, member] : value.as_object())
      if (!within_depth(member, max_depth, depth + 1)) return false;
  }
  return true;
}

Value value_from_json(const nlohmann::json& node, std::size_t depth) {
  if (depth > kMaxValueDepth)
    throw Error::json(exceeds_maximum("value nesting", kMaxValueDepth, "depth"));
  check_stack();
  switch (node.type()) {
    case nlohmann::json::value_t::null:
    case nlohmann::json::value_t::discarded:
      return Value::null();
    case nlohmann::json::value_t::boolean:
      return Value::boolean(node.get<bool>());
    case nlohmann::json::value_t::number_integer:
      return Value::number(static_cast<double>(node.get<std::int64_t>()));
    case nlohmann::json::value_t::number_unsigned:
      return Value::number(static_cast<double>(node.get<std::uint64_t>()));
    case nlohmann::json::value_t::number_float:
      return Value::number(node.get<double>());
    case nlohmann::json::value_t::string:
      return Value::string(node.get<std::string>());
    case nlohmann::json::value_t::array: {
      Value::Array elements;
      elements.reserve(node.size());
      for (const auto& element : node) elements.push_back(value_from_json(element, depth + 1));
      return Value::array(std::move(elements));
    }
    case nlohmann::json::value_t::object: {
      Value::Object entries;  // the JSON object's keys come sorted: each entry appends
      for (const auto& [key, member] : node.items())
        entries.emplace(key, value_from_json(member, depth + 1));
      return Value::object(std::move(entries));
    }
    case nlohmann::json::value_t::binary:
      break;
  }
  throw Error::json("binary data is not a value");
}

}  // namespace quarl
