// The Transaction object: a handle on the transaction begun by
// Ambrik.transaction(), committing or rolling back as a context manager.
#pragma once

#include <Python.h>

namespace ambrik::py {

PyObject* create_transaction_type(PyObject* module);

// New Transaction of class `type` bound to `db`.
PyObject* new_transaction(PyObject* type, PyObject* db);

}  // namespace ambrik::py
