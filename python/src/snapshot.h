// The Snapshot object: a read-only view of one commit of an Ambrik.
#pragma once

#include <Python.h>

namespace ambrik::py {

PyObject* create_snapshot_type(PyObject* module);

// Ambrik.snapshot(): a Snapshot of the database's last commit.
PyObject* db_snapshot(PyObject* db, PyObject* unused);

}  // namespace ambrik::py
