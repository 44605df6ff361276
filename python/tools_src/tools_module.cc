// Module ambrik._tools: the operator tools (check, stats, compact) of the
// command line, over the engine's tool layer. Kept apart from _ambrik so
// that the database module's surface stays exactly what it is.
//
// Each function takes a path (str or path-like), an optional key (bytes: a
// raw key, str: a passphrase) and a progress flag, runs the engine with the
// interpreter lock released, and returns the report as JSON text. Engine
// errors are raised as the matching exception class of ambrik._ambrik.
#include <Python.h>

#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <optional>
#include <string>

#include "destination_error.h"
#include "error.h"
#include "error_table.h"
#include "fork_guard.h"
#include "fs_path.h"
#include "released_gil.h"
#include "tools/checker.h"
#include "tools/compactor.h"
#include "tools/report_json.h"

namespace {

using ambrik::Error;
using ambrik::Key;
using ambrik::KeyKind;

bool path_arg(PyObject* obj, std::string& out) { return ambrik::py::to_fs_path(obj, &out); }

// None, bytes (raw key) or str (passphrase); false with an exception set.
bool key_arg(PyObject* obj, std::optional<Key>& out) {
  if (obj == nullptr || obj == Py_None) return true;
  const char* data = nullptr;
  Py_ssize_t len = 0;
  Key key;
  if (PyBytes_Check(obj)) {
    char* raw = nullptr;
    if (PyBytes_AsStringAndSize(obj, &raw, &len) < 0) return false;
    data = raw;
    key.kind = KeyKind::Raw;
  } else if (PyUnicode_Check(obj)) {
    data = PyUnicode_AsUTF8AndSize(obj, &len);
    if (data == nullptr) return false;
    key.kind = KeyKind::Passphrase;
  } else {
    PyErr_SetString(PyExc_TypeError, "key must be bytes, str or None");
    return false;
  }
  key.bytes = ambrik::SecretBytes(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(len));
  out = std::move(key);
  return true;
}

static_assert(static_cast<int>(ambrik::ErrorKind::Internal) == ambrik::kErrorKindCount);

PyObject* raise_engine_error(const Error& err) {
  std::string message = err.message();
  if (err.kind() == ambrik::ErrorKind::Internal) {
    PyErr_SetString(PyExc_RuntimeError, message.c_str());
    return nullptr;
  }
  PyObject* module = PyImport_ImportModule("ambrik._ambrik");
  if (module == nullptr) return nullptr;
  PyObject* cls = PyObject_GetAttrString(module, ambrik::py::class_name_of(err.kind()));
  Py_DECREF(module);
  if (cls == nullptr) return nullptr;
  PyErr_SetString(cls, message.c_str());
  Py_DECREF(cls);
  return nullptr;
}

// Progress on standard error, at most ten times a second, when asked for
// (the caller asks only when standard error is a terminal).
ambrik::tools::ProgressFn progress_printer(bool enabled, const char* label) {
  if (!enabled) return nullptr;
  auto last = std::make_shared<std::chrono::steady_clock::time_point>();
  return [last, label](uint64_t done, uint64_t total) {
    auto now = std::chrono::steady_clock::now();
    const bool end = done >= total;
    if (!end && now - *last < std::chrono::milliseconds(100)) return;
    *last = now;
    char line[128];
    int n = end ? std::snprintf(line, sizeof line, "\r\033[K")
                : std::snprintf(line, sizeof line, "\r%s: %llu / %llu pages", label,
                                static_cast<unsigned long long>(done),
                                static_cast<unsigned long long>(total));
    if (n > 0) {
      ssize_t w = ::write(2, line, static_cast<size_t>(n));
      (void)w;
    }
  };
}

// Seconds to wait for a file in use: NaN and negatives are refused.
bool wait_arg(double wait) {
  if (wait >= 0.0) return true;
  PyErr_SetString(PyExc_ValueError, "wait must be a non-negative number of seconds");
  return false;
}

PyObject* json_result(const std::string& text) {
  return PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace");
}

// Each function's one exception boundary: converting the arguments
// allocates too (the path, the key, the progress printer), and no C++
// exception may reach the interpreter.
template <PyCFunctionWithKeywords F>
PyObject* guarded(PyObject* self, PyObject* args, PyObject* kwargs) noexcept {
  try {
    return F(self, args, kwargs);
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, "unexpected C++ exception");
    return nullptr;
  }
}

// Runs `fn(access)` without the interpreter lock: `access` waits `wait`
// seconds for a file in use (answering Ctrl-C meanwhile) and tracks the
// descriptors the tool opens, so that a child forked meanwhile does not keep
// them. `dst`: the destination of a copy, whose failures are its own.
template <typename Fn>
PyObject* run_engine(double wait, Fn&& fn, ambrik::tools::Destination* dst = nullptr) {
  ambrik::py::RegistryWatch watch;
  ambrik::py::ReleasedGil gil;
  ambrik::tools::FileAccess access;
  access.lock_timeout_seconds = wait;
  access.between_polls = gil.lock_poll();
  access.watch = &watch;
  std::optional<Error> error;
  std::optional<Error> destination_failure;
  std::string text;
  try {
    gil.release();
    try {
      auto result = fn(access);
      if (result.ok()) text = ambrik::tools::to_json(result.value());
      else error = result.error();
      if (dst) destination_failure = dst->failure();
    } catch (...) {
      gil.reacquire();
      throw;
    }
    gil.reacquire();
  } catch (const std::bad_alloc&) {
    return PyErr_NoMemory();
  } catch (const std::exception& e) {
    // Only the standard library throws here (no engine call does); report it
    // rather than let it cross into the interpreter.
    PyErr_SetString(PyExc_RuntimeError, e.what());
    return nullptr;
  }
  if (error && PyErr_Occurred()) return nullptr;  // a signal ended a wait for the file
  if (destination_failure)
    return ambrik::py::raise_destination_error(*destination_failure, dst->path());
  if (error) return raise_engine_error(*error);
  return json_result(text);
}

PyObject* tools_check(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"path", "key", "progress", "wait", nullptr};
  PyObject* path_obj = nullptr;
  PyObject* key_obj = Py_None;
  int progress = 0;
  double wait = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Opd:check", const_cast<char**>(kwlist),
                                   &path_obj, &key_obj, &progress, &wait) ||
      !wait_arg(wait)) {
    return nullptr;
  }
  std::string path;
  std::optional<Key> key;
  if (!path_arg(path_obj, path) || !key_arg(key_obj, key)) return nullptr;
  auto show = progress_printer(progress != 0, "check");
  return run_engine(wait, [&](const ambrik::tools::FileAccess& access) {
    return ambrik::tools::check_file(path, key, show, access);
  });
}

PyObject* tools_stats(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"path", "key", "progress", "wait", nullptr};
  PyObject* path_obj = nullptr;
  PyObject* key_obj = Py_None;
  int progress = 0;
  double wait = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "O|Opd:stats", const_cast<char**>(kwlist),
                                   &path_obj, &key_obj, &progress, &wait) ||
      !wait_arg(wait)) {
    return nullptr;
  }
  std::string path;
  std::optional<Key> key;
  if (!path_arg(path_obj, path) || !key_arg(key_obj, key)) return nullptr;
  auto show = progress_printer(progress != 0, "stats");
  return run_engine(wait, [&](const ambrik::tools::FileAccess& access) {
    return ambrik::tools::stats_file(path, key, show, access);
  });
}

PyObject* tools_compact(PyObject*, PyObject* args, PyObject* kwargs) {
  static const char* kwlist[] = {"src", "dst", "key", "overwrite", "progress", "wait", nullptr};
  PyObject* src_obj = nullptr;
  PyObject* dst_obj = nullptr;
  PyObject* key_obj = Py_None;
  int overwrite = 0;
  int progress = 0;
  double wait = 0.0;
  if (!PyArg_ParseTupleAndKeywords(args, kwargs, "OO|Oppd:compact", const_cast<char**>(kwlist),
                                   &src_obj, &dst_obj, &key_obj, &overwrite, &progress, &wait) ||
      !wait_arg(wait)) {
    return nullptr;
  }
  std::string src, dst_path;
  std::optional<Key> key;
  if (!path_arg(src_obj, src) || !path_arg(dst_obj, dst_path) || !key_arg(key_obj, key))
    return nullptr;
  auto show = progress_printer(progress != 0, "compact");
  ambrik::py::RegistryWatch watch;
  ambrik::tools::Destination dst(dst_path, overwrite != 0, &watch);
  return run_engine(
      wait,
      [&](const ambrik::tools::FileAccess& access) {
        return ambrik::tools::compact_file(src, dst, key, show, access);
      },
      &dst);
}

PyMethodDef tools_methods[] = {
    {"check", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<tools_check>)),
     METH_VARARGS | METH_KEYWORDS,
     "check(path, key=None, progress=False, wait=0.0)\n--\n\nVerify a closed database file; JSON report."},
    {"stats", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<tools_stats>)),
     METH_VARARGS | METH_KEYWORDS,
     "stats(path, key=None, progress=False, wait=0.0)\n--\n\nDescribe a closed database file; JSON report."},
    {"compact", reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)(void)>(guarded<tools_compact>)),
     METH_VARARGS | METH_KEYWORDS,
     "compact(src, dst, key=None, overwrite=False, progress=False, wait=0.0)\n--\n\n"
     "Write the committed state of src into a new, compact file dst; JSON report."},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef_Slot tools_slots[] = {
    {0, nullptr},
};

PyModuleDef tools_module = {
    PyModuleDef_HEAD_INIT,
    "_tools",
    "Operator tools over closed database files (used by `python -m ambrik`).",
    0,
    tools_methods,
    tools_slots,
    nullptr,
    nullptr,
    nullptr,
};

}  // namespace

PyMODINIT_FUNC PyInit__tools(void) {
  // The descriptors a tool holds are closed in children forked meanwhile.
  if (!ambrik::py::install_fork_handler()) {
    PyErr_SetString(PyExc_RuntimeError, "cannot install the fork handler");
    return nullptr;
  }
  return PyModuleDef_Init(&tools_module);
}
