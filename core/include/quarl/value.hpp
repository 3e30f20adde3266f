// The runtime value of the template language.
//
// A Value is 16 bytes and immutable once built. Scalars live in the value
// itself; a string, array or object points at its payload. The payload is
// either shared (a block on the heap with a reference count: copying the
// value costs an increment, the last copy frees it) or held elsewhere (in a
// ValueArena, or characters the caller keeps alive): then copying is a plain
// copy and the value is valid as long as what holds the payload lives. Since
// nothing can change a built value, sharing is indistinguishable from copying
// the tree.
#pragma once

#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
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
class ObjectView;
struct Member;

// A string's bytes, an array's elements or an object's members; building a
// larger value throws std::length_error.
inline constexpr std::size_t kMaxValueSize = UINT32_MAX;

class Value {
 public:
  // Builders: a vector of elements, and a map of owned keys (see ObjectMap).
  using Array = std::vector<Value>;
  using Object = ObjectMap;

  Value() noexcept : word_{.number = 0}, size_(0), kind_(ValueKind::Null), shared_(false) {}
  Value(const Value& other) noexcept : word_(other.word_), size_(other.size_), kind_(other.kind_), shared_(other.shared_) {
    if (shared_) acquire();
  }
  Value(Value&& other) noexcept : word_(other.word_), size_(other.size_), kind_(other.kind_), shared_(other.shared_) {
    other.kind_ = ValueKind::Null;
    other.shared_ = false;
  }
  Value& operator=(const Value& other) noexcept {
    Value copy(other);
    swap(copy);
    return *this;
  }
  Value& operator=(Value&& other) noexcept {
    Value moved(std::move(other));
    swap(moved);
    return *this;
  }
  ~Value() {
    if (shared_) release();
  }

  static Value null() noexcept { return Value(); }
  static Value number(double number) noexcept { return Value(Word{.number = number}, 0, ValueKind::Number, false); }
  static Value boolean(bool flag) noexcept { return Value(Word{.flag = flag}, 0, ValueKind::Boolean, false); }
  // Shared values: the payload is copied into a block of its own (an empty
  // one needs none, and is not shared).
  static Value string(std::string_view text);
  static Value array(Array elements);
  static Value array(std::initializer_list<Value> elements) { return array(Array(elements)); }
  static Value object(const Object& entries);
  // Of members with equal keys the last one is kept.
  static Value object(std::span<const Member> members);
  static Value object(std::initializer_list<Member> members);
  // A string value that points at `text` without owning it: `text` must
  // outlive every copy of the value.
  static Value borrowed(std::string_view text) noexcept {
    return Value(Word{.chars = text.data()}, text.size(), ValueKind::String, false);
  }

  ValueKind kind() const noexcept { return kind_; }
  bool is_null() const noexcept { return kind_ == ValueKind::Null; }
  // Whether the payload is a counted block on the heap.
  bool is_shared() const noexcept { return shared_; }
  // Whether the value depends on nothing that might go away: a scalar or a
  // shared value.
  bool is_self_contained() const noexcept {
    return shared_ || kind_ == ValueKind::Number || kind_ == ValueKind::Boolean || kind_ == ValueKind::Null;
  }

  // Accessors; each requires the matching kind.
  std::string_view as_string() const noexcept { return {word_.chars, size_}; }
  double as_number() const noexcept { return word_.number; }
  bool as_boolean() const noexcept { return word_.flag; }
  std::span<const Value> as_array() const noexcept { return {word_.elements, size_}; }
  ObjectView as_object() const noexcept;

  // Same kind and equal contents: strings byte for byte, numbers by IEEE
  // equality (so NaN differs from itself), arrays element by element, objects
  // by key set and values. Values of different kinds are unequal.
  friend bool operator==(const Value& a, const Value& b) noexcept;

  void swap(Value& other) noexcept {
    std::swap(word_, other.word_);
    std::swap(size_, other.size_);
    std::swap(kind_, other.kind_);
    std::swap(shared_, other.shared_);
  }

 private:
  friend class ValueArena;

  union Word {
    const char* chars;
    const Value* elements;
    const Member* members;
    double number;
    bool flag;
  };

  Value(Word word, std::size_t size, ValueKind kind, bool shared) noexcept
      : word_(word), size_(static_cast<std::uint32_t>(size)), kind_(kind), shared_(shared) {}

  // Copies the members of a const `entries`, moves those of a mutable one.
  template <class Entries>
  static Value shared_object(Entries& entries, std::size_t size);
  const void* payload() const noexcept { return word_.chars; }
  void acquire() const noexcept;
  void release() noexcept;

  Word word_;
  std::uint32_t size_;  // bytes, elements or members
  ValueKind kind_;
  bool shared_;
};

static_assert(sizeof(Value) == 16);

// One entry of an object: the key, then the value.
struct Member {
  std::string_view first;
  Value second;
};

// The entries of an object value: unique keys in ascending byte order
// (KeyLess), so that a lookup is a binary search over contiguous memory and
// every walk is in key order.
class ObjectView {
 public:
  using const_iterator = const Member*;
  ObjectView() noexcept = default;
  ObjectView(const Member* members, std::size_t size) noexcept : members_(members), size_(size) {}

  const Member* begin() const noexcept { return members_; }
  const Member* end() const noexcept { return members_ + size_; }
  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  // The member with `key`, or end().
  const Member* find(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != end(); }

  friend bool operator==(ObjectView a, ObjectView b) noexcept;

 private:
  const Member* members_ = nullptr;
  std::size_t size_ = 0;
};

inline ObjectView Value::as_object() const noexcept { return {word_.members, size_}; }

// Builds an object's entries: unique keys (owned) kept sorted (KeyLess).
class ObjectMap {
 public:
  using value_type = std::pair<std::string, Value>;
  using const_iterator = std::vector<value_type>::const_iterator;

  ObjectMap() = default;
  // A later entry with the same key replaces an earlier one.
  ObjectMap(std::initializer_list<value_type> entries);
  static ObjectMap from_entries(std::vector<value_type> entries);
  // The entries of an object value, keys copied.
  explicit ObjectMap(ObjectView object);

  const_iterator begin() const noexcept { return entries_.begin(); }
  const_iterator end() const noexcept { return entries_.end(); }
  std::size_t size() const noexcept { return entries_.size(); }
  bool empty() const noexcept { return entries_.empty(); }

  const_iterator find(std::string_view key) const noexcept;
  bool contains(std::string_view key) const noexcept { return find(key) != end(); }
  // Adds the entry unless the key is present; appending in key order is cheap.
  std::pair<const_iterator, bool> emplace(std::string key, Value value);
  void insert_or_assign(std::string key, Value value);

  friend bool operator==(const ObjectMap&, const ObjectMap&) noexcept = default;

 private:
  std::vector<value_type>::iterator lower_bound(std::string_view key) noexcept;

  std::vector<value_type> entries_;
};

// Memory for the values of one call, freed all at once with the arena: a
// value built here costs a bump of a pointer, and copying it costs nothing.
// Values built here must not outlive the arena; they may hold shared values
// (the arena drops their references when it goes).
class ValueArena {
 public:
  ValueArena() = default;
  // An arena that fills `first` before it takes memory from the system: room
  // the owner keeps beside it, for what is usually a handful of values.
  explicit ValueArena(std::span<std::byte> first) noexcept
      : next_(reinterpret_cast<char*>(first.data())), end_(next_ + first.size()) {}
  ValueArena(const ValueArena&) = delete;
  ValueArena& operator=(const ValueArena&) = delete;
  ~ValueArena();

  // A copy of `text`.
  Value string(std::string_view text);
  // Room for `count` elements or members, to be filled in before the array
  // or object is made from them (all null at first).
  std::span<Value> elements(std::size_t count);
  std::span<Member> members(std::size_t count);
  // The array of the first `count` elements of `elements` (as returned by
  // elements()).
  Value array(std::span<Value> elements) noexcept;
  // The object of `members` (as returned by members()), sorted here: of
  // members with equal keys the last one is kept.
  Value object(std::span<Member> members) noexcept;
  // The same for members already in ascending key order, without equal keys.
  Value sorted_object(std::span<Member> members) noexcept;

  // Bytes taken from the system so far.
  std::size_t reserved() const noexcept { return reserved_; }

 private:
  // Each block taken from the system starts with a Chunk; each run of values
  // handed out by elements() or members() starts with a Run. Both lists live
  // in the arena's own memory, newest first, so that building a value costs
  // no allocation beyond the chunks.
  struct Chunk {
    Chunk* previous;
  };
  struct Run {
    Run* previous;
    std::uint32_t count;
    bool members;  // else elements
  };

  void* allocate(std::size_t bytes, std::size_t align);
  template <class T>
  std::span<T> run(std::size_t count, bool members);

  Chunk* chunks_ = nullptr;
  std::size_t chunk_count_ = 0;
  char* next_ = nullptr;
  char* end_ = nullptr;
  std::size_t reserved_ = 0;
  // What elements() and members() handed out: their values may hold shared
  // references, dropped when the arena goes.
  Run* runs_ = nullptr;
};

// A value that owns all it holds: `value` itself when it is self-contained,
// else a copy of it in shared blocks (shared values inside it are shared, not
// copied). Throws a `quarl::resource_limit` Error when the
// nesting exhausts the stack.
Value to_shared(const Value& value);

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
