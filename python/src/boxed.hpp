// Python objects that own one C++ value: the object holds a pointer to it,
// created with the object and destroyed with it. The classes built on this
// hold no Python references that could lead back to them (at most one to
// another such object), so they take no part in garbage collection.
#pragma once

#include <Python.h>

#include <memory>
#include <new>
#include <utility>

namespace tessel {

template <class T>
struct Boxed {
  PyObject_HEAD
  T* data;
};

template <class T>
const T& unbox(PyObject* self) noexcept {
  return *reinterpret_cast<Boxed<T>*>(self)->data;
}

// A new instance of `type` owning `data`, which stays where it is: for data
// that cannot move, or views that point into it. Null on failure.
template <class T>
PyObject* box_owned(PyObject* type, std::unique_ptr<T> data) noexcept {
  PyObject* self = PyType_GenericAlloc(reinterpret_cast<PyTypeObject*>(type), 0);
  if (!self) return nullptr;
  reinterpret_cast<Boxed<T>*>(self)->data = data.release();
  return self;
}

// A new instance of `type` owning `data`; null with MemoryError on failure.
template <class T>
PyObject* box(PyObject* type, T data) noexcept {
  std::unique_ptr<T> owned(new (std::nothrow) T(std::move(data)));
  if (!owned) return PyErr_NoMemory();
  return box_owned(type, std::move(owned));
}

// tp_dealloc of a boxed class (heap type, not garbage collected).
template <class T>
void boxed_dealloc(PyObject* self) noexcept {
  PyTypeObject* type = Py_TYPE(self);
  delete reinterpret_cast<Boxed<T>*>(self)->data;  // null when construction failed
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
