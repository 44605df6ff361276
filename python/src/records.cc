#include "records.h"

namespace ambrik::py {

PyObject* build_record(const char* class_name, std::initializer_list<RecordField> fields) {
  PyObject* package = PyImport_ImportModule("ambrik");
  if (package == nullptr) return nullptr;
  PyObject* cls = PyObject_GetAttrString(package, class_name);
  Py_DECREF(package);
  if (cls == nullptr) return nullptr;

  PyObject* result = nullptr;
  PyObject* kwargs = PyDict_New();
  PyObject* no_args = kwargs == nullptr ? nullptr : PyTuple_New(0);
  if (no_args != nullptr) {
    bool filled = true;
    for (const RecordField& field : fields) {
      PyObject* value =
          field.value ? PyLong_FromUnsignedLongLong(*field.value) : Py_NewRef(Py_None);
      if (value == nullptr || PyDict_SetItemString(kwargs, field.name, value) < 0) {
        Py_XDECREF(value);
        filled = false;
        break;
      }
      Py_DECREF(value);
    }
    if (filled) result = PyObject_Call(cls, no_args, kwargs);
  }
  Py_XDECREF(no_args);
  Py_XDECREF(kwargs);
  Py_DECREF(cls);
  return result;
}

}  // namespace ambrik::py
