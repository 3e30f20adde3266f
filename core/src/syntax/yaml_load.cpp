// The guarded YAML loader: libyaml's event parser feeding an explicit stack,
// so neither deep documents nor alias bombs can exhaust the C stack or memory.
#include <yaml.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <new>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "quarl/error.hpp"
#include "quarl/stack_guard.hpp"
#include "support/limits.hpp"
#include "support/teardown.hpp"
#include "support/utf8.hpp"
#include "syntax/yaml.hpp"
#include "values/number.hpp"

namespace quarl {
namespace {

using Kind = YamlNode::Kind;

constexpr std::string_view kNullTag = "tag:yaml.org,2002:null";
constexpr std::string_view kBoolTag = "tag:yaml.org,2002:bool";
constexpr std::string_view kIntTag = "tag:yaml.org,2002:int";
constexpr std::string_view kFloatTag = "tag:yaml.org,2002:float";

// ---- scalar resolution ------------------------------------------------------

bool is_null_text(std::string_view t) noexcept {
  return t.empty() || t == "~" || t == "null" || t == "Null" || t == "NULL";
}

std::optional<bool> bool_text(std::string_view t) noexcept {
  if (t == "true" || t == "True" || t == "TRUE") return true;
  if (t == "false" || t == "False" || t == "FALSE") return false;
  return std::nullopt;
}

int digit_value(char c) noexcept {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return 99;
}

// An optional sign and decimal digits, or `0x`, `0o`, `0b` and digits of that
// base right after the prefix.
std::optional<double> int_text(std::string_view t) noexcept {
  const bool negative = t.starts_with('-');
  if (negative || t.starts_with('+')) t.remove_prefix(1);
  int base = 10;
  if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'o' || t[1] == 'b')) {
    base = t[1] == 'x' ? 16 : t[1] == 'o' ? 8 : 2;
    t.remove_prefix(2);
  }
  if (t.empty()) return std::nullopt;
  for (const char c : t)
    if (digit_value(c) >= base) return std::nullopt;
  double value = 0;
  if (base == 10) {
    value = *read_double(t);  // correctly rounded for any number of digits
  } else {
    for (const char c : t) value = value * base + digit_value(c);
  }
  return negative ? -value : value;
}

bool all_digits(std::string_view t) noexcept {
  for (const char c : t)
    if (c < '0' || c > '9') return false;
  return true;
}

// The float forms of the YAML 1.2 core schema:
//   [-+]? ( \.[0-9]+ | [0-9]+ ( \.[0-9]* )? ) ( [eE] [-+]? [0-9]+ )?
//   [-+]? \.(inf|Inf|INF)     \.(nan|NaN|NAN)
std::optional<double> float_text(std::string_view t) noexcept {
  if (t == ".nan" || t == ".NaN" || t == ".NAN") return std::nan("");
  const bool negative = t.starts_with('-');
  std::string_view body = t;
  if (negative || t.starts_with('+')) body.remove_prefix(1);
  if (body == ".inf" || body == ".Inf" || body == ".INF") return negative ? -HUGE_VAL : HUGE_VAL;
  const std::size_t e = std::min(body.find_first_of("eE"), body.size());
  const std::string_view mantissa = body.substr(0, e);
  const std::size_t point = std::min(mantissa.find('.'), mantissa.size());
  const std::string_view whole = mantissa.substr(0, point);
  const std::string_view fraction = mantissa.substr(std::min(point + 1, mantissa.size()));
  const bool mantissa_ok = point == mantissa.size()
                               ? !whole.empty() && all_digits(whole)
                               : all_digits(whole) && all_digits(fraction) &&
                                     (!whole.empty() || !fraction.empty());
  if (!mantissa_ok) return std::nullopt;
  if (e < body.size()) {
    std::string_view exponent = body.substr(e + 1);
    if (exponent.starts_with('-') || exponent.starts_with('+')) exponent.remove_prefix(1);
    if (exponent.empty() || !all_digits(exponent)) return std::nullopt;
  }
  // from_chars reads this grammar once the '+' sign is gone.
  std::string digits(negative ? "-" : "");
  digits.append(body);
  return read_double(digits);
}

std::shared_ptr<YamlNode> scalar(Kind kind, std::string_view text) {
  auto node = std::make_shared<YamlNode>();
  node->kind = kind;
  node->text = text;
  return node;
}

std::shared_ptr<YamlNode> resolve_plain(std::string_view text) {
  if (is_null_text(text)) return scalar(Kind::Null, text);
  if (const auto flag = bool_text(text)) {
    auto node = scalar(Kind::Boolean, text);
    node->boolean = *flag;
    return node;
  }
  std::optional<double> number = int_text(text);
  if (!number) number = float_text(text);
  if (number) {
    auto node = scalar(Kind::Number, text);
    node->number = *number;
    return node;
  }
  return scalar(Kind::String, text);
}

// A scalar under one of the four standard tags, or null when it does not fit.
std::shared_ptr<YamlNode> resolve_tagged(std::string_view tag, std::string_view text) {
  if (tag == kNullTag) return is_null_text(text) ? scalar(Kind::Null, text) : nullptr;
  if (tag == kBoolTag) {
    const auto flag = bool_text(text);
    if (!flag) return nullptr;
    auto node = scalar(Kind::Boolean, text);
    node->boolean = *flag;
    return node;
  }
  std::optional<double> number = int_text(text);
  if (!number && tag == kFloatTag) number = float_text(text);
  if (!number) return nullptr;
  auto node = scalar(Kind::Number, text);
  node->number = *number;
  return node;
}

bool is_standard_tag(std::string_view tag) noexcept {
  return tag == kNullTag || tag == kBoolTag || tag == kIntTag || tag == kFloatTag;
}

// "!!int" for the standard tags, the tag itself otherwise.
std::string short_tag(std::string_view tag) {
  constexpr std::string_view prefix = "tag:yaml.org,2002:";
  if (tag.starts_with(prefix)) return "!!" + std::string(tag.substr(prefix.size()));
  return std::string(tag);
}

// An unambiguous identity of a mapping key, for duplicate detection: two keys
// are the same exactly when their identities are equal.
void append_identity(std::string& out, const YamlNode& node) {
  check_stack();
  out += static_cast<char>('0' + static_cast<int>(node.kind));
  switch (node.kind) {
    case Kind::Null:
      return;
    case Kind::Boolean:
      out += node.boolean ? '1' : '0';
      return;
    case Kind::Number: {
      const double n = node.number == 0 ? 0.0 : node.number;  // -0 and 0 are one key
      if (std::isnan(n)) {
        out += "nan";
        return;
      }
      char bytes[sizeof n];
      std::memcpy(bytes, &n, sizeof n);
      out.append(bytes, sizeof n);
      return;
    }
    case Kind::String:
    case Kind::Tagged:
      out += std::to_string(node.text.size()) + ':' + node.text;
      if (node.kind == Kind::Tagged) append_identity(out, *node.items.front());
      return;
    case Kind::Sequence:
      out += std::to_string(node.items.size()) + '[';
      for (const YamlPtr& item : node.items) append_identity(out, *item);
      return;
    case Kind::Mapping:
      out += std::to_string(node.entries.size()) + '{';
      for (const auto& [key, value] : node.entries) {
        append_identity(out, *key);
        append_identity(out, *value);
      }
      return;
  }
}

// Short text naming a key in a message.
std::string describe_key(const YamlNode& key) {
  if (key.kind == Kind::String || key.kind == Kind::Number || key.kind == Kind::Boolean ||
      key.kind == Kind::Null)
    return "\"" + key.text + "\"";
  return "of kind " + std::string(yaml_kind_name(key.kind));
}

// ---- libyaml owners ---------------------------------------------------------

class Parser {
 public:
  explicit Parser(std::string_view text) {
    if (!yaml_parser_initialize(&parser_)) throw std::bad_alloc();
    yaml_parser_set_input_string(&parser_, reinterpret_cast<const unsigned char*>(text.data()),
                                 text.size());
  }
  ~Parser() { yaml_parser_delete(&parser_); }
  Parser(const Parser&) = delete;
  Parser& operator=(const Parser&) = delete;

  yaml_parser_t* get() noexcept { return &parser_; }

 private:
  yaml_parser_t parser_;
};

class Event {
 public:
  Event() noexcept { std::memset(&event_, 0, sizeof event_); }
  ~Event() { yaml_event_delete(&event_); }
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  yaml_event_t* get() noexcept { return &event_; }
  const yaml_event_t& operator*() const noexcept { return event_; }

 private:
  yaml_event_t event_;
};

std::string_view text_of(const yaml_char_t* text) {
  return text ? std::string_view(reinterpret_cast<const char*>(text)) : std::string_view();
}

// ---- the loader -------------------------------------------------------------

class Loader {
 public:
  Loader(std::string_view text, std::size_t first_line) : text_(text), first_line_(first_line) {}

  YamlPtr run() {
    Parser parser(text_);
    for (;;) {
      Event event;
      if (!yaml_parser_parse(parser.get(), event.get())) fail_parse(*parser.get());
      if ((*event).type == YAML_STREAM_END_EVENT) return root_;
      handle(*event);
    }
  }

 private:
  struct Frame {
    std::shared_ptr<YamlNode> node;
    std::string anchor;
    std::string tag;
    std::size_t nodes_before;  // budget used before this node was started
    yaml_mark_t start;
    YamlPtr pending_key;
    std::unordered_set<std::string> keys;  // identities of the keys so far
  };
  struct Anchor {
    YamlPtr node;
    std::size_t cost;  // nodes paid for building it, paid again per alias
  };

  std::string where(const yaml_mark_t& mark) const {
    return " at line " + std::to_string(mark.line + first_line_) + ", column " +
           std::to_string(mark.column + 1);
  }

  [[noreturn]] void fail(const std::string& message, const yaml_mark_t& mark) const {
    throw Error::yaml(message + where(mark));
  }

  // The position of a byte offset: reader errors (bad encoding, control
  // characters) report only an offset.
  yaml_mark_t mark_at(std::size_t offset) const noexcept {
    yaml_mark_t mark{};
    const std::string_view before = text_.substr(0, std::min(offset, text_.size()));
    for (const char c : before) {
      if (c == '\n') {
        ++mark.line;
        mark.column = 0;
      } else if (!utf8::is_continuation(c)) {
        ++mark.column;
      }
    }
    return mark;
  }

  [[noreturn]] void fail_parse(const yaml_parser_t& parser) const {
    if (parser.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
    std::string message;
    if (parser.context) message = std::string(parser.context) + ", ";
    message += parser.problem ? parser.problem : "invalid YAML";
    fail(message, parser.error == YAML_READER_ERROR ? mark_at(parser.problem_offset)
                                                    : parser.problem_mark);
  }

  void charge(std::size_t nodes) {
    if (nodes > kMaxYamlNodes - used_)
      throw Error::resource_limit(
          exceeds_maximum("frontmatter YAML node count", kMaxYamlNodes, {},
                          " (anchors expanded by aliases count once per expansion)"));
    used_ += nodes;
  }

  void handle(const yaml_event_t& event) {
    switch (event.type) {
      case YAML_DOCUMENT_START_EVENT:
        if (++documents_ > 1)
          fail("expected a single document in the stream, but found another document",
               event.start_mark);
        return;
      case YAML_SCALAR_EVENT:
        return scalar_event(event);
      case YAML_SEQUENCE_START_EVENT:
        return open(event, Kind::Sequence, text_of(event.data.sequence_start.anchor),
                    text_of(event.data.sequence_start.tag));
      case YAML_MAPPING_START_EVENT:
        return open(event, Kind::Mapping, text_of(event.data.mapping_start.anchor),
                    text_of(event.data.mapping_start.tag));
      case YAML_SEQUENCE_END_EVENT:
      case YAML_MAPPING_END_EVENT:
        return close();
      case YAML_ALIAS_EVENT: {
        const std::string name(text_of(event.data.alias.anchor));
        const auto found = anchors_.find(name);
        if (found == anchors_.end()) fail("found undefined alias \"" + name + "\"", event.start_mark);
        charge(found->second.cost);
        return attach(found->second.node, event.start_mark);
      }
      default:
        return;  // stream and document boundaries carry nothing to build
    }
  }

  void scalar_event(const yaml_event_t& event) {
    charge(1);
    const auto& data = event.data.scalar;
    const std::string_view value(reinterpret_cast<const char*>(data.value), data.length);
    const std::string_view tag = text_of(data.tag);
    std::shared_ptr<YamlNode> node;
    if (is_standard_tag(tag)) {
      node = resolve_tagged(tag, value);
      if (!node)
        fail("cannot resolve \"" + std::string(value) + "\" as " + short_tag(tag),
             event.start_mark);
    } else {
      node = data.style == YAML_PLAIN_SCALAR_STYLE ? resolve_plain(value)
                                                   : scalar(Kind::String, value);
      if (!tag.empty()) node = tagged(tag, std::move(node));
    }
    finish(std::move(node), text_of(data.anchor), used_ - 1, event.start_mark);
  }

  void open(const yaml_event_t& event, Kind kind, std::string_view anchor, std::string_view tag) {
    if (stack_.size() == kMaxYamlNesting)
      throw Error::resource_limit(
          exceeds_maximum("frontmatter YAML nesting", kMaxYamlNesting, "depth"));
    if (is_standard_tag(tag))
      fail("cannot apply " + short_tag(tag) + " to a " +
               std::string(yaml_kind_name(kind)),
           event.start_mark);
    charge(1);
    auto node = std::make_shared<YamlNode>();
    node->kind = kind;
    stack_.push_back(Frame{std::move(node), std::string(anchor), std::string(tag), used_ - 1,
                           event.start_mark, nullptr, {}});
  }

  void close() {
    Frame frame = std::move(stack_.back());
    stack_.pop_back();
    std::shared_ptr<YamlNode> node = std::move(frame.node);
    if (!frame.tag.empty()) node = tagged(frame.tag, std::move(node));
    finish(std::move(node), frame.anchor, frame.nodes_before, frame.start);
  }

  static std::shared_ptr<YamlNode> tagged(std::string_view tag, YamlPtr inner) {
    auto node = std::make_shared<YamlNode>();
    node->kind = Kind::Tagged;
    node->text = tag;
    node->items.push_back(std::move(inner));
    return node;
  }

  // A node is complete: remember it under its anchor, and hand it to its parent.
  void finish(YamlPtr node, std::string_view anchor, std::size_t nodes_before,
              const yaml_mark_t& mark) {
    if (!anchor.empty()) anchors_[std::string(anchor)] = Anchor{node, used_ - nodes_before};
    attach(std::move(node), mark);
  }

  void attach(YamlPtr node, const yaml_mark_t& mark) {
    if (stack_.empty()) {
      root_ = std::move(node);
      return;
    }
    Frame& parent = stack_.back();
    if (parent.node->kind == Kind::Sequence) {
      parent.node->items.push_back(std::move(node));
      return;
    }
    if (!parent.pending_key) {
      std::string identity;
      append_identity(identity, *node);
      if (!parent.keys.insert(std::move(identity)).second)
        fail("found duplicate key " + describe_key(*node) + " in a mapping", mark);
      parent.pending_key = std::move(node);
      return;
    }
    parent.node->entries.emplace_back(std::move(parent.pending_key), std::move(node));
    parent.pending_key = nullptr;
  }

  std::string_view text_;
  std::size_t first_line_;
  std::size_t used_ = 0;
  int documents_ = 0;
  std::vector<Frame> stack_;
  std::unordered_map<std::string, Anchor> anchors_;
  YamlPtr root_;
};

// Counts raw brackets, quoting and comments ignored.
void check_flow_nesting(std::string_view text) {
  std::size_t depth = 0;
  for (const char c : text) {
    if (c == '[' || c == '{') {
      if (++depth > kMaxFlowNesting)
        throw Error::resource_limit(
            exceeds_maximum("frontmatter YAML flow nesting", kMaxFlowNesting, "depth"));
    } else if ((c == ']' || c == '}') && depth > 0) {
      --depth;
    }
  }
}

}  // namespace

std::string_view yaml_kind_name(YamlNode::Kind kind) noexcept {
  switch (kind) {
    case Kind::Null:
      return "null";
    case Kind::Boolean:
      return "boolean";
    case Kind::Number:
      return "integer/float";
    case Kind::String:
      return "string";
    case Kind::Sequence:
      return "sequence";
    case Kind::Mapping:
      return "mapping";
    case Kind::Tagged:
      return "tagged";
  }
  return "null";
}

YamlNode::~YamlNode() {
  for (YamlPtr& item : items) release_if_last(item);
  for (auto& [key, value] : entries) {
    release_if_last(key);
    release_if_last(value);
  }
}

bool operator==(const YamlNode& a, const YamlNode& b) noexcept {
  if (a.kind != b.kind) return false;
  const auto same = [](const YamlPtr& x, const YamlPtr& y) { return x == y || *x == *y; };
  switch (a.kind) {
    case Kind::Null:
      return true;
    case Kind::Boolean:
      return a.boolean == b.boolean;
    case Kind::Number:
      return a.number == b.number || (std::isnan(a.number) && std::isnan(b.number));
    case Kind::String:
      return a.text == b.text;
    case Kind::Tagged:
    case Kind::Sequence:
      return (a.kind == Kind::Sequence || a.text == b.text) &&
             std::equal(a.items.begin(), a.items.end(), b.items.begin(), b.items.end(), same);
    case Kind::Mapping:
      return std::equal(a.entries.begin(), a.entries.end(), b.entries.begin(), b.entries.end(),
                        [&](const auto& x, const auto& y) {
                          return same(x.first, y.first) && same(x.second, y.second);
                        });
  }
  return false;
}

YamlNode::Kind plain_scalar_kind(std::string_view text) { return resolve_plain(text)->kind; }

YamlPtr load_yaml(std::string_view text, std::size_t first_line) {
  if (text.size() > kMaxFrontmatterBytes)
    throw Error::resource_limit("frontmatter too large (" + std::to_string(text.size()) +
                                " bytes, max " + std::to_string(kMaxFrontmatterBytes) + " bytes)");
  check_flow_nesting(text);
  return Loader(text, first_line).run();
}

}  // namespace quarl
