// Python objects that own one C++ value, held in the object itself: it is
// moved in when the object is made and destroyed with it. The classes built
// on this hold no Python references that could lead back to them (at most
// one to another such object), so they take no part in garbage collection.
#pragma once

#include <Python.h>

#include <cstddef>
#include <new>
#include <type_traits>
#include <utility>

namespace tessel {

template <class T>
struct Boxed {
  PyObject_HEAD
  alignas(T) unsigned char data[sizeof(T)];

  T& value() noexcept { return *std::launder(reinterpret_cast<T*>(data)); }
};

template <class T>
const T& unbox(PyObject* self) noexcept {
  return reinterpret_cast<Boxed<T>*>(self)->value();
}

// A new instance of `type` owning `data`; null on failure. Moving cannot
// fail, so an instance always holds a value.
template <class T>
PyObject* box(PyObject* type, T data) noexcept {
  static_assert(std::is_nothrow_move_constructible_v<T>);
  static_assert(alignof(T) <= alignof(std::max_align_t));  // what the object's memory has
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (!self) return nullptr;
  ::new (reinterpret_cast<Boxed<T>*>(self)->data) T(std::move(data));
  return self;
}

// tp_dealloc of a boxed class (heap type, not garbage collected).
template <class T>
void boxed_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  reinterpret_cast<Boxed<T>*>(self)->value().~T();
  auto free_slot = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free_slot(self);
  Py_DECREF(type);
}

// tp_richcompare of a boxed class whose values compare with ==: equal only
// to instances of the same class; anything else is NotImplemented.
template <class T>
PyObject* boxed_richcompare(PyObject* self, PyObject* other, int op) noexcept {
  if ((op != Py_EQ && op != Py_NE) || Py_TYPE(other) != Py_TYPE(self)) Py_RETURN_NOTIMPLEMENTED;
  const bool equal = unbox<T>(self) == unbox<T>(other);
  return PyBool_FromLong((op == Py_EQ) == equal);
}

}  // namespace tessel
