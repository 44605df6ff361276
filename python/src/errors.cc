#include "errors.h"

#include <cstdio>
#include <string>

#include "convert.h"
#include "error_table.h"
#include "fs_path.h"

namespace ambrik::py {

namespace {

constexpr int idx(PyError e) { return static_cast<int>(e); }
static_assert(idx(E::WriterBusyError) + 1 == kExceptionCount);

// OSError's str() names `filename` when it is set; the message of an
// IoError is its contract, so the file goes into the attribute only.
const char kIoErrorStr[] =
    "def __str__(self):\n"
    "    if self.filename is None:\n"
    "        return OSError.__str__(self)\n"
    "    if self.errno is not None and self.strerror is not None:\n"
    "        return f'[Errno {self.errno}] {self.strerror}'\n"
    "    return BaseException.__str__(self)\n";

const char kIoErrorDoc[] =
    "Fatal I/O error. Subclasses both ambrik.FatalError and the builtin OSError, so it "
    "is catchable as either; .errno is OSError's native attribute and .kind is the I/O "
    "error kind name string.";

// Process-wide: shared by every module initialisation, never released. All
// access happens with the interpreter lock held.
PyObject* g_classes[kExceptionCount] = {};
PyObject* g_io_error = nullptr;
// Raised for conditions valid use cannot produce. It derives from
// BaseException so that handlers written for the database's own errors (or
// for Exception) do not swallow a broken invariant.
PyObject* g_internal = nullptr;

PyObject* internal_class() {
  if (g_internal == nullptr) {
    g_internal = PyErr_NewException("_ambrik.FatalInternalError", PyExc_BaseException, nullptr);
  }
  return g_internal;
}

PyObject* raise_internal(const std::string& text) {
  PyObject* cls = internal_class();
  if (cls == nullptr) return nullptr;
  PyObject* msg = PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (msg == nullptr) return nullptr;
  PyErr_SetObject(cls, msg);
  Py_DECREF(msg);
  return nullptr;
}

int ensure_classes() {
  for (int i = 0; i < kExceptionCount; ++i) {
    if (i == idx(E::IoError) || g_classes[i] != nullptr) continue;
    PyObject* base =
        i == idx(E::AmbrikError) ? PyExc_Exception : g_classes[idx(kClasses[i].parent)];
    char qualified[64];
    std::snprintf(qualified, sizeof qualified, "_ambrik.%s", kClasses[i].name);
    PyObject* cls = PyErr_NewException(qualified, base, nullptr);
    if (cls == nullptr) {
      PyErr_Clear();
      raise_internal("Failed to initialize new exception type.");
      return -1;
    }
    g_classes[i] = cls;
  }
  return 0;
}

// Defines IoError.__str__ (kIoErrorStr) in the class namespace `ns`.
int define_io_error_str(PyObject* builtins, PyObject* ns) {
  PyObject* globals = PyDict_New();
  if (globals == nullptr) return -1;
  int rc = PyDict_SetItemString(globals, "__builtins__", builtins);
  PyObject* done = rc < 0 ? nullptr
                          : PyObject_CallMethod(builtins, "exec", "sO", kIoErrorStr, globals);
  PyObject* fn = done == nullptr ? nullptr : PyDict_GetItemString(globals, "__str__");
  rc = fn == nullptr ? -1 : PyDict_SetItemString(ns, "__str__", fn);
  Py_XDECREF(done);
  Py_DECREF(globals);
  if (rc < 0 && !PyErr_Occurred()) PyErr_SetString(PyExc_RuntimeError, "IoError.__str__");
  return rc;
}

PyObject* build_io_error() {
  PyObject* builtins = PyImport_ImportModule("builtins");
  if (builtins == nullptr) return nullptr;
  PyObject* type_fn = PyObject_GetAttrString(builtins, "type");
  if (type_fn == nullptr) {
    Py_DECREF(builtins);
    return nullptr;
  }

  PyObject* result = nullptr;
  PyObject* ns = nullptr;
  PyObject* bases = PyTuple_Pack(2, g_classes[idx(E::FatalError)], PyExc_OSError);
  if (bases == nullptr) goto done;
  ns = PyDict_New();
  if (ns == nullptr) goto done;
  {
    PyObject* module_name = PyUnicode_FromString("_ambrik");
    PyObject* doc = PyUnicode_FromString(kIoErrorDoc);
    bool ok = module_name != nullptr && doc != nullptr &&
              PyDict_SetItemString(ns, "__module__", module_name) == 0 &&
              PyDict_SetItemString(ns, "__doc__", doc) == 0 && define_io_error_str(builtins, ns) == 0;
    Py_XDECREF(module_name);
    Py_XDECREF(doc);
    if (!ok) goto done;
  }
  result = PyObject_CallFunction(type_fn, "sOO", "IoError", bases, ns);
  if (result != nullptr && !PyType_Check(result)) {
    raise_downcast(result, "type");
    Py_CLEAR(result);
  }
done:
  Py_XDECREF(ns);
  Py_XDECREF(bases);
  Py_DECREF(type_fn);
  Py_DECREF(builtins);
  return result;
}

PyObject* raise_io_error(const ambrik::Error& error, PyObject* message) {
  if (g_io_error == nullptr) {
    PyErr_SetObject(g_classes[idx(E::FatalError)], message);
    return nullptr;
  }
  PyObject* args = error.os_errno() != 0
                       ? Py_BuildValue("(iO)", error.os_errno(), message)
                       : PyTuple_Pack(1, message);
  if (args == nullptr) return nullptr;
  PyObject* exc = PyObject_Call(g_io_error, args, nullptr);
  Py_DECREF(args);
  if (exc == nullptr) return nullptr;
  PyObject* kind = PyUnicode_FromString(io_kind_name(error.io_kind()));
  if (kind == nullptr || PyObject_SetAttrString(exc, "kind", kind) < 0) {
    Py_XDECREF(kind);
    Py_DECREF(exc);
    return nullptr;
  }
  Py_DECREF(kind);
  PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc)), exc);
  Py_DECREF(exc);
  return nullptr;
}

}  // namespace

int add_exception_classes(PyObject* module) {
  if (ensure_classes() < 0) return -1;
  for (int i = 0; i < kExceptionCount; ++i) {
    if (i != idx(E::IoError)) {
      if (PyModule_AddObjectRef(module, kClasses[i].name, g_classes[i]) < 0) return -1;
      continue;
    }
    PyObject* io_error = build_io_error();
    if (io_error == nullptr) return -1;
    // The first class built stays the one the error mapping raises, so that
    // errors from any database object are instances of one class.
    if (g_io_error == nullptr) g_io_error = Py_NewRef(io_error);
    int rc = PyModule_AddObjectRef(module, "IoError", io_error);
    Py_DECREF(io_error);
    if (rc < 0) return -1;
  }
  return 0;
}

PyObject* raise_error(PyError cls, const char* message) {
  if (ensure_classes() == 0) PyErr_SetString(g_classes[idx(cls)], message);
  return nullptr;
}

PyObject* raise_internal_error(const char* text) { return raise_internal(text); }

void name_file_of_error(const std::string& path) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value == nullptr) {
    PyErr_Restore(type, value, tb);
    return;
  }
  // Best effort: the error being raised matters more than its note.
  PyObject* name = fs_path_text(path);
  PyObject* note = name == nullptr ? nullptr : PyUnicode_FromFormat("while opening %R", name);
  PyObject* added = note == nullptr ? nullptr : PyObject_CallMethod(value, "add_note", "O", note);
  if (added != nullptr && g_io_error != nullptr && PyObject_IsInstance(value, g_io_error) == 1) {
    if (PyObject_SetAttrString(value, "filename", name) < 0) PyErr_Clear();
  }
  if (PyErr_Occurred()) PyErr_Clear();
  Py_XDECREF(added);
  Py_XDECREF(note);
  Py_XDECREF(name);
  PyErr_Restore(type, value, tb);
}

PyObject* raise_closed() {
  return raise_error(PyError::ClosedError, "database handle has been closed");
}

PyObject* raise_engine_error(const ambrik::Error& error) {
  if (error.kind() == ErrorKind::Internal) return raise_internal(error.message());
  if (ensure_classes() < 0) return nullptr;
  std::string text = error.message();
  // OS descriptions come from strerror, whose bytes depend on the locale.
  PyObject* message =
      PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
  if (message == nullptr) return nullptr;
  if (error.kind() == ErrorKind::Io) {
    raise_io_error(error, message);
  } else {
    PyErr_SetObject(g_classes[idx(kClassOfKind[static_cast<int>(error.kind())])], message);
  }
  Py_DECREF(message);
  return nullptr;
}

}  // namespace ambrik::py
