// The runtime value of the template language.
//
// A Value is immutable once built. Strings, arrays and objects keep their
// payload behind a shared pointer, so copying a value (binding a loop
// variable, passing an argument) costs a reference count, never a deep copy;
// since nothing can change a built value, sharing is indistinguishable from
// copying the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace quarl {

enum class ValueKind : std::uint8_t { String, Number, Boolean, Array, Object, Null };

// Byte-wise ordering of object keys (shorter first when one is a prefix of the
// other), comparing short keys inline: field names are short, and a lookup
// compares a handful of them.
struct KeyLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const noexcept {
    const std::size_t n = a.size() < b.size() ? a.size() : b.size();
    for (std::size_t i = 0; i < n; ++i)
      if (a[i] != b[i])
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]);
    return a.size() < b.size();
  }
};

class Value {
 public:
  using Array = std::vector<Value>;
  // Keys in ascending byte order (shorter first when one is a prefix of the
  // other): every walk over an object's entries sees them in that order.
  using Object = std::map<std::string, Value, KeyLess>;

  Value() noexcept = default;  // null

  static Value null() noexcept { return Value(); }
  static Value string(std::string text);
  static Value number(double number) noexcept;
  static Value boolean(bool flag) noexcept;
  static Value array(Array elements);
  static Value object(Object entries);

  ValueKind kind() const noexcept { return static_cast<ValueKind>(data_.index()); }
  bool is_null() const noexcept { return kind() == ValueKind::Null; }

  // Accessors; each requires the matching kind.
  const std::string& as_string() const noexcept { return *std::get<StringPtr>(data_); }
  double as_number() const noexcept { return std::get<double>(data_); }
  bool as_boolean() const noexcept { return std::get<bool>(data_); }
  const Array& as_array() const noexcept { return *std::get<ArrayPtr>(data_); }
  const Object& as_object() const noexcept { return *std::get<ObjectPtr>(data_); }

  // Same kind and equal contents: strings byte for byte, numbers by IEEE
  // equality (so NaN differs from itself), arrays element by element, objects
  // by key set and values. Values of different kinds are unequal.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  using StringPtr = std::shared_ptr<const std::string>;
  using ArrayPtr = std::shared_ptr<const Array>;
  using ObjectPtr = std::shared_ptr<const Object>;
  // Alternatives in ValueKind order.
  using Data = std::variant<StringPtr, double, bool, ArrayPtr, ObjectPtr, std::monostate>;

  explicit Value(Data data) noexcept : data_(std::move(data)) {}

  Data data_ = std::monostate{};
};

// Containers nest at most this deep in values converted from outside data.
inline constexpr std::size_t kMaxValueDepth = 64;

// "string", "number", "boolean", "array", "object", "null".
std::string_view type_name(ValueKind kind) noexcept;
inline std::string_view type_name(const Value& value) noexcept { return type_name(value.kind()); }

// The text form of a value, as written into output and messages.
std::string to_text(const Value& value);
void append_text(std::string& out, const Value& value);

// Converts one node of a parsed JSON document. `depth` is the node's own
// nesting depth (0 for a variable's value). Throws a `quarl::json` Error for
// nesting deeper than kMaxValueDepth.
Value value_from_json(const nlohmann::json& node, std::size_t depth = 0);

}  // namespace quarl
