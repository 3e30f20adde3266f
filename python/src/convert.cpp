#include "convert.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <new>
#include <span>
#include <stdexcept>
#include <vector>

#include "errors.hpp"
#include "py_ref.hpp"
#include "quarl/error.hpp"
#include "quarl/result.hpp"
#include "quarl/stack_guard.hpp"

namespace tessel {
namespace {

// Nesting beyond the interpreter's recursion limit is refused by
// Py_EnterRecursiveCall; this bound also holds when the limit is raised far
// beyond what the C stack can take.
constexpr int kMaxConversionDepth = 2000;


class Converter {
 public:
  Converter(ConvertedValues& into, std::string& error) : into_(into), arena_(into.arena()), error_(error) {}

  std::optional<quarl::Value> convert(PyObject* object, int depth) {
    // The exact scalar types first: most values are these, and telling them
    // apart takes a comparison each. Containers and other types take a
    // function of their own, so that a scalar's call stays small.
    quarl::Value value;
    switch (scalar(object, value)) {
      case Scalar::Done: return value;
      case Scalar::Failed: return std::nullopt;
      case Scalar::Other: break;
    }
    return composite(object, depth);
  }

  // The failure's message, once it has unwound, for a failure that names its
  // place: the value at `items[3].data`, as the caller would index it.
  void describe_place() {
    if (locating_ == Locating::No) return;
    std::string place;
    for (auto segment = path_.rbegin(); segment != path_.rend(); ++segment) place += *segment;
    if (place.starts_with('.')) place.erase(0, 1);
    if (locating_ == Locating::After) {
      if (!place.empty()) error_ += " at " + place;
      return;
    }
    error_ = (place.empty() ? std::string("an integer") : "the integer at " + place) +
             " cannot be held exactly by a number (integers are exact up to 2**53); pass it as a string";
  }

 private:
  // Whether converting `object` runs no Python code: then nothing can change
  // or free what is being read meanwhile.
  static bool is_plain_scalar(PyObject* object) noexcept {
    PyTypeObject* const type = Py_TYPE(object);
    return type == &PyUnicode_Type || type == &PyLong_Type || type == &PyBool_Type ||
           type == &PyFloat_Type || object == Py_None;
  }

  enum class Scalar : std::uint8_t { Done, Failed, Other };

  // Writes the value of an object of one of the exact scalar types to
  // `value` (Done), or records why it cannot be converted (Failed); Other
  // for any other object. Written in place: records are mostly scalars.
  Scalar scalar(PyObject* object, quarl::Value& value) {
    PyTypeObject* const type = Py_TYPE(object);
    if (type == &PyUnicode_Type) {
      const std::optional<std::string_view> text = text_of(object);
      if (!text) return Scalar::Failed;
      value = quarl::Value::borrowed(*text);
    } else if (type == &PyLong_Type) {
      std::optional<quarl::Value> whole = number(object);
      if (!whole) return Scalar::Failed;
      value = std::move(*whole);
    } else if (type == &PyBool_Type) {
      value = quarl::Value::boolean(object == Py_True);
    } else if (type == &PyFloat_Type) {
      value = quarl::Value::number(PyFloat_AsDouble(object));
    } else if (object == Py_None) {
      value = quarl::Value::null();
    } else {
      return Scalar::Other;
    }
    return Scalar::Done;
  }

  [[gnu::noinline]] std::optional<quarl::Value> composite(PyObject* object, int depth) {
    if (Py_TYPE(object) == &PyDict_Type) return dict(object, depth);
    if (Py_TYPE(object) == &PyList_Type || Py_TYPE(object) == &PyTuple_Type) return container(object, depth);
    return any(object, depth);
  }

  // An int converts when a double holds it exactly; any other fails, naming
  // where it was: a number would render other digits than the caller gave
  // (an ID of 19 digits, say), which nobody would notice.
  std::optional<quarl::Value> number(PyObject* object) {
    int overflow = 0;
    const long long whole = PyLong_AsLongLongAndOverflow(object, &overflow);
    if (overflow == 0) {
      if (whole == -1 && PyErr_Occurred()) return failed_with_exception();
      constexpr long long kAlwaysExact = 1LL << 53;
      const double number = static_cast<double>(whole);
      if ((whole >= -kAlwaysExact && whole <= kAlwaysExact) ||
          (number < 9223372036854775808.0 && static_cast<long long>(number) == whole))
        return quarl::Value::number(number);
      return inexact_integer();
    }
    return wide_number(object);
  }

  // An int beyond 64 bits: exact only when the double converts back to the
  // same int.
  [[gnu::noinline]] std::optional<quarl::Value> wide_number(PyObject* object) {
    const double number = PyLong_AsDouble(object);
    if (number == -1.0 && PyErr_Occurred()) {
      if (!PyErr_ExceptionMatches(PyExc_OverflowError)) return failed_with_exception();
      PyErr_Clear();
      return inexact_integer();
    }
    const PyRef back = PyRef::steal(PyLong_FromDouble(number));
    const int same = back ? PyObject_RichCompareBool(object, back.get(), Py_EQ) : -1;
    if (same < 0) return failed_with_exception();
    return same ? std::optional(quarl::Value::number(number)) : inexact_integer();
  }

  std::optional<quarl::Value> inexact_integer() {
    locating_ = Locating::Integer;
    return std::nullopt;
  }

  // A failure whose message ends with where the value was.
  std::optional<quarl::Value> failed_at(std::string message) {
    error_ = std::move(message);
    locating_ = Locating::After;
    return std::nullopt;
  }

  // While a failure that names its place unwinds: the key or index it passed.
  void passed_key(std::string_view key) {
    if (locating_ == Locating::No) return;
    const bool plain = !key.empty() && std::all_of(key.begin(), key.end(), [](char c) {
      return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_';
    });
    std::string segment = plain ? "." + std::string(key) : "[\"";
    if (!plain) {
      for (const char c : key) {
        if (c == '"' || c == '\\') segment += '\\';
        segment += c;
      }
      segment += "\"]";
    }
    path_.push_back(std::move(segment));
  }
  void passed_index(std::size_t index) {
    if (locating_ != Locating::No) path_.push_back("[" + std::to_string(index) + "]");
  }

  // Any object, subclasses of the built-in types included.
  std::optional<quarl::Value> any(PyObject* object, int depth) {
    if (PyUnicode_Check(object)) return string(object);
    if (PyBool_Check(object)) return quarl::Value::boolean(object == Py_True);
    if (PyLong_Check(object)) return number(object);
    if (PyFloat_Check(object)) return quarl::Value::number(PyFloat_AsDouble(object));
    if (PyBytes_Check(object) || PyByteArray_Check(object)) return unsupported(object);
    return container(object, depth);
  }

  // Runs `convert_items` for a container at `depth`, whose items are one
  // level deeper: refused when that is too deep for the limit, the stack or
  // the interpreter's recursion limit.
  template <class ConvertItems>
  std::optional<quarl::Value> nested(int depth, ConvertItems&& convert_items) {
    if (depth >= kMaxConversionDepth) {
      error_ = "nesting is deeper than " + std::to_string(kMaxConversionDepth) + " levels";
      return std::nullopt;
    }
    if (stack_.exhausted()) {
      error_ = "nesting exceeds the available stack space";
      return std::nullopt;
    }
    if (Py_EnterRecursiveCall(" while converting a value")) return failed_with_exception();
    std::optional<quarl::Value> value = convert_items();
    Py_LeaveRecursiveCall();
    return value;
  }

  std::optional<quarl::Value> container(PyObject* object, int depth) {
    return nested(depth, [&] { return items(object, depth); });
  }

  std::optional<quarl::Value> items(PyObject* object, int depth) {
    std::optional<quarl::Value> value;
    if (PyDict_Check(object))
      value = entries(object, depth, arena_.members(static_cast<std::size_t>(PyDict_Size(object))));
    else if (PyList_Check(object))
      value = list(object, depth);
    else if (PyTuple_Check(object))
      value = tuple(object, depth);
    else if (PyMapping_Check(object) && PyObject_HasAttrString(object, "keys"))
      value = mapping(object, depth);
    else if (PySequence_Check(object))
      value = sequence(object, depth);
    else
      value = unsupported(object);
    return value;
  }

  std::optional<quarl::Value> unsupported(PyObject* object) {
    return failed_at("unsupported type '" + type_name(object) + "'");
  }

  // A Python exception (raised by the object's own methods, a recursion
  // error, a decoding error) ends the conversion and stays set until
  // to_value turns it into the error (a MemoryError stays set).
  std::optional<quarl::Value> failed_with_exception() { return std::nullopt; }

  // A str's text, borrowed from the str, which is immutable and held until
  // the values go: holding it costs less than copying even a short text.
  std::optional<std::string_view> text_of(PyObject* str) {
    const std::optional<std::string_view> text = utf8_of(str);
    if (!text) return std::nullopt;
    if (text->size() > quarl::kMaxValueSize) [[unlikely]]
      return too_long(text->size());
    into_.hold(str);
    return text;
  }

  [[gnu::noinline]] std::optional<std::string_view> too_long(std::size_t size) {
    error_ = "string of " + std::to_string(size) + " bytes exceeds the maximum of " +
             std::to_string(quarl::kMaxValueSize);
    return std::nullopt;
  }

  std::optional<quarl::Value> string(PyObject* object) {
    const std::optional<std::string_view> text = text_of(object);
    if (!text) return std::nullopt;
    return quarl::Value::borrowed(*text);
  }

  // One key and value of a mapping, written to `member`.
  bool entry(PyObject* key, PyObject* item, int depth, quarl::Member& member) {
    if (!PyUnicode_Check(key)) {
      failed_at("mapping keys must be str, not " + type_name(key));
      return false;
    }
    const std::optional<std::string_view> text = text_of(key);
    if (!text) return false;
    std::optional<quarl::Value> value = convert(item, depth + 1);
    if (!value) {
      passed_key(*text);
      return false;
    }
    member.first = *text;
    member.second = std::move(*value);
    return true;
  }

  // Converting a value may run Python code (a custom sequence's methods, or
  // another thread while that code runs) that changes the dict being walked;
  // as Python's own iteration does, a change of size ends the conversion,
  // which could otherwise go on for as long as the dict keeps growing.
  bool unchanged(PyObject* dict, Py_ssize_t size) {
    if (PyDict_Size(dict) == size) return true;
    error_ = "dictionary changed size during conversion";
    return false;
  }

  // A dict: a record of the last record's keys (which holds only scalars,
  // so nothing nests and no Python code runs) at once; any other entry by
  // entry, in `members`, one level deeper.
  std::optional<quarl::Value> dict(PyObject* object, int depth) {
    const Py_ssize_t size = PyDict_Size(object);
    const std::span<quarl::Member> members = arena_.members(static_cast<std::size_t>(size));
    switch (shape_.fill(object, size, members, *this)) {
      case Shape::Fill::Done: return arena_.sorted_object(members);
      case Shape::Fill::Failed: return std::nullopt;
      case Shape::Fill::Misfit: break;
    }
    return nested(depth, [&] { return entries(object, depth, members); });
  }

  // The entries of a dict of `members.size()` entries into `members`.
  std::optional<quarl::Value> entries(PyObject* object, int depth, std::span<quarl::Member> members) {
    const auto size = static_cast<Py_ssize_t>(members.size());
    Py_ssize_t position = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    std::size_t count = 0;
    bool record = size <= static_cast<Py_ssize_t>(Shape::kMaxKeys);  // plain str keys and scalars
    while (PyDict_Next(object, &position, &key, &item)) {
      if (count == members.size()) {  // more entries than it had: it changed
        error_ = "dictionary changed size during conversion";
        return std::nullopt;
      }
      if (is_plain_scalar(item)) {
        record = record && Py_TYPE(key) == &PyUnicode_Type;
        if (!entry(key, item, depth, members[count++])) return std::nullopt;
        continue;
      }
      record = false;
      // Hold the pair: converting the value may run code that changes the dict.
      const PyRef held_key = PyRef::borrow(key);
      const PyRef held_item = PyRef::borrow(item);
      if (!entry(key, item, depth, members[count++]) || !unchanged(object, size)) return std::nullopt;
    }
    if (record && count > 0) shape_.remember(object, members.first(count));
    return arena_.object(members.first(count));
  }

  // The keys of the last record converted (a dict of a few str keys and
  // scalar values) and their order: records of one kind share their key
  // objects, in one order, and the next record with the same keys (the same
  // objects, in the same order) takes their text and order from here, with
  // no reading or sorting of keys. The key objects are held, so that their
  // identity stands for their text.
  class Shape {
   public:
    static constexpr std::size_t kMaxKeys = 16;

    enum class Fill : std::uint8_t { Done, Misfit, Failed };

    // Converts the values of `dict` into `members`, in key order, when it has
    // the remembered keys in their order, all with scalar values: Misfit as
    // soon as it has not (what was written is then to be overwritten), Failed
    // when a value fails to convert. Converting scalars runs no Python code:
    // the dict cannot change meanwhile.
    Fill fill(PyObject* dict, Py_ssize_t size, std::span<quarl::Member> members, Converter& converter) {
      if (size == 0 || static_cast<std::size_t>(size) != count_) return Fill::Misfit;
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* item = nullptr;
      // Exactly `count_` entries: the size matched, and nothing can change it.
      // The values are all found first, so that reading their types (each a
      // different object, likely not in cache) overlaps.
      std::array<PyObject*, kMaxKeys> items;
      for (std::size_t i = 0; i < count_; ++i) {
        if (!PyDict_Next(dict, &position, &key, &item) || key != keys_[i].get()) return Fill::Misfit;
        items[i] = item;
      }
      for (std::size_t i = 0; i < count_; ++i)
        if (!is_plain_scalar(items[i])) return Fill::Misfit;
      for (std::size_t i = 0; i < count_; ++i) {
        quarl::Member& member = members[slots_[i]];
        member.first = texts_[i];
        if (converter.scalar(items[i], member.second) != Scalar::Done) {
          converter.passed_key(texts_[i]);
          return Fill::Failed;
        }
      }
      return Fill::Done;
    }

    // Remembers the keys of `dict`, whose members (in dict order) were just read.
    void remember(PyObject* dict, std::span<const quarl::Member> members) {
      count_ = 0;
      Py_ssize_t position = 0;
      PyObject* key = nullptr;
      PyObject* item = nullptr;
      std::array<std::uint8_t, kMaxKeys> order{};
      for (std::size_t i = 0; PyDict_Next(dict, &position, &key, &item) && i < members.size(); ++i) {
        keys_[i] = PyRef::borrow(key);
        texts_[i] = members[i].first;
        order[i] = static_cast<std::uint8_t>(i);
      }
      std::sort(order.begin(), order.begin() + static_cast<std::ptrdiff_t>(members.size()),
                [&](std::uint8_t a, std::uint8_t b) { return quarl::KeyLess{}(texts_[a], texts_[b]); });
      for (std::size_t k = 0; k < members.size(); ++k) slots_[order[k]] = static_cast<std::uint8_t>(k);
      count_ = members.size();
    }

   private:
    std::size_t count_ = 0;
    std::array<PyRef, kMaxKeys> keys_;
    std::array<std::string_view, kMaxKeys> texts_;
    std::array<std::uint8_t, kMaxKeys> slots_{};
  };

  std::optional<quarl::Value> mapping(PyObject* object, int depth) {
    const PyRef items = PyRef::steal(PyMapping_Items(object));
    if (!items) return failed_to_materialize(object);
    const Py_ssize_t count = PyList_Size(items.get());
    const std::span<quarl::Member> members = arena_.members(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      PyObject* pair = PyList_GetItem(items.get(), i);
      if (!PyTuple_Check(pair) || PyTuple_Size(pair) != 2) {
        error_ = "mapping items must be (key, value) pairs";
        return std::nullopt;
      }
      if (!entry(PyTuple_GetItem(pair, 0), PyTuple_GetItem(pair, 1), depth,
                 members[static_cast<std::size_t>(i)]))
        return std::nullopt;
    }
    return arena_.object(members);
  }

  // A list is read in place, each element held while it converts, up to the
  // length it had when its conversion began: code that runs meanwhile may
  // shrink it (then the conversion stops early) or grow it (the new elements
  // are not read), but cannot keep the conversion going.
  std::optional<quarl::Value> list(PyObject* object, int depth) {
    const Py_ssize_t size = PyList_Size(object);
    const std::span<quarl::Value> elements = arena_.elements(static_cast<std::size_t>(size));
    std::size_t count = 0;
    for (Py_ssize_t i = 0; i < size && i < PyList_Size(object); ++i) {
      PyObject* const item = PyList_GetItem(object, i);
      const PyRef element = is_plain_scalar(item) ? PyRef() : PyRef::borrow(item);
      std::optional<quarl::Value> value = convert(item, depth + 1);
      if (!value) {
        passed_index(static_cast<std::size_t>(i));
        return std::nullopt;
      }
      elements[count++] = std::move(*value);
    }
    return arena_.array(elements.first(count));
  }

  std::optional<quarl::Value> tuple(PyObject* object, int depth) {
    const Py_ssize_t count = PyTuple_Size(object);
    const std::span<quarl::Value> elements = arena_.elements(static_cast<std::size_t>(count));
    for (Py_ssize_t i = 0; i < count; ++i) {
      std::optional<quarl::Value> value = convert(PyTuple_GetItem(object, i), depth + 1);
      if (!value) {
        passed_index(static_cast<std::size_t>(i));
        return std::nullopt;
      }
      elements[static_cast<std::size_t>(i)] = std::move(*value);
    }
    return arena_.array(elements);
  }

  std::optional<quarl::Value> sequence(PyObject* object, int depth) {
    const PyRef items = PyRef::steal(PySequence_List(object));
    if (!items) return failed_to_materialize(object);
    return list(items.get(), depth);
  }

  // A sequence or mapping that is not a list, tuple or dict is read into a
  // list first. A MemoryError there comes from what the object reports (a
  // range of 10**18 numbers, say), not from the conversion: it is the
  // argument's error.
  std::optional<quarl::Value> failed_to_materialize(PyObject* object) {
    if (!PyErr_ExceptionMatches(PyExc_MemoryError)) return failed_with_exception();
    PyErr_Clear();
    error_ = "'" + type_name(object) + "' object is too large to convert";
    const Py_ssize_t size = PyObject_Size(object);
    if (size >= 0)
      error_ += " (" + std::to_string(size) + " items)";
    else
      PyErr_Clear();
    return std::nullopt;
  }

  ConvertedValues& into_;
  quarl::ValueArena& arena_;
  std::string& error_;
  quarl::StackGuard stack_;
  Shape shape_;
  // How the failure names its place, if it does: an inexact integer's own
  // wording, or " at {place}" after the message.
  enum class Locating : std::uint8_t { No, Integer, After };
  Locating locating_ = Locating::No;
  std::vector<std::string> path_;  // where it was, innermost first
};

}  // namespace

std::optional<quarl::Value> to_value(PyObject* object, ConvertedValues& into, std::string& error) noexcept {
  try {
    Converter converter(into, error);
    std::optional<quarl::Value> value = converter.convert(object, 0);
    if (!value) converter.describe_place();
    // A pending exception is read once the conversion has unwound: deep
    // inside it, reading a RecursionError's text can fail on the same limit.
    if (!value && error.empty() && PyErr_Occurred() && !PyErr_ExceptionMatches(PyExc_MemoryError))
      error = take_exception_text("conversion failed");
    return value;
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return std::nullopt;
  }
}

std::optional<quarl::Value> to_value(PyObject* object, std::string& error) noexcept {
  ConvertedValues converted;
  std::optional<quarl::Value> value = to_value(object, converted, error);
  if (!value) return std::nullopt;
  try {
    return quarl::to_shared(*value);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const quarl::Error&) {  // the only one: out of stack
    error = "nesting exceeds the available stack space";
  }
  return std::nullopt;
}

PyObject* to_python(std::string_view text) noexcept {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), nullptr);
}

namespace {

// Containers nest: each level checks that the stack has room for the next.
bool stack_has_room() noexcept {
  if (!quarl::StackGuard().exhausted()) return true;
  PyErr_SetString(PyExc_RecursionError, "value nesting exceeds the available stack space");
  return false;
}

}  // namespace

PyObject* to_python(const quarl::Value& value) noexcept {
  switch (value.kind()) {
    case quarl::ValueKind::String:
      return to_python(std::string_view(value.as_string()));
    case quarl::ValueKind::Number: {
      const double number = value.as_number();
      if (number == std::trunc(number) && std::abs(number) < 9223372036854775808.0)
        return PyLong_FromLongLong(static_cast<long long>(number));
      return PyFloat_FromDouble(number);
    }
    case quarl::ValueKind::Boolean:
      return PyBool_FromLong(value.as_boolean());
    case quarl::ValueKind::Null:
      Py_RETURN_NONE;
    case quarl::ValueKind::Array: {
      if (!stack_has_room()) return nullptr;
      const std::span<const quarl::Value> elements = value.as_array();
      return new_list(elements.size(), [&](std::size_t i) { return to_python(elements[i]); });
    }
    case quarl::ValueKind::Object: {
      if (!stack_has_room()) return nullptr;
      PyRef dict = PyRef::steal(PyDict_New());
      if (!dict) return nullptr;
      for (const auto& [key, member] : value.as_object()) {
        const PyRef item = PyRef::steal(to_python(member));
        const PyRef name = PyRef::steal(to_python(std::string_view(key)));
        if (!item || !name || PyDict_SetItem(dict.get(), name.get(), item.get()) < 0)
          return nullptr;
      }
      return dict.release();
    }
  }
  Py_RETURN_NONE;
}

PyObject* to_python(const std::vector<std::string>& texts) noexcept {
  return new_list(texts.size(), [&](std::size_t i) { return to_python(std::string_view(texts[i])); });
}

std::optional<std::string_view> utf8_of(PyObject* str) noexcept {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(str, &size);
  if (!text) return std::nullopt;
  return std::string_view(text, static_cast<std::size_t>(size));
}

std::string type_name(PyObject* object) {
  const PyRef name = PyRef::steal(PyType_GetName(Py_TYPE(object)));
  const std::optional<std::string_view> text = name ? utf8_of(name.get()) : std::nullopt;
  if (!text) {
    PyErr_Clear();
    return "?";
  }
  return std::string(*text);
}

const quarl::Value* member(const quarl::Value& object, std::string_view key) noexcept {
  if (object.kind() != quarl::ValueKind::Object) return nullptr;
  const auto found = object.as_object().find(key);
  return found == object.as_object().end() ? nullptr : &found->second;
}

PyObject* to_json_text(const quarl::Value& value) noexcept {
  try {
    // Every value a record holds is checked text: it came from a str, or
    // from a result the record checked when it was made.
    return to_python(quarl::canonical_text(value, true));
  } catch (const std::invalid_argument& error) {
    PyErr_SetString(PyExc_ValueError, error.what());
    return nullptr;
  } catch (const quarl::Error&) {  // the only one: out of stack
    PyErr_SetString(PyExc_RecursionError, "value nesting exceeds the available stack space");
    return nullptr;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  }
}

}  // namespace tessel
