// Writing a YAML document tree back as text with libyaml's emitter.
#include <yaml.h>

#include <cstring>
#include <new>
#include <string>

#include "quarl/error.hpp"
#include "quarl/stack_guard.hpp"
#include "syntax/yaml.hpp"

namespace quarl {
namespace {

using Kind = YamlNode::Kind;

// Whether a string must be quoted so that loading it gives a string again: the
// same spelling unquoted would read as null, a boolean or a number. (Where
// plain text is not allowed at all, the emitter quotes it by itself.)
bool needs_quotes(const YamlNode& node) { return plain_scalar_kind(node.text) != Kind::String; }

class Emitter {
 public:
  explicit Emitter(std::string& out) : out_(out) {
    if (!yaml_emitter_initialize(&emitter_)) throw std::bad_alloc();
    yaml_emitter_set_output(&emitter_, &Emitter::write, this);
    yaml_emitter_set_unicode(&emitter_, 1);
    yaml_emitter_set_width(&emitter_, -1);  // never fold long lines
    yaml_emitter_set_indent(&emitter_, 2);
  }
  ~Emitter() { yaml_emitter_delete(&emitter_); }
  Emitter(const Emitter&) = delete;
  Emitter& operator=(const Emitter&) = delete;

  void document(const YamlNode& root) {
    yaml_event_t event;
    yaml_stream_start_event_initialize(&event, YAML_UTF8_ENCODING);
    emit(event);
    yaml_document_start_event_initialize(&event, nullptr, nullptr, nullptr, 1);
    emit(event);
    node(root, nullptr);
    yaml_document_end_event_initialize(&event, 1);
    emit(event);
    yaml_stream_end_event_initialize(&event);
    emit(event);
  }

 private:
  static int write(void* self, unsigned char* buffer, size_t size) noexcept {
    try {
      static_cast<Emitter*>(self)->out_.append(reinterpret_cast<const char*>(buffer), size);
      return 1;
    } catch (const std::bad_alloc&) {
      static_cast<Emitter*>(self)->out_of_memory_ = true;
      return 0;
    }
  }

  // Hands one event to the emitter, which takes it over (and frees it).
  void emit(yaml_event_t& event) {
    if (yaml_emitter_emit(&emitter_, &event)) return;
    if (out_of_memory_ || emitter_.error == YAML_MEMORY_ERROR) throw std::bad_alloc();
    throw Error::yaml(emitter_.problem ? emitter_.problem : "cannot write YAML");
  }

  static yaml_char_t* chars(const std::string& text) {
    return reinterpret_cast<yaml_char_t*>(const_cast<char*>(text.c_str()));
  }

  void scalar(const std::string& value, yaml_char_t* tag, yaml_scalar_style_t style) {
    yaml_event_t event;
    const int implicit = tag ? 0 : 1;
    if (!yaml_scalar_event_initialize(&event, nullptr, tag, chars(value),
                                      static_cast<int>(value.size()), implicit, implicit, style))
      throw std::bad_alloc();
    emit(event);
  }

  // Writes `n`, under `tag` when it is the inner node of a tagged node.
  void node(const YamlNode& n, yaml_char_t* tag) {
    check_stack();
    const int implicit = tag ? 0 : 1;
    yaml_event_t event;
    switch (n.kind) {
      case Kind::Null:
        return scalar(n.text.empty() ? std::string("null") : n.text, tag, YAML_PLAIN_SCALAR_STYLE);
      case Kind::Boolean:
      case Kind::Number:
        return scalar(n.text, tag, YAML_PLAIN_SCALAR_STYLE);
      case Kind::String:
        return scalar(n.text, tag,
                      needs_quotes(n) ? YAML_DOUBLE_QUOTED_SCALAR_STYLE : YAML_PLAIN_SCALAR_STYLE);
      case Kind::Tagged:
        return node(*n.items.front(), chars(n.text));
      case Kind::Sequence:
        if (!yaml_sequence_start_event_initialize(&event, nullptr, tag, implicit,
                                                  YAML_BLOCK_SEQUENCE_STYLE))
          throw std::bad_alloc();
        emit(event);
        for (const YamlPtr& item : n.items) node(*item, nullptr);
        yaml_sequence_end_event_initialize(&event);
        return emit(event);
      case Kind::Mapping:
        if (!yaml_mapping_start_event_initialize(&event, nullptr, tag, implicit,
                                                 YAML_BLOCK_MAPPING_STYLE))
          throw std::bad_alloc();
        emit(event);
        for (const auto& [key, value] : n.entries) {
          node(*key, nullptr);
          node(*value, nullptr);
        }
        yaml_mapping_end_event_initialize(&event);
        return emit(event);
    }
  }

  yaml_emitter_t emitter_;
  std::string& out_;
  bool out_of_memory_ = false;
};

}  // namespace

std::string emit_yaml(const YamlNode& node) {
  std::string out;
  Emitter(out).document(node);
  return out;
}

}  // namespace quarl
