// Python objects to values and back.
#pragma once

#include <Python.h>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "py_ref.hpp"
#include "quarl/value.hpp"

namespace tessel {

// Values converted from Python objects for one call: an arena holding them,
// and references to the str objects whose text they borrow. The values are
// valid while both live; dropping the references needs the interpreter
// lock, the arena does not (it may be moved away first).
class ConvertedValues {
 public:
  quarl::ValueArena& arena() {
    if (!arena_) arena_ = std::make_unique<quarl::ValueArena>();
    return *arena_;
  }
  // The arena; null when nothing was converted.
  std::unique_ptr<quarl::ValueArena> take_arena() noexcept { return std::move(arena_); }
  // Keeps `object` alive until this goes.
  void hold(PyObject* object) {
    // Room for a few records' strings at once, not one more each time.
    if (held_.empty()) held_.reserve(64);
    held_.push_back(PyRef::borrow(object));
  }

 private:
  std::unique_ptr<quarl::ValueArena> arena_;  // made with the first value
  std::vector<PyRef> held_;
};

// The value of a Python object: dicts and other mappings with str keys become
// objects, lists, tuples and other sequences arrays, str strings, bool
// booleans, int and float numbers (ints of any size to the nearest double),
// None null. Dicts and lists are read now (a later change does not show);
// strings are borrowed from their (immutable) str, which is held.
//
// On failure returns none and either sets `error` to a description of the
// problem (an unsupported type, a non-str key, nesting too deep, ...) or,
// when memory ran out, leaves the MemoryError set.
std::optional<quarl::Value> to_value(PyObject* object, ConvertedValues& into, std::string& error) noexcept;

// The same as a shared value, which owns all it holds.
std::optional<quarl::Value> to_value(PyObject* object, std::string& error) noexcept;

// A new Python object for a value: objects become dicts (keys in order),
// arrays lists, whole numbers within 64 bits ints, other numbers floats.
PyObject* to_python(const quarl::Value& value) noexcept;

// A new str from UTF-8 text.
PyObject* to_python(std::string_view text) noexcept;

// A new list of str.
PyObject* to_python(const std::vector<std::string>& texts) noexcept;

// The UTF-8 text of a str, valid while the str lives; none with the
// exception set when it cannot be encoded (a lone surrogate).
std::optional<std::string_view> utf8_of(PyObject* str) noexcept;

// The name of an object's type, for messages ("?" when unreadable).
std::string type_name(PyObject* object);

// The member `key` of a value, or null when it has none or is no object.
const quarl::Value* member(const quarl::Value& object, std::string_view key) noexcept;

// A value's canonical JSON text as a new str; ValueError for a value JSON
// cannot hold (only a caller-built one can be such).
PyObject* to_json_text(const quarl::Value& value) noexcept;

}  // namespace tessel
