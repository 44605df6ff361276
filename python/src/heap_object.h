// Instances of the module's heap types: a Python object header followed by
// a C++ body, so that the body's members are constructed and destroyed by
// the language instead of by hand.
#pragma once

#include <Python.h>

#include <new>
#include <type_traits>
#include <utility>

namespace ambrik::py {

template <typename Body>
struct HeapObject {
  PyObject_HEAD
  Body body;
};

template <typename Body>
inline constexpr int kBasicSize = static_cast<int>(sizeof(HeapObject<Body>));

template <typename Body>
Body& body_of(PyObject* obj) {
  return reinterpret_cast<HeapObject<Body>*>(obj)->body;
}

// New instance of `type` (whose basic size is kBasicSize<Body>) with its body
// built from `args`. Returns nullptr with a Python error set.
template <typename Body, typename... Args>
PyObject* new_object(PyObject* type, Args&&... args) {
  // Nothing may fail after the allocation: a tracked, half-built object
  // could not be freed safely.
  static_assert(std::is_nothrow_constructible_v<Body, Args&&...>);
  auto tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* obj = alloc(tp, 0);
  if (obj == nullptr) return nullptr;
  new (&body_of<Body>(obj)) Body(std::forward<Args>(args)...);
  return obj;
}

// The tp_dealloc of a type whose instances hold a Body: destroys the body
// (which drops its references) and frees the object, and the reference each
// instance of a heap type holds to its type.
template <typename Body>
void dealloc_object(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  if (PyType_GetFlags(tp) & Py_TPFLAGS_HAVE_GC) PyObject_GC_UnTrack(self);
  body_of<Body>(self).~Body();
  auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  tp_free(self);
  Py_DECREF(tp);
}

}  // namespace ambrik::py
