// Entry points from Python into C++: method table entries whose functions
// cannot let a C++ exception (in practice std::bad_alloc from a container)
// unwind into the interpreter.
#pragma once

#include <Python.h>

#include <new>

#include "errors.h"

namespace ambrik::py {

using NoArgsFn = PyObject* (*)(PyObject*, PyObject*);
using KwArgsFn = PyObject* (*)(PyObject*, PyObject*, PyObject*);

template <NoArgsFn F>
PyObject* guarded_noargs(PyObject* self, PyObject* unused) noexcept {
  try {
    return F(self, unused);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_internal_error("unexpected C++ exception");
  }
}

template <KwArgsFn F>
PyObject* guarded_kwargs(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return F(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_internal_error("unexpected C++ exception");
  }
}

}  // namespace ambrik::py

#define AMBRIK_METHOD_NOARGS(name, fn, doc) \
  {name, ::ambrik::py::guarded_noargs<fn>, METH_NOARGS, doc}
#define AMBRIK_METHOD_KWARGS(name, fn, doc)                                       \
  {name,                                                                          \
   reinterpret_cast<PyCFunction>(                                                 \
       reinterpret_cast<void (*)()>(::ambrik::py::guarded_kwargs<fn>)),           \
   METH_VARARGS | METH_KEYWORDS, doc}
