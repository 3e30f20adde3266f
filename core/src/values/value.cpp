#include "quarl/value.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <type_traits>

#include <nlohmann/json.hpp>

#include "quarl/error.hpp"
#include "quarl/stack_guard.hpp"
#include "support/limits.hpp"
#include "values/number.hpp"

namespace quarl {

namespace {

// The header of a shared payload, right before its bytes, elements or
// members. Once the last reference is gone, `next` chains the blocks still to
// be freed, so that freeing a deep tree is a loop, not a recursion.
struct Block {
  std::atomic<std::uint32_t> refs;
  ValueKind kind;
  std::size_t size;
  Block* next;
};

constexpr std::size_t kHeader = (sizeof(Block) + alignof(Value) - 1) / alignof(Value) * alignof(Value);

Block* block_of(const void* payload) noexcept {
  return reinterpret_cast<Block*>(const_cast<char*>(static_cast<const char*>(payload)) - kHeader);
}

std::size_t checked_size(std::size_t size) {
  if (size > kMaxValueSize) throw std::length_error("value too large");
  return size;
}

static_assert(kHeader % alignof(Member) == 0);

// A new block with one reference and room for `bytes` of payload.
char* new_block(ValueKind kind, std::size_t size, std::size_t bytes) {
  char* memory = static_cast<char*>(::operator new(kHeader + bytes));
  new (memory) Block{{1}, kind, size, nullptr};
  return memory + kHeader;
}

// Sorts `entries` by key (stable: of equal keys the later one ends up last)
// and keeps the last of each run of equal keys; returns how many remain.
template <class Entry>
std::size_t sort_unique(std::span<Entry> entries) noexcept {
  const auto less = [](const Entry& a, const Entry& b) { return KeyLess{}(a.first, b.first); };
  // Records are small: an insertion sort needs no buffer and few moves.
  if (entries.size() <= 16) {
    for (auto it = entries.begin(); it != entries.end(); ++it)
      for (auto at = it; at != entries.begin() && less(*at, *(at - 1)); --at) std::iter_swap(at, at - 1);
  } else if (!std::is_sorted(entries.begin(), entries.end(), less)) {
    std::stable_sort(entries.begin(), entries.end(), less);
  }
  auto kept = entries.begin();
  for (auto it = entries.begin(); it != entries.end(); ++it) {
    if (kept != entries.begin() && (kept - 1)->first == it->first)
      (kept - 1)->second = std::move(it->second);
    else if (kept++ != it)
      *(kept - 1) = std::move(*it);
  }
  return static_cast<std::size_t>(kept - entries.begin());
}

}  // namespace

Value Value::string(std::string_view text) {
  if (text.empty()) return borrowed("");  // nothing to own
  char* chars = new_block(ValueKind::String, checked_size(text.size()), text.size());
  std::memcpy(chars, text.data(), text.size());
  return Value(Word{.chars = chars}, text.size(), ValueKind::String, true);
}

Value Value::array(Array elements) {
  if (elements.empty()) return Value(Word{.elements = nullptr}, 0, ValueKind::Array, false);
  const std::size_t size = checked_size(elements.size());
  auto* items = reinterpret_cast<Value*>(new_block(ValueKind::Array, size, size * sizeof(Value)));
  for (std::size_t i = 0; i < size; ++i) new (items + i) Value(std::move(elements[i]));
  return Value(Word{.elements = items}, size, ValueKind::Array, true);
}

Value Value::object(const Object& entries) { return shared_object(entries, entries.size()); }

Value Value::object(std::span<const Member> members) {
  // Small objects are sorted in place on the stack.
  constexpr std::size_t kLocal = 8;
  if (members.size() <= kLocal) {
    std::array<Member, kLocal> local;
    std::copy(members.begin(), members.end(), local.begin());
    std::span<Member> sorted(local.data(), members.size());
    sorted = sorted.first(sort_unique(sorted));
    return shared_object(sorted, sorted.size());
  }
  std::vector<Member> sorted(members.begin(), members.end());
  sorted.resize(sort_unique(std::span<Member>(sorted)));
  return shared_object(sorted, sorted.size());
}

Value Value::object(std::initializer_list<Member> members) {
  return object(std::span<const Member>(members.begin(), members.size()));
}

template <class Entries>
Value Value::shared_object(Entries& entries, std::size_t size) {
  if (size == 0) return Value(Word{.members = nullptr}, 0, ValueKind::Object, false);
  checked_size(size);
  std::size_t key_bytes = 0;
  for (const auto& [key, member] : entries) key_bytes += key.size();
  char* payload = new_block(ValueKind::Object, size, size * sizeof(Member) + key_bytes);
  auto* members = reinterpret_cast<Member*>(payload);
  char* keys = payload + size * sizeof(Member);
  std::size_t i = 0;
  for (auto& [key, member] : entries) {
    std::memcpy(keys, key.data(), key.size());
    if constexpr (std::is_const_v<std::remove_reference_t<decltype(member)>>)
      new (members + i++) Member{std::string_view(keys, key.size()), member};
    else
      new (members + i++) Member{std::string_view(keys, key.size()), std::move(member)};
    keys += key.size();
  }
  return Value(Word{.members = members}, size, ValueKind::Object, true);
}

void Value::acquire() const noexcept { block_of(payload())->refs.fetch_add(1, std::memory_order_relaxed); }

namespace {

// Drops one reference from `value`'s block, chaining the block onto `pending`
// when that was the last one.
void drop(const Value& value, Block*& pending) noexcept {
  if (!value.is_shared()) return;
  const void* payload = value.kind() == ValueKind::String   ? static_cast<const void*>(value.as_string().data())
                        : value.kind() == ValueKind::Array ? static_cast<const void*>(value.as_array().data())
                                                            : static_cast<const void*>(value.as_object().begin());
  Block* block = block_of(payload);
  if (block->refs.fetch_sub(1, std::memory_order_acq_rel) != 1) return;
  block->next = pending;
  pending = block;
}

// Frees the blocks chained from `pending`, and those their values held the
// last references to.
void free_blocks(Block* pending) noexcept {
  while (pending) {
    Block* block = pending;
    pending = block->next;
    char* payload = reinterpret_cast<char*>(block) + kHeader;
    if (block->kind == ValueKind::Array) {
      auto* items = reinterpret_cast<Value*>(payload);
      for (std::size_t i = 0; i < block->size; ++i) drop(items[i], pending);
    } else if (block->kind == ValueKind::Object) {
      auto* members = reinterpret_cast<Member*>(payload);
      for (std::size_t i = 0; i < block->size; ++i) drop(members[i].second, pending);
    }
    ::operator delete(block);
  }
}

}  // namespace

void Value::release() noexcept {
  Block* pending = nullptr;
  drop(*this, pending);
  free_blocks(pending);
}

ObjectMap::ObjectMap(std::initializer_list<value_type> entries)
    : ObjectMap(from_entries(std::vector<value_type>(entries))) {}

ObjectMap::ObjectMap(ObjectView object) {
  entries_.reserve(object.size());
  for (const auto& [key, member] : object) entries_.emplace_back(std::string(key), member);
}


ObjectMap ObjectMap::from_entries(std::vector<value_type> entries) {
  entries.resize(sort_unique(std::span<value_type>(entries)));
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
  const auto at = std::lower_bound(entries_.begin(), entries_.end(), key,
                                   [](const value_type& entry, std::string_view k) { return KeyLess{}(entry.first, k); });
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

namespace {

// Field names are short: a loop compares them faster than a call would.
bool same_bytes(const char* a, const char* b, std::size_t size) noexcept {
  for (std::size_t i = 0; i < size; ++i)
    if (a[i] != b[i]) return false;
  return true;
}

}  // namespace

const Member* ObjectView::find(std::string_view key) const noexcept {
  // Small objects (records with a few fields, the usual case) are scanned:
  // most keys differ in length, which rejects them at once.
  if (size_ <= 8) {
    for (const Member* it = begin(); it != end(); ++it)
      if (it->first.size() == key.size() && same_bytes(it->first.data(), key.data(), key.size())) return it;
    return end();
  }
  const Member* at = std::lower_bound(begin(), end(), key, [](const Member& member, std::string_view k) {
    return KeyLess{}(member.first, k);
  });
  return at != end() && at->first == key ? at : end();
}

bool operator==(ObjectView a, ObjectView b) noexcept {
  return std::equal(a.begin(), a.end(), b.begin(), b.end(), [](const Member& x, const Member& y) {
    return x.first == y.first && x.second == y.second;
  });
}

ValueArena::~ValueArena() {
  for (Run* run = runs_; run; run = run->previous) {
    void* items = run + 1;
    if (run->members)
      std::destroy_n(static_cast<Member*>(items), run->count);
    else
      std::destroy_n(static_cast<Value*>(items), run->count);
  }
  for (Chunk* chunk = chunks_; chunk;) {
    Chunk* previous = chunk->previous;
    ::operator delete(chunk);
    chunk = previous;
  }
}

namespace {

std::uintptr_t aligned(const char* at, std::size_t align) noexcept {
  return (reinterpret_cast<std::uintptr_t>(at) + align - 1) & ~(align - 1);
}

}  // namespace

void* ValueArena::allocate(std::size_t bytes, std::size_t align) {
  if (next_) {
    const std::uintptr_t start = aligned(next_, align);
    if (start <= reinterpret_cast<std::uintptr_t>(end_) && reinterpret_cast<std::uintptr_t>(end_) - start >= bytes) {
      char* at = next_ + (start - reinterpret_cast<std::uintptr_t>(next_));
      next_ = at + bytes;
      return at;
    }
  }
  // Chunks double from 4 KiB up to 1 MiB; a request too big for one gets its own.
  const std::size_t chunk = std::min<std::size_t>(std::size_t{4096} << std::min<std::size_t>(chunk_count_, 8),
                                                  std::size_t{1} << 20);
  const std::size_t size = std::max(chunk, sizeof(Chunk) + bytes + align);
  auto* block = static_cast<char*>(::operator new(size));
  chunks_ = ::new (block) Chunk{chunks_};
  ++chunk_count_;
  reserved_ += size;
  char* start = block + sizeof(Chunk);
  char* at = start + (aligned(start, align) - reinterpret_cast<std::uintptr_t>(start));
  if (bytes > chunk / 4 && next_) {
    // Keep filling the current chunk; the big request has its own.
    return at;
  }
  next_ = at + bytes;
  end_ = block + size;
  return at;
}

Value ValueArena::string(std::string_view text) {
  char* chars = static_cast<char*>(allocate(checked_size(text.size()), 1));
  std::memcpy(chars, text.data(), text.size());
  return Value(Value::Word{.chars = chars}, text.size(), ValueKind::String, false);
}

template <class T>
std::span<T> ValueArena::run(std::size_t count, bool members) {
  static_assert(sizeof(Run) % alignof(T) == 0);
  auto* header = static_cast<Run*>(allocate(sizeof(Run) + checked_size(count) * sizeof(T), alignof(Run)));
  auto* items = reinterpret_cast<T*>(header + 1);
  std::uninitialized_value_construct_n(items, count);
  runs_ = ::new (header) Run{runs_, static_cast<std::uint32_t>(count), members};
  return {items, count};
}

std::span<Value> ValueArena::elements(std::size_t count) { return run<Value>(count, false); }

std::span<Member> ValueArena::members(std::size_t count) { return run<Member>(count, true); }

Value ValueArena::array(std::span<Value> elements) noexcept {
  return Value(Value::Word{.elements = elements.data()}, elements.size(), ValueKind::Array, false);
}

Value ValueArena::object(std::span<Member> members) noexcept { return sorted_object(members.first(sort_unique(members))); }

Value ValueArena::sorted_object(std::span<Member> members) noexcept {
  return Value(Value::Word{.members = members.data()}, members.size(), ValueKind::Object, false);
}

Value to_shared(const Value& value) {
  if (value.is_self_contained()) return value;
  switch (value.kind()) {
    case ValueKind::String:
      return Value::string(value.as_string());
    case ValueKind::Array: {
      check_stack();
      Value::Array elements;
      elements.reserve(value.as_array().size());
      for (const Value& element : value.as_array()) elements.push_back(to_shared(element));
      return Value::array(std::move(elements));
    }
    case ValueKind::Object: {
      check_stack();
      std::vector<Member> members;  // keys are copied into the new block
      members.reserve(value.as_object().size());
      for (const auto& [key, member] : value.as_object()) members.push_back({key, to_shared(member)});
      return Value::object(std::span<const Member>(members));
    }
    default:
      return value;
  }
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
      return std::equal(a.as_array().begin(), a.as_array().end(), b.as_array().begin(), b.as_array().end());
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

namespace {

bool is_container(const Value& value) noexcept {
  return value.kind() == ValueKind::Array || value.kind() == ValueKind::Object;
}

}  // namespace

bool within_depth(const Value& value, std::size_t max_depth, std::size_t depth) noexcept {
  if (depth > max_depth) return false;
  // Only containers are walked into, one native frame a level: a scalar item
  // is one level deeper, and is too deep when that level is.
  const bool scalars_fit = depth < max_depth;
  if (value.kind() == ValueKind::Array) {
    for (const Value& element : value.as_array())
      if (is_container(element) ? !within_depth(element, max_depth, depth + 1) : !scalars_fit) return false;
  } else if (value.kind() == ValueKind::Object) {
    for (const auto& [key, member] : value.as_object())
      if (is_container(member) ? !within_depth(member, max_depth, depth + 1) : !scalars_fit) return false;
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
