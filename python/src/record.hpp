// Record classes: frozen Python views of one boxed C++ value, whose getters,
// to_dict, __reduce__, repr, equality and type object are generated from a
// table of the value's fields. A class is described by a struct naming the
// value type, the qualified name, the fields, the docstrings, its constructor
// and its to_json:
//
//   struct Class {
//     using Data = ...;  // the boxed C++ value
//     static constexpr const char* kName = "tessel._tessel.X";
//     static constexpr std::array<Field<Data>, N> kFields = {...};
//     static constexpr RecordDocs kDocs = {...};
//     static PyObject* construct(PyTypeObject*, PyObject* args, PyObject* kwargs) noexcept;
//     static PyObject* to_json(PyObject* self, PyObject*) noexcept;
//   };
//
// By default to_dict holds the fields in table order, the constructor takes
// them in that order (__reduce__ passes them back so), and the repr shows the
// fields that have a `show`. A class whose wire form differs from its
// attributes replaces any of these with its own:
//
//     static PyObject* to_dict(const ModuleState&, const Data&) noexcept;
//     static PyObject* reduce_args(const ModuleState&, const Data&) noexcept;  // a tuple
//     static std::string repr(const Data&);
#pragma once

#include <Python.h>

#include <array>
#include <cstddef>
#include <string>

#include "boxed.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "module_state.hpp"
#include "py_ref.hpp"
#include "text.hpp"

namespace tessel {

template <class T>
struct Field {
  const char* name;
  // A new reference, or null with an exception set.
  PyObject* (*get)(const ModuleState&, const T&) noexcept;
  std::string (*show)(const T&);  // the field's text in the repr; null: not shown
  const char* doc = nullptr;
  // Used instead of `get` when set: a getter that needs the object itself
  // (what it returns keeps the object alive).
  PyObject* (*get_from)(PyObject* self) noexcept = nullptr;
};

// A field holding text (`member` of the record's data), quoted in the repr.
template <class T, auto member>
constexpr Field<T> text_field(const char* name) {
  return {name,
          [](const ModuleState&, const T& data) noexcept { return to_python(std::string_view(data.*member)); },
          [](const T& data) { return debug_quoted(data.*member); }};
}

// The docstrings of a record class and of its methods.
struct RecordDocs {
  const char* type;
  const char* to_dict;
  const char* to_json;
  const char* reduce;
};

template <class Class>
class Record {
 public:
  using T = typename Class::Data;
  static constexpr std::size_t kCount = Class::kFields.size();

  static PyObject* create(PyObject* module) noexcept {
    PyType_Slot slots[] = {
        {Py_tp_doc, const_cast<char*>(Class::kDocs.type)},
        {Py_tp_new, reinterpret_cast<void*>(Class::construct)},
        {Py_tp_dealloc, reinterpret_cast<void*>(boxed_dealloc<T>)},
        {Py_tp_repr, reinterpret_cast<void*>(repr)},
        {Py_tp_richcompare, reinterpret_cast<void*>(boxed_richcompare<T>)},
        {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
        {Py_tp_getset, getset_.data()},
        {Py_tp_methods, methods_},
        {0, nullptr},
    };
    PyType_Spec shape = {Class::kName, sizeof(Boxed<T>), 0,
                         Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return PyType_FromModuleAndSpec(module, &shape, nullptr);
  }

 private:
  static const ModuleState& state(PyObject* self) noexcept {
    return module_state_of(Py_TYPE(self));
  }

  static PyObject* field_value(const Field<T>& field, PyObject* self) noexcept {
    return field.get_from ? field.get_from(self) : field.get(state(self), unbox<T>(self));
  }

  static PyObject* get_field(PyObject* self, void* closure) noexcept {
    return field_value(*static_cast<const Field<T>*>(closure), self);
  }

  // The fields' values, in order; false with an exception set on failure.
  static bool values(PyObject* self, std::array<PyRef, kCount>& out) noexcept {
    for (std::size_t i = 0; i < kCount; ++i) {
      out[i] = PyRef::steal(field_value(Class::kFields[i], self));
      if (!out[i]) return false;
    }
    return true;
  }

  static PyObject* to_dict(PyObject* self, PyObject*) noexcept {
    if constexpr (requires { Class::to_dict(state(self), unbox<T>(self)); })
      return Class::to_dict(state(self), unbox<T>(self));
    std::array<PyRef, kCount> fields;
    PyRef dict = PyRef::steal(PyDict_New());
    if (!dict || !values(self, fields)) return nullptr;
    for (std::size_t i = 0; i < kCount; ++i)
      if (PyDict_SetItemString(dict.get(), Class::kFields[i].name, fields[i].get()) < 0)
        return nullptr;
    return dict.release();
  }

  static PyObject* reduce(PyObject* self, PyObject*) noexcept {
    const PyRef args = PyRef::steal(reduce_args(self));
    if (!args) return nullptr;
    return Py_BuildValue("(OO)", reinterpret_cast<PyObject*>(Py_TYPE(self)), args.get());
  }

  static PyObject* reduce_args(PyObject* self) noexcept {
    if constexpr (requires { Class::reduce_args(state(self), unbox<T>(self)); })
      return Class::reduce_args(state(self), unbox<T>(self));
    std::array<PyRef, kCount> fields;
    PyRef args = PyRef::steal(PyTuple_New(static_cast<Py_ssize_t>(kCount)));
    if (!args || !values(self, fields)) return nullptr;
    for (std::size_t i = 0; i < kCount; ++i)
      PyTuple_SetItem(args.get(), static_cast<Py_ssize_t>(i), fields[i].release());
    return args.release();
  }

  // "Name(field=text, ...)" of the fields shown.
  static PyObject* repr(PyObject* self) noexcept {
    return guarded(state(self), [self]() -> PyObject* {
      std::string out;
      if constexpr (requires { Class::repr(unbox<T>(self)); }) {
        out = Class::repr(unbox<T>(self));
      } else {
        out = Class::kName;
        out.erase(0, out.rfind('.') + 1);
        out += '(';
        bool first = true;
        for (const Field<T>& field : Class::kFields) {
          if (!field.show) continue;
          if (!first) out += ", ";
          first = false;
          out += field.name;
          out += '=';
          out += field.show(unbox<T>(self));
        }
        out += ')';
      }
      return PyUnicode_FromStringAndSize(out.data(), static_cast<Py_ssize_t>(out.size()));
    });
  }

  // The tables must outlive the class: the interpreter keeps pointers to them.
  static inline std::array<PyGetSetDef, kCount + 1> getset_ = [] {
    std::array<PyGetSetDef, kCount + 1> defs{};
    for (std::size_t i = 0; i < kCount; ++i)
      defs[i] = {Class::kFields[i].name, get_field, nullptr, Class::kFields[i].doc,
                 const_cast<void*>(static_cast<const void*>(&Class::kFields[i]))};
    return defs;
  }();
  static inline PyMethodDef methods_[] = {
      {"to_dict", to_dict, METH_NOARGS, Class::kDocs.to_dict},
      {"to_json", Class::to_json, METH_NOARGS, Class::kDocs.to_json},
      {"__reduce__", reduce, METH_NOARGS, Class::kDocs.reduce},
      {nullptr, nullptr, 0, nullptr},
  };
};

}  // namespace tessel
