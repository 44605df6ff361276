// Entry points from Python into C++: method table entries whose functions
// cannot let a C++ exception (in practice std::bad_alloc from a container)
// unwind into the interpreter.
//
// Methods with arguments use the vectorcall convention (METH_FASTCALL |
// METH_KEYWORDS): the arguments arrive as an array plus a tuple of keyword
// names, with no argument tuple or keyword dictionary built per call.
#pragma once

#include <Python.h>

#include <new>

#include "errors.h"

namespace ambrik::py {

using NoArgsFn = PyObject* (*)(PyObject* self, PyObject* unused);
using FastFn = PyObject* (*)(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames);

inline PyObject* escaped_exception() {
  try {
    throw;
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (...) {
    return raise_internal_error("unexpected C++ exception");
  }
}

template <NoArgsFn F>
PyObject* guarded_noargs(PyObject* self, PyObject* unused) noexcept {
  try {
    return F(self, unused);
  } catch (...) {
    return escaped_exception();
  }
}

template <FastFn F>
PyObject* guarded_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) noexcept {
  try {
    return F(self, args, nargs, kwnames);
  } catch (...) {
    return escaped_exception();
  }
}

}  // namespace ambrik::py

#define AMBRIK_METHOD_NOARGS(name, fn, doc) \
  {name, ::ambrik::py::guarded_noargs<fn>, METH_NOARGS, doc}
#define AMBRIK_METHOD_FAST(name, fn, doc)                                        \
  {name,                                                                         \
   reinterpret_cast<PyCFunction>(                                                \
       reinterpret_cast<void (*)()>(::ambrik::py::guarded_fast<fn>)),            \
   METH_FASTCALL | METH_KEYWORDS, doc}
