#include "loaded_template.hpp"

#include <algorithm>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "boxed.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "py_ref.hpp"
#include "quarl/loaded_template.hpp"
#include "text.hpp"
#include "without_gil.hpp"

namespace tessel {
namespace {

using quarl::TemplateInput;
using quarl::Value;
using quarl::ValueKind;

const quarl::LoadedTemplate& loaded(PyObject* self) noexcept {
  return *unbox<quarl::LoadedTemplatePtr>(self);
}

// The kinds of input as a snapshot names them.
constexpr std::pair<TemplateInput::Kind, std::string_view> kKinds[] = {
    {TemplateInput::Kind::Source, "source"},
    {TemplateInput::Kind::File, "file"},
    {TemplateInput::Kind::Map, "virtual"},
};

std::string_view kind_name(TemplateInput::Kind kind) noexcept {
  for (const auto& [each, name] : kKinds)
    if (each == kind) return name;
  return {};
}

Value string_list(const std::vector<std::string>& texts) {
  Value::Array items;
  items.reserve(texts.size());
  for (const std::string& text : texts) items.push_back(Value::string(text));
  return Value::array(std::move(items));
}

// The snapshot as plain data: {"kind", "name", "entry", "modules": [[key,
// text]...], "resolutions": [[importer, path, key]...], "project_root",
// "dependencies"}.
Value snapshot_value(const quarl::TemplateSnapshot& snapshot) {
  Value::Array modules;
  modules.reserve(snapshot.modules.size());
  for (const auto& [key, text] : snapshot.modules) modules.push_back(Value::array({Value::string(key), Value::string(text)}));
  Value::Array resolutions;
  resolutions.reserve(snapshot.resolutions.size());
  for (const quarl::ImportResolution& each : snapshot.resolutions)
    resolutions.push_back(
        Value::array({Value::string(each.importer), Value::string(each.path), Value::string(each.key)}));
  return Value::object({
      {"dependencies", string_list(snapshot.dependencies)},
      {"entry", Value::string(snapshot.entry)},
      {"kind", Value::string(kind_name(snapshot.kind))},
      {"modules", Value::array(std::move(modules))},
      {"name", Value::string(snapshot.name)},
      {"project_root", snapshot.project_root ? Value::string(*snapshot.project_root) : Value::null()},
      {"resolutions", Value::array(std::move(resolutions))},
  });
}

// Reads plain data back into a snapshot; what is wrong with it, if anything,
// goes to `problem`.
class SnapshotReader {
 public:
  std::optional<quarl::TemplateSnapshot> read(const Value& value) {
    if (value.kind() != ValueKind::Object) return fail("expected a mapping");
    quarl::TemplateSnapshot snapshot;
    const std::optional<std::string> kind = text(value, "kind");
    if (!kind) return std::nullopt;
    const auto* known = std::find_if(std::begin(kKinds), std::end(kKinds),
                                     [&](const auto& each) { return each.second == *kind; });
    if (known == std::end(kKinds)) return fail("unknown kind " + debug_quoted(*kind));
    snapshot.kind = known->first;
    std::optional<std::string> name = text(value, "name");
    std::optional<std::string> entry = name ? text(value, "entry") : std::nullopt;
    if (!entry) return std::nullopt;
    snapshot.name = std::move(*name);
    snapshot.entry = std::move(*entry);
    if (!tuples(value, "modules", 2, [&](std::span<const Value> item) {
          snapshot.modules.emplace_back(item[0].as_string(), item[1].as_string());
        }) ||
        !tuples(value, "resolutions", 3, [&](std::span<const Value> item) {
          snapshot.resolutions.push_back(
              {std::string(item[0].as_string()), std::string(item[1].as_string()), std::string(item[2].as_string())});
        }) ||
        !tuples(value, "dependencies", 0, [&](std::span<const Value> item) {
          snapshot.dependencies.emplace_back(item[0].as_string());
        }))
      return std::nullopt;
    // An entry and the modules it may import: what a load could have stored.
    if (snapshot.modules.size() > quarl::kMaxModules + 1)
      return fail("modules holds " + std::to_string(snapshot.modules.size()) + " entries, more than the " +
                  std::to_string(quarl::kMaxModules + 1) + " a template loads");
    const Value* root = member(value, "project_root");
    if (root && root->kind() == ValueKind::String) {
      snapshot.project_root = std::string(root->as_string());
    } else if (root && !root->is_null()) {
      return fail("project_root must be a string or None");
    }
    return snapshot;
  }

  std::string problem;

 private:
  std::nullopt_t fail(std::string why) {
    problem = std::move(why);
    return std::nullopt;
  }

  std::optional<std::string> text(const Value& object, std::string_view key) {
    const Value* value = member(object, key);
    if (!value || value->kind() != ValueKind::String) return fail(std::string(key) + " must be a string");
    return std::string(value->as_string());
  }

  // A list of `width`-string lists (0: of strings), each handed to `take`.
  template <class Take>
  bool tuples(const Value& object, std::string_view key, std::size_t width, Take&& take) {
    const Value* list = member(object, key);
    const auto is_string = [](const Value& item) { return item.kind() == ValueKind::String; };
    if (!list || list->kind() != ValueKind::Array) {
      fail(std::string(key) + " must be a list");
      return false;
    }
    for (const Value& item : list->as_array()) {
      const bool fits = width == 0 ? is_string(item)
                                   : item.kind() == ValueKind::Array && item.as_array().size() == width &&
                                         std::all_of(item.as_array().begin(), item.as_array().end(), is_string);
      if (!fits) {
        fail(std::string(key) + " must hold " +
             (width == 0 ? std::string("strings") : std::to_string(width) + "-item lists of strings"));
        return false;
      }
      take(width == 0 ? std::span<const Value>(&item, 1) : item.as_array());
    }
    return true;
  }
};

PyObject* loaded_entry(PyObject* self, void*) noexcept { return to_python(std::string_view(loaded(self).entry())); }
PyObject* loaded_kind(PyObject* self, void*) noexcept { return to_python(kind_name(loaded(self).kind())); }
PyObject* loaded_dependencies(PyObject* self, void*) noexcept { return to_python(loaded(self).dependencies()); }

PyObject* loaded_snapshot(PyObject* self, PyObject*) noexcept {
  return guarded(module_state_of(Py_TYPE(self)),
                 [&]() -> PyObject* { return to_python(snapshot_value(loaded(self).snapshot())); });
}

PyGetSetDef loaded_getset[] = {
    {"entry", loaded_entry, nullptr, PyDoc_STR("The entry module's key."), nullptr},
    {"kind", loaded_kind, nullptr, PyDoc_STR("What it was loaded from: \"source\", \"file\" or \"virtual\"."),
     nullptr},
    {"dependencies", loaded_dependencies, nullptr,
     PyDoc_STR("The keys of the imported modules, each after the modules it imports."), nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// The rendering methods, then snapshot(); built once per class creation.
std::vector<PyMethodDef> all_methods() {
  std::vector<PyMethodDef> methods;
  for (PyMethodDef* method = loaded_template_methods(); method->ml_name; ++method) methods.push_back(*method);
  methods.push_back({"snapshot", loaded_snapshot, METH_NOARGS,
                     PyDoc_STR("snapshot($self, /)\n--\n\nEverything the template was loaded from, as plain data that "
                               "load_snapshot() loads again.")});
  methods.push_back({nullptr, nullptr, 0, nullptr});
  return methods;
}

}  // namespace

PyObject* create_loaded_template_class(PyObject* module) noexcept {
  // The method table must outlive the class: a function-local static, the
  // same table for every interpreter (it holds no Python objects).
  static std::vector<PyMethodDef> methods = all_methods();
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>("A template loaded once, with every module it reaches; immutable.")},
      {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<quarl::LoadedTemplatePtr>)},
      {Py_tp_methods, methods.data()},
      {Py_tp_getset, loaded_getset},
      {0, nullptr},
  };
  PyType_Spec shape = {"tessel._tessel.LoadedTemplate", static_cast<int>(sizeof(Boxed<quarl::LoadedTemplatePtr>)), 0,
                       Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION, slots};
  return PyType_FromModuleAndSpec(module, &shape, nullptr);
}

PyObject* load_snapshot(PyObject* module, PyObject* snapshot) noexcept {
  const ModuleState& state = module_state(module);
  return guarded(state, [&]() -> PyObject* {
    std::string error;
    const std::optional<Value> value = to_value(snapshot, error);
    if (!value && !error.empty())
      return raise_binding_error(state, "quarl::invalid_options", "invalid template snapshot: " + error);
    if (!value) return nullptr;
    SnapshotReader reader;
    const std::optional<quarl::TemplateSnapshot> read = reader.read(*value);
    if (!read) return raise_binding_error(state, "quarl::invalid_options", "invalid template snapshot: " + reader.problem);
    quarl::Outcome<quarl::LoadedTemplatePtr> loaded_again = [&] {
      const WithoutGil unlocked;
      return quarl::load_template(*read);
    }();
    if (!loaded_again) return raise_failure(state, loaded_again.error());
    return box(state.loaded_template_type, std::move(*loaded_again));
  });
}

}  // namespace tessel
