// YAML documents for frontmatter: a guarded loader over libyaml's event API
// (size, flow nesting and node budgets; scalar resolution; duplicate keys;
// one document) and an emitter that writes a document tree back as text.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "support/limits.hpp"

namespace quarl {

struct YamlNode;
// Built nodes never change, so an alias shares its anchored node instead of
// copying it (it is still paid for again in the node budget).
using YamlPtr = std::shared_ptr<const YamlNode>;

struct YamlNode {
  enum class Kind : std::uint8_t { Null, Boolean, Number, String, Sequence, Mapping, Tagged };

  YamlNode() = default;
  explicit YamlNode(Kind kind_) noexcept : kind(kind_) {}
  YamlNode(const YamlNode&) = default;
  YamlNode(YamlNode&&) noexcept = default;
  YamlNode& operator=(const YamlNode&) = default;
  YamlNode& operator=(YamlNode&&) noexcept = default;
  // Children it holds the last reference to are destroyed iteratively, so a
  // document nested thousands deep tears down in constant stack.
  ~YamlNode();

  Kind kind = Kind::Null;
  // Scalars: the text as written (a string's value; a number's digits, kept
  // so that emitting it writes the same spelling). Tagged: the tag.
  std::string text;
  bool boolean = false;
  double number = 0;  // integers and floats alike
  std::vector<YamlPtr> items;                        // Sequence elements; Tagged: its one node
  std::vector<std::pair<YamlPtr, YamlPtr>> entries;  // Mapping, in document order

  // Structural equality; numbers by value, NaN equal to NaN.
  friend bool operator==(const YamlNode& a, const YamlNode& b) noexcept;
};

// The kind as messages name it: "null", "boolean", "integer/float", "string",
// "sequence", "mapping", "tagged".
std::string_view yaml_kind_name(YamlNode::Kind kind) noexcept;

// Loads one YAML document under the limits above; null for a text holding no
// document at all. Positions in messages count lines from `first_line` (the
// line of the module the text starts on). Throws `quarl::resource_limit` for a
// broken limit and `quarl::yaml` for malformed YAML, a duplicate mapping key,
// an undefined alias, a second document, or a value that does not fit a
// standard tag.
YamlPtr load_yaml(std::string_view text, std::size_t first_line = 1);

// The kind an unquoted, untagged scalar with this text resolves to.
YamlNode::Kind plain_scalar_kind(std::string_view text);

// Writes a node as a YAML document in block style, without document markers,
// ending with a line feed. Loading the result gives back an equal node.
std::string emit_yaml(const YamlNode& node);

}  // namespace quarl
