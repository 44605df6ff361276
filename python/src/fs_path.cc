#include "fs_path.h"

#include <cstring>

namespace ambrik::py {

bool to_fs_path(PyObject* obj, std::string* out) {
  PyObject* fspath = PyOS_FSPath(obj);
  if (fspath == nullptr) return false;
  PyObject* bytes = PyBytes_Check(fspath) ? Py_NewRef(fspath) : PyUnicode_EncodeFSDefault(fspath);
  Py_DECREF(fspath);
  if (bytes == nullptr) return false;
  char* data = nullptr;
  Py_ssize_t size = 0;
  if (PyBytes_AsStringAndSize(bytes, &data, &size) < 0) {
    Py_DECREF(bytes);
    return false;
  }
  // The system calls would cut the name at the NUL and open another file,
  // and the spill file's name would be cut the same way: "db\0" would make
  // the spill file the database itself and truncate it.
  if (std::memchr(data, '\0', static_cast<size_t>(size)) != nullptr) {
    Py_DECREF(bytes);
    PyErr_SetString(PyExc_ValueError, "embedded null byte");
    return false;
  }
  // May throw std::bad_alloc: every caller converts inside its exception
  // boundary; the reference is dropped on either way out.
  struct Release {
    PyObject* o;
    ~Release() { Py_DECREF(o); }
  } release{bytes};
  out->assign(data, static_cast<size_t>(size));
  return true;
}

PyObject* fs_path_text(const std::string& path) {
  return PyUnicode_DecodeFSDefaultAndSize(path.data(), static_cast<Py_ssize_t>(path.size()));
}

}  // namespace ambrik::py
