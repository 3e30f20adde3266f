#include "quarl/value.hpp"

#include <nlohmann/json.hpp>

#include "number.hpp"
#include "quarl/error.hpp"

namespace quarl {

Value Value::string(std::string text) {
  return Value(std::make_shared<const std::string>(std::move(text)));
}
Value Value::number(double number) noexcept { return Value(Data(std::in_place_type<double>, number)); }
Value Value::boolean(bool flag) noexcept { return Value(Data(std::in_place_type<bool>, flag)); }
Value Value::array(Array elements) {
  return Value(std::make_shared<const Array>(std::move(elements)));
}
Value Value::object(Object entries) {
  return Value(std::make_shared<const Object>(std::move(entries)));
}

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
      const char* separator = "";
      for (const Value& element : value.as_array()) {
        out += separator;
        append_text(out, element);
        separator = ", ";
      }
      return;
    }
    case ValueKind::Object: {
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

Value value_from_json(const nlohmann::json& node, std::size_t depth) {
  if (depth > kMaxValueDepth)
    throw Error::json("value nesting exceeds maximum depth of " + std::to_string(kMaxValueDepth));
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
      Value::Object entries;
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
