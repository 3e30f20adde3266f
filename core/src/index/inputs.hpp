// The caller's variables a template reads, inferred from how it uses them:
// a tree of paths ("customer.name", "tickets[].title") with the types each
// may hold, how it is used and where it is first used. Functions are
// followed: an input passed as an argument is used as the body uses the
// parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "modules/module.hpp"
#include "quarl/value.hpp"

namespace quarl {

// JSON types, as bits of a set.
inline constexpr std::uint8_t kString = 1;
inline constexpr std::uint8_t kNumber = 2;
inline constexpr std::uint8_t kBoolean = 4;
inline constexpr std::uint8_t kNull = 8;
inline constexpr std::uint8_t kArray = 16;
inline constexpr std::uint8_t kObject = 32;
inline constexpr std::uint8_t kAnyType = 63;
inline constexpr std::uint8_t kScalar = kString | kNumber | kBoolean | kNull;

inline constexpr std::size_t kNoInput = static_cast<std::size_t>(-1);

struct InputNode {
  std::string name;  // a variable or field name; "[]" an array's elements, "{}" an object's values
  std::string path;  // "tickets[].title"
  std::uint8_t types = kAnyType;
  std::vector<std::string> uses;  // in the order first seen, each once
  bool required = false;          // read on every render (not only under a condition)
  const Module* module = nullptr;  // where it is first used
  std::size_t offset = 0;
  std::size_t length = 0;
  std::size_t parent = kNoInput;
  std::size_t depth = 0;  // 0 for a root
  std::vector<std::size_t> children;
};

struct InputTree {
  std::vector<InputNode> nodes;  // the roots are those without a parent, in order of first use
  std::vector<std::size_t> roots;
};

// The inputs of `entry` (loaded and linked): the names its render and the
// functions it calls read that neither the template nor an import binds.
// `template_names`: the variables the chain's frontmatter and its imports
// bind (not inputs).
InputTree infer_inputs(const Module& entry, const std::unordered_set<std::string_view>& template_names);

// The canonical JSON text: [{"name", "path", "types", "uses", "required",
// "module", "offset", "length", "line", "column", "children"}], types as
// JSON names.
std::string inputs_text(const InputTree& tree);

// "string", "number", ..., or "any": the names of a type set.
std::vector<std::string_view> type_names(std::uint8_t types);

}  // namespace quarl
