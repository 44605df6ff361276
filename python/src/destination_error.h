// The exception for a failure of a copy's destination (a backup's path, the
// file `ambrik compact` writes): a problem of that file, never of the
// database, so Python's own OSError family with `filename` set
// (FileExistsError, FileNotFoundError, PermissionError, ...), or
// MemoryError; never one of the database's FatalError classes.
// Header-only: both native modules raise it.
#pragma once

#include <Python.h>

#include <cerrno>
#include <cstring>
#include <string>

#include "error.h"
#include "fs_path.h"

namespace ambrik::py {

// Texts of the destination failures that carry no OS error number.
inline constexpr char kDestinationInUse[] = "destination is open in another program";

inline PyObject* raise_destination_error(const ambrik::Error& error, const std::string& path) {
  int number = EIO;
  std::string text = error.message();
  if (error.kind() == ErrorKind::LockFailed) {
    number = EBUSY;
    text = kDestinationInUse;
  } else if (error.kind() == ErrorKind::Io && error.os_errno() != 0) {
    number = error.os_errno();
    text = std::strerror(number);
  } else if (error.kind() == ErrorKind::Io) {
    number = error.io_kind() == IoKind::InvalidInput ? EINVAL : EIO;
    text = error.io_description();
  }
  if (number == ENOMEM) return PyErr_NoMemory();
  PyObject* name = fs_path_text(path);
  if (name == nullptr) return nullptr;
  // OSError picks the subclass that goes with the number.
  PyObject* exc = PyObject_CallFunction(PyExc_OSError, "isO", number, text.c_str(), name);
  Py_DECREF(name);
  if (exc == nullptr) return nullptr;
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
  return nullptr;
}

}  // namespace ambrik::py
