// The Savepoint object: a named savepoint inside a running transaction.
#pragma once

#include <Python.h>

namespace ambrik::py {

PyObject* create_savepoint_type(PyObject* module);

// New Savepoint of class `type` named `name` (a str) on `db`.
PyObject* new_savepoint(PyObject* type, PyObject* db, PyObject* name);

}  // namespace ambrik::py
