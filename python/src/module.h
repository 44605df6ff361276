// Per-module state: the classes created by one initialisation of _ambrik.
#pragma once

#include <Python.h>

namespace ambrik::py {

struct ModuleState {
  PyObject* ambrik_type;
  PyObject* drain_insertion_type;
  PyObject* transaction_type;
  PyObject* savepoint_type;
  PyObject* keymap_type;
  PyObject* keymap_iter_type;
  PyObject* snapshot_type;
};

ModuleState* module_state(PyObject* module);

// State of the module that created `type` (one of this module's classes,
// none of which can be subclassed). Returns nullptr with an error set.
ModuleState* module_state_of(PyTypeObject* type);

}  // namespace ambrik::py
