// Module _ambrik: multi-phase initialisation.
#include <Python.h>

namespace {

int ambrik_exec(PyObject* module) {
  if (PyModule_AddStringConstant(module, "__version__", "1.0.0") < 0) return -1;
  return 0;
}

PyModuleDef_Slot ambrik_slots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(ambrik_exec)},
    {0, nullptr},
};

PyModuleDef ambrik_module = {
    PyModuleDef_HEAD_INIT, "_ambrik", "", 0, nullptr, ambrik_slots, nullptr, nullptr, nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__ambrik(void) { return PyModuleDef_Init(&ambrik_module); }
