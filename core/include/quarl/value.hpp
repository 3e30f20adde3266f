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
#include <initializer_list>
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

class ObjectMap;

class Value {
 public:
  using Array = std::vector<Value>;
  // Keys in ascending byte order (shorter first when one is a prefix of the
  // other): every walk over an object's entries sees them in that order.
  using Object = ObjectMap;

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
  const Array& as_array() const noexcept { return std::get<ArrayPtr>(data_)->elements; }
  const Object& as_object() const noexcept { return *std::get<ObjectPtr>(data_); }

  // Same kind and equal contents: strings byte for byte, numbers by IEEE
  // equality (so NaN differs from itself), arrays element by element, objects
  // by key set and values. Values of different kinds are unequal.
  friend bool operator==(const Value& a, const Value& b) noexcept;

 private:
  friend class ObjectMap;

  // An array's elements, shared by every value that holds the array. Arrays
  // and objects nest as deep as the data does; their destructors hand the
  // nested ones they own to an iterative release, so that tearing down any
  // nesting takes constant stack.
  struct ArrayPayload {
    explicit ArrayPayload(Array elements_) noexcept : elements(std::move(elements_)) {}
    ArrayPayload(const ArrayPayload&) = delete;
    ArrayPayload& operator=(const ArrayPayload&) = delete;
    ~ArrayPayload();
    Array elements;
  };

  using StringPtr = std::shared_ptr<const std::string>;
  using ArrayPtr = std::shared_ptr<const ArrayPayload>;
  using ObjectPtr = std::shared_ptr<const Object>;
  // Alternatives in ValueKind order.
  using Data = std::variant<StringPtr, double, bool, ArrayPtr, ObjectPtr, std::monostate>;

  explicit Value(Data data) noexcept : data_(std::move(data)) {}

  // Called by the destructor of the array or object holding this value:
  // hands an array or object this value is the last holder of to the
  // iterative release.
  void release_nested() noexcept;

  Data data_ = std::monostate{};
};

// An object's entries: unique keys kept sorted (KeyLess), so that a lookup is
// a binary search over contiguous memory and every walk is in key order.
class ObjectMap {
 public:
  using value_type = std::pair<std::string, Value>;
  using const_iterator = std::vector<value_type>::const_iterator;

  ObjectMap() = default;
  ObjectMap(const ObjectMap&) = default;
  ObjectMap(ObjectMap&&) noexcept = default;
  ObjectMap& operator=(const ObjectMap&) = default;
  ObjectMap& operator=(ObjectMap&&) noexcept = default;
  ~ObjectMap();
  // A later entry with the same key replaces an earlier one.
  ObjectMap(std::initializer_list<value_type> entries);
  static ObjectMap from_entries(std::vector<value_type> entries);

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  const_iterator find(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != end(); }
  // Adds the entry unless the key is present; appending in key order is cheap.
  std::pair<const_iterator, bool> emplace(std::string key, Value value);
  void insert_or_assign(std::string key, Value value);

  friend bool operator==(const ObjectMap&, const ObjectMap&) noexcept;

 private:
  std::vector<value_type>::iterator lower_bound(std::string_view key) noexcept;

  std::vector<value_type> entries_;
};

// Containers nest at most this deep in values converted from outside data.
inline constexpr std::size_t kMaxValueDepth = 64;

// "string", "number", "boolean", "array", "object", "null".
std::string_view type_name(ValueKind kind) noexcept;
inline std::string_view type_name(const Value& value) noexcept { return type_name(value.kind()); }

// The text form of a value, as written into output and messages.
std::string to_text(const Value& value);
void append_text(std::string& out, const Value& value);

// Whether no container in `value` lies deeper than `max_depth`, the value
// itself being at depth `depth`.
bool within_depth(const Value& value, std::size_t max_depth, std::size_t depth = 0) noexcept;

// Converts one node of a parsed JSON document. `depth` is the node's own
// nesting depth (0 for a variable's value). Throws a `quarl::json` Error for
// nesting deeper than kMaxValueDepth.
Value value_from_json(const nlohmann::json& node, std::size_t depth = 0);

}  // namespace quarl
