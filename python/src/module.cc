// Module _ambrik: multi-phase initialisation.
#include <Python.h>

#include <new>

#include "convert.h"
#include "db.h"
#include "drain_insertion.h"
#include "errors.h"
#include "fork_guard.h"
#include "keymap.h"
#include "module.h"
#include "page_io.h"
#include "savepoint.h"
#include "snapshot.h"
#include "transaction.h"
#include "version.h"

namespace ambrik::py {

ModuleState* module_state(PyObject* module) {
  return static_cast<ModuleState*>(PyModule_GetState(module));
}

ModuleState* module_state_of(PyTypeObject* type) {
  PyObject* module = PyType_GetModule(type);
  return module == nullptr ? nullptr : module_state(module);
}

namespace {

// Adds `obj` (a new reference, consumed) to `module` as `name`, keeping a
// strong reference in `*slot` when given.
int add_owned(PyObject* module, const char* name, PyObject* obj, PyObject** slot) {
  if (obj == nullptr) return -1;
  if (slot != nullptr) *slot = Py_NewRef(obj);
  int rc = PyModule_AddObjectRef(module, name, obj);
  Py_DECREF(obj);
  return rc;
}

int exec_steps(PyObject* module) {
  ModuleState* state = module_state(module);
  if (!install_fork_handler()) {
    PyErr_SetString(PyExc_OSError, "could not install the fork handler");
    return -1;
  }
  if (PyModule_AddStringConstant(module, "__version__", AMBRIK_VERSION) < 0) return -1;
  if (add_exception_classes(module) < 0) return -1;
  if (add_owned(module, "Ambrik", create_ambrik_type(module), &state->ambrik_type) < 0) return -1;
  if (add_owned(module, "DrainInsertion", create_drain_insertion_type(module),
                &state->drain_insertion_type) < 0) {
    return -1;
  }
  if (add_owned(module, "open", create_open_function(module), nullptr) < 0) return -1;
  if (add_owned(module, "Transaction", create_transaction_type(module),
                &state->transaction_type) < 0) {
    return -1;
  }
  if (add_owned(module, "Savepoint", create_savepoint_type(module), &state->savepoint_type) < 0) {
    return -1;
  }
  if (add_owned(module, "KeyMap", create_keymap_type(module), &state->keymap_type) < 0) return -1;
  if (add_owned(module, "KeyMapIterator", create_keymap_iterator_type(module),
                &state->keymap_iter_type) < 0) {
    return -1;
  }
  if (add_owned(module, "Snapshot", create_snapshot_type(module), &state->snapshot_type) < 0) {
    return -1;
  }
  return 0;
}

int ambrik_exec(PyObject* module) {
  try {
    return exec_steps(module);
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
    return -1;
  }
}

int ambrik_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  Py_VISIT(state->ambrik_type);
  Py_VISIT(state->drain_insertion_type);
  Py_VISIT(state->transaction_type);
  Py_VISIT(state->savepoint_type);
  Py_VISIT(state->keymap_type);
  Py_VISIT(state->keymap_iter_type);
  Py_VISIT(state->snapshot_type);
  return 0;
}

int ambrik_clear(PyObject* module) {
  ModuleState* state = module_state(module);
  if (state == nullptr) return 0;
  Py_CLEAR(state->ambrik_type);
  Py_CLEAR(state->drain_insertion_type);
  Py_CLEAR(state->transaction_type);
  Py_CLEAR(state->savepoint_type);
  Py_CLEAR(state->keymap_type);
  Py_CLEAR(state->keymap_iter_type);
  Py_CLEAR(state->snapshot_type);
  return 0;
}

void ambrik_free(void* module) { ambrik_clear(static_cast<PyObject*>(module)); }

// Test hook: makes every sync of every database file in the process sleep
// `seconds` first (0 turns it off), so that tests can stretch a commit.
PyObject* set_sync_delay(PyObject*, PyObject* arg) {
  double seconds;
  if (!to_seconds(arg, "seconds", &seconds)) return nullptr;
  if (seconds > 3600) {
    PyErr_SetString(PyExc_ValueError, "seconds must be at most 3600");
    return nullptr;
  }
  ambrik::set_file_sync_delay_for_tests(static_cast<uint64_t>(seconds * 1e6));
  Py_RETURN_NONE;
}

PyMethodDef module_functions[] = {
    {"_set_sync_delay", set_sync_delay, METH_O, "_set_sync_delay(seconds, /)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot ambrik_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ambrik_exec)},
    {0, nullptr},
};

PyModuleDef ambrik_module = {
    PyModuleDef_HEAD_INIT,
    "_ambrik",
    "",
    sizeof(ModuleState),
    module_functions,
    ambrik_slots,
    ambrik_traverse,
    ambrik_clear,
    ambrik_free,
};

}  // namespace

}  // namespace ambrik::py

PyMODINIT_FUNC PyInit__ambrik(void) { return PyModuleDef_Init(&ambrik::py::ambrik_module); }
