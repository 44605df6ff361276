// Exception classes of _ambrik and the one mapping from engine errors to them.
//
// The declared classes are process-wide: created once, on first use, and
// shared by every initialisation of the module in this process. IoError is
// the exception: each module initialisation builds its own class, and the
// first one built fills a process-wide slot that the error mapping reads.
#pragma once

#include <Python.h>

#include "error.h"

namespace ambrik::py {

// Names of the declared exception classes in module order; IoError stands in
// its place in this list but is built by add_exception_classes itself.
inline constexpr int kExceptionCount = 35;
extern const char* const kExceptionNames[kExceptionCount];

// Creates (if needed) the process-wide classes, builds a fresh IoError and
// adds all 35 to `module` in order. Returns -1 with a Python error set.
int add_exception_classes(PyObject* module);

// Borrowed reference to the declared class `name` (not IoError), creating the
// classes on first use. Returns nullptr with a Python error set on failure.
PyObject* exception_class(const char* name);

// Raises `name` (a declared class) with `message`; always returns nullptr.
PyObject* raise_error(const char* name, const char* message);

// Raises the exception for an engine error; always returns nullptr.
PyObject* raise_engine_error(const ambrik::Error& error);

PyObject* raise_closed();

// Raises the module-private BaseException subclass used for broken internal
// invariants; always returns nullptr.
PyObject* raise_internal_error(const char* text);

}  // namespace ambrik::py
