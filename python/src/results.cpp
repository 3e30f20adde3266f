#include "results.hpp"

#include <stdexcept>

#include "boxed.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "quarl/result.hpp"
#include "record.hpp"
#include "text.hpp"

namespace tessel {
namespace {

using quarl::Value;
using quarl::ValueKind;

// ---- shared helpers ---------------------------------------------------------


PyObject* member_or_none(const Value& object, std::string_view key) noexcept {
  if (const Value* value = member(object, key)) return to_python(*value);
  Py_RETURN_NONE;
}

PyObject* member_list(const Value& object, std::string_view key) noexcept {
  const Value* value = member(object, key);
  if (value && value->kind() == ValueKind::Array) return to_python(*value);
  return PyList_New(0);
}

// A string member's text, or `fallback`.
std::string_view member_text(const Value& object, std::string_view key,
                             std::string_view fallback = {}) noexcept {
  const Value* value = member(object, key);
  return value && value->kind() == ValueKind::String ? std::string_view(value->as_string())
                                                      : fallback;
}

// Converts a constructor's state argument; a QuarlError names the class.
std::optional<Value> state_argument(PyObject* type, PyObject* state_object, const char* class_name) {
  std::string error;
  std::optional<Value> value = to_value(state_object, error);
  const ModuleState& state = module_state_of(as_type(type));
  if (!value && !error.empty())
    raise_binding_error(state, "quarl::invalid_options",
                        std::string("invalid ") + class_name + " state: " + error);
  if (value && value->kind() != ValueKind::Object) {
    raise_binding_error(state, "quarl::invalid_options",
                        std::string("invalid ") + class_name +
                            " state: expected a mapping, got " +
                            std::string(quarl::type_name(*value)));
    return std::nullopt;
  }
  return value;
}

// ---- CompileResult ----------------------------------------------------------

const Value& canonical(PyObject* self) noexcept { return unbox<CompileResultData>(self).canonical; }

PyObject* compile_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"canonical", nullptr};
  PyObject* state_object = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:CompileResult", const_cast<char**>(keywords),
                                   &state_object))
    return nullptr;
  PyObject* type_object = reinterpret_cast<PyObject*>(type);
  return guarded(module_state_of(type), [&]() -> PyObject* {
    std::optional<Value> value = state_argument(type_object, state_object, "CompileResult");
    if (!value) return nullptr;
    // The canonical form has no null "sourceMap": what to_dict() shows as
    // None means no map, so a dict made by to_dict() builds an equal result.
    const Value* map = member(*value, "sourceMap");
    if (map && map->is_null()) {
      std::vector<Value::Object::value_type> entries;
      for (const auto& entry : value->as_object())
        if (entry.first != "sourceMap") entries.emplace_back(entry.first, entry.second);
      value = Value::object(Value::Object::from_entries(std::move(entries)));
    }
    // Only a value the compile functions could have returned.
    if (const std::optional<std::string> problem = quarl::compile_result_problem(*value))
      return raise_binding_error(module_state_of(type), "quarl::invalid_options",
                                 "invalid CompileResult state: " + *problem);
    return box(type_object, CompileResultData{std::move(*value), nullptr});
  });
}

// The messages as Message objects that view the texts where this result
// keeps them, and keep it alive.
PyObject* compile_result_messages(PyObject* self) noexcept {
  const ModuleState& state = module_state_of(Py_TYPE(self));
  const Value* messages = member(canonical(self), "messages");
  if (!messages || messages->kind() != ValueKind::Array) Py_RETURN_NONE;
  return guarded(state, [&]() -> PyObject* {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(messages->as_array().size())));
    if (!list) return nullptr;
    Py_ssize_t index = 0;
    for (const Value& message : messages->as_array()) {
      PyObject* item = box(state.message_type, MessageData{PyRef::borrow(self), nullptr,
                                                           member_text(message, "role"),
                                                           member_text(message, "content")});
      if (!item) return nullptr;
      PyList_SetItem(list.get(), index++, item);
    }
    return list.release();
  });
}

PyObject* compile_result_to_json(PyObject* self, PyObject*) noexcept {
  return to_json_text(canonical(self));
}

struct CompileResultClass {
  using Data = CompileResultData;
  static constexpr const char* kName = "tessel._tessel.CompileResult";
  static constexpr std::array<Field<Data>, 6> kFields = {{
      {"kind",
       [](const ModuleState&, const Data& v) noexcept -> PyObject* {
         const Value* kind = member(v.canonical, "kind");
         if (kind && kind->kind() == ValueKind::String) return to_python(*kind);
         Py_RETURN_NONE;
       },
       nullptr,
       "`\"markdown\"` or `\"messages\"` \u2014 the intrinsic output shape of the template."},
      {"output",
       [](const ModuleState&, const Data& v) noexcept -> PyObject* {
         if (member_text(v.canonical, "kind") == "messages") Py_RETURN_NONE;
         return member_or_none(v.canonical, "output");
       },
       nullptr, "The rendered Markdown string, or `None` when the result is `messages`."},
      {"messages", nullptr, nullptr, "The structured messages, or `None` when the result is `markdown`.",
       compile_result_messages},
      {"warnings",
       [](const ModuleState&, const Data& v) noexcept { return member_list(v.canonical, "warnings"); },
       nullptr, "Warnings emitted during compilation (never printed to stderr)."},
      {"dependencies",
       [](const ModuleState&, const Data& v) noexcept { return member_list(v.canonical, "dependencies"); },
       nullptr, "Imported module keys in depth-first resolution order (entry excluded)."},
      {"source_map",
       [](const ModuleState&, const Data& v) noexcept { return member_or_none(v.canonical, "sourceMap"); },
       nullptr,
       "The Source Map v3 document as a plain `dict`, or `None` when not generated.\n\n"
       "A map is present only when `source_map=True` was passed and the result is\n"
       "Markdown; a messages-mode result always gives `None`. In `to_dict()` and\n"
       "`to_json()` the document sits under the wire key `\"sourceMap\"`."},
  }};
  static constexpr RecordDocs kDocs = {
      "CompileResult(canonical)\n--\n\n"
      "The result of [`compile`], [`compile_file`], or [`compile_virtual`].\n\n"
      "Retains the canonical `to_canonical_json()` value as its single backing store;\n"
      "every typed getter and `to_dict()`/`to_json()` reads from it, so they can never\n"
      "diverge. `__eq__` is wire equality; the object is intentionally unhashable.",
      "to_dict($self, /)\n--\n\n"
      "The result as a plain `dict`, Python-idiomatic: every attribute-style key is\n"
      "present, so `\"sourceMap\"` is always there (`None` when no map was generated),\n"
      "and the payload key of the other kind (`\"output\"` or `\"messages\"`) is absent.",
      "to_json($self, /)\n--\n\n"
      "The canonical wire format shared with the other language bindings: compact\n"
      "JSON with sorted keys, in which `\"sourceMap\"` is omitted when no map was\n"
      "generated.",
      "__reduce__($self, /)\n--\n\n"
      "Reconstruct on unpickle via `CompileResult(canonical_dict)`.\n\n"
      "The state is the canonical value itself: the null-sourceMap injection of\n"
      "`to_dict()` is not included, which preserves round-trip\n"
      "equality: original.value == restored.value."};
  static constexpr auto construct = compile_result_new;
  static constexpr auto to_json = compile_result_to_json;

  // The canonical value with "sourceMap" always present.
  static PyObject* to_dict(const ModuleState&, const Data& v) noexcept {
    PyRef dict = PyRef::steal(to_python(v.canonical));
    if (!dict) return nullptr;
    if (!member(v.canonical, "sourceMap") && PyDict_SetItemString(dict.get(), "sourceMap", Py_None) < 0)
      return nullptr;
    return dict.release();
  }
  static PyObject* reduce_args(const ModuleState&, const Data& v) noexcept {
    const PyRef state = PyRef::steal(to_python(v.canonical));
    return state ? PyTuple_Pack(1, state.get()) : nullptr;
  }
  static std::string repr(const Data& v) {
    const Value empty_list = Value::array({});
    const Value* warnings = member(v.canonical, "warnings");
    const Value* dependencies = member(v.canonical, "dependencies");
    std::string text = "CompileResult(kind=";
    if (member_text(v.canonical, "kind") == "messages") {
      const Value* messages = member(v.canonical, "messages");
      const std::size_t count =
          messages && messages->kind() == ValueKind::Array ? messages->as_array().size() : 0;
      text += "'messages', messages=<" + std::to_string(count) + " item(s)>";
    } else {
      text += "'markdown', output=" + debug_quoted(member_text(v.canonical, "output"));
    }
    text += ", warnings=" + debug_list(warnings ? *warnings : empty_list);
    text += ", dependencies=" + debug_list(dependencies ? *dependencies : empty_list);
    if (member(v.canonical, "sourceMap")) text += ", source_map=<present>";
    return text + ")";
  }
};

// ---- CheckResult --------------------------------------------------------------

using Warnings = std::vector<std::string>;

Value string_array(const std::vector<std::string>& texts) {
  Value::Array array;
  for (const std::string& text : texts) array.push_back(Value::string(text));
  return Value::array(std::move(array));
}

// A list or tuple of str, as texts; none with TypeError otherwise.
std::optional<std::vector<std::string>> string_sequence(PyObject* object, const char* function,
                                                        const char* name) {
  if (!PyList_Check(object) && !PyTuple_Check(object)) {
    PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a list of str", function, name);
    return std::nullopt;
  }
  const PyRef items = PyRef::steal(PySequence_List(object));
  if (!items) return std::nullopt;
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    const std::optional<std::string_view> text =
        PyUnicode_Check(item) ? utf8_of(item) : std::nullopt;
    if (!text) {
      if (!PyErr_Occurred())
        PyErr_Format(PyExc_TypeError, "%s() argument '%s' must be a list of str", function, name);
      return std::nullopt;
    }
    texts.emplace_back(*text);
  }
  return texts;
}

PyObject* check_result_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"warnings", nullptr};
  PyObject* warnings = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O:CheckResult", const_cast<char**>(keywords),
                                   &warnings))
    return nullptr;
  return guarded(module_state_of(type), [&]() -> PyObject* {
    std::optional<Warnings> texts = string_sequence(warnings, "CheckResult", "warnings");
    if (!texts) return nullptr;
    return box(reinterpret_cast<PyObject*>(type), std::move(*texts));
  });
}

PyObject* check_result_to_json(PyObject* self, PyObject*) noexcept {
  return guarded(module_state_of(Py_TYPE(self)), [self] {
    return to_json_text(Value::object({{"warnings", string_array(unbox<Warnings>(self))}}));
  });
}

struct CheckResultClass {
  using Data = Warnings;
  static constexpr const char* kName = "tessel._tessel.CheckResult";
  static constexpr std::array<Field<Data>, 1> kFields = {{
      {"warnings", [](const ModuleState&, const Data& w) noexcept { return to_python(w); },
       [](const Data& w) { return debug_list(string_array(w)); }},
  }};
  static constexpr RecordDocs kDocs = {
      "CheckResult(warnings)\n--\n\n"
      "The result of [`check`], [`check_file`], or [`check_virtual`].",
      "to_dict($self, /)\n--\n\nA new dict with the single key `\"warnings\"`.",
      "to_json($self, /)\n--\n\nThe same content as compact JSON text.",
      "__reduce__($self, /)\n--\n\nReconstruct on unpickle via `CheckResult(warnings)`."};
  static constexpr auto construct = check_result_new;
  static constexpr auto to_json = check_result_to_json;
};

// ---- Message --------------------------------------------------------------------

const MessageData& message(PyObject* self) noexcept { return unbox<MessageData>(self); }

PyObject* message_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) noexcept {
  static const char* keywords[] = {"role", "content", nullptr};
  PyObject* role = nullptr;
  PyObject* content = nullptr;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "UU:Message", const_cast<char**>(keywords),
                                   &role, &content))
    return nullptr;
  return guarded(module_state_of(type), [&]() -> PyObject* {
    const std::optional<std::string_view> role_text = utf8_of(role);
    const std::optional<std::string_view> content_text = role_text ? utf8_of(content) : std::nullopt;
    if (!content_text) return nullptr;
    auto own = std::make_unique<const quarl::Message>(std::string(*role_text), std::string(*content_text));
    const std::string_view role_view = own->role;
    const std::string_view content_view = own->content;
    return box(reinterpret_cast<PyObject*>(type),
               MessageData{PyRef(), std::move(own), role_view, content_view});
  });
}

PyObject* message_to_json(PyObject* self, PyObject*) noexcept {
  return guarded(module_state_of(Py_TYPE(self)), [self] {
    return to_json_text(Value::object({{"content", Value::borrowed(message(self).content)},
                                       {"role", Value::borrowed(message(self).role)}}));
  });
}

struct MessageClass {
  using Data = MessageData;
  static constexpr const char* kName = "tessel._tessel.Message";
  static constexpr std::array<Field<Data>, 2> kFields = {{
      text_field<Data, &Data::role>("role"),
      text_field<Data, &Data::content>("content"),
  }};
  static constexpr RecordDocs kDocs = {
      "Message(role, content)\n--\n\n"
      "A single chat message produced by a `@message`-bearing template.",
      "to_dict($self, /)\n--\n\nA new dict with the keys `\"role\"` and `\"content\"`.",
      "to_json($self, /)\n--\n\nThe same content as compact JSON text with sorted keys.",
      "__reduce__($self, /)\n--\n\nReconstruct on unpickle via `Message(role, content)`."};
  static constexpr auto construct = message_new;
  static constexpr auto to_json = message_to_json;
};

}  // namespace

PyObject* create_compile_result_class(PyObject* module) noexcept {
  return Record<CompileResultClass>::create(module);
}
PyObject* create_check_result_class(PyObject* module) noexcept {
  return Record<CheckResultClass>::create(module);
}
PyObject* create_message_class(PyObject* module) noexcept {
  return Record<MessageClass>::create(module);
}

PyObject* make_compile_result(const ModuleState& state, CompileResultData data) noexcept {
  return box(state.compile_result_type, std::move(data));
}

PyObject* make_check_result(const ModuleState& state, std::vector<std::string> warnings) noexcept {
  for (const std::string& warning : warnings)
    if (!quarl::is_valid_utf8(warning))
      return raise_serialization_error(state, "a warning is not valid UTF-8");
  return box(state.check_result_type, std::move(warnings));
}

}  // namespace tessel
