// Canonical JSON text written straight into a buffer: each object's members
// written in the order of their keys (the writer checks it in debug
// builds), strings as the canonical writer writes them. The index is many
// small objects that nothing reads in C++, so it is written as text rather
// than built as values and then serialised.
#pragma once

#include <algorithm>
#include <cassert>
#include <charconv>
#include <cstddef>
#include <string>
#include <string_view>

#include "api/json_string.hpp"

namespace quarl::json {

// A string as JSON: most names need no escape and are copied as they are.
inline void append_string(std::string& out, std::string_view text) {
  const bool plain = std::none_of(text.begin(), text.end(), [](char c) {
    return c == '"' || c == '\\' || static_cast<unsigned char>(c) < 0x20;
  });
  if (!plain) return append_json_string(out, text);
  out += '"';
  out += text;
  out += '"';
}

inline void append_number(std::string& out, std::size_t n) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, n).ptr;
  out.append(digits, end);
}

// One object, from construction to destruction; its members are added in
// the order of their keys.
class Object {
 public:
  explicit Object(std::string& out) : out_(out) { out_ += '{'; }
  ~Object() { out_ += '}'; }
  Object(const Object&) = delete;
  Object& operator=(const Object&) = delete;

  // The member `name`; its value is written next, into the returned buffer.
  std::string& key(std::string_view name) {
    assert(last_.empty() || last_ < name);
    if (!last_.empty()) out_ += ',';
    last_ = name;
    out_ += '"';
    out_ += name;
    out_ += "\":";
    return out_;
  }
  void number(std::string_view name, std::size_t n) { append_number(key(name), n); }
  void string(std::string_view name, std::string_view text) { append_string(key(name), text); }
  void raw(std::string_view name, std::string_view json) { key(name) += json; }
  void boolean(std::string_view name, bool flag) { key(name) += flag ? "true" : "false"; }
  void null(std::string_view name) { key(name) += "null"; }

 private:
  std::string& out_;
  std::string_view last_;
};

// The elements of an array, written one after the other as "[a,b,...]".
class List {
 public:
  // Where the next element is written.
  std::string& next() {
    text_ += text_.empty() ? '[' : ',';
    return text_;
  }
  // The array's text.
  std::string take() && { return text_.empty() ? std::string("[]") : std::move(text_) + ']'; }

 private:
  std::string text_;
};

}  // namespace quarl::json
