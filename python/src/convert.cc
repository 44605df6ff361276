#include "convert.h"

#include <cstring>
#include <limits>
#include <string>
#include <utility>

#include "drain_insertion.h"
#include "fs_path.h"

namespace ambrik::py {

namespace {

// "'a'", "'a' and 'b'", "'a', 'b' and 'c'": CPython's wording for lists of
// missing parameters.
std::string quoted_list(const std::vector<const char*>& names) {
  std::string s;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) s += (i + 1 == names.size()) ? (names.size() > 2 ? ", and " : " and ") : ", ";
    s += '\'';
    s += names[i];
    s += '\'';
  }
  return s;
}

void raise_too_many_positional(const Signature& sig, Py_ssize_t given) {
  const char* was = given == 1 ? "was" : "were";
  if (sig.required == sig.positional) {
    PyErr_Format(PyExc_TypeError, "%s takes %d positional argument%s but %zd %s given",
                 sig.function, sig.positional, sig.positional == 1 ? "" : "s", given, was);
  } else {
    PyErr_Format(PyExc_TypeError, "%s takes from %d to %d positional arguments but %zd %s given",
                 sig.function, sig.required, sig.positional, given, was);
  }
}

// Replaces a pending TypeError/OverflowError by one of the same class whose
// message names the parameter; the original becomes its cause.
void name_parameter(const char* param) {
  if (!PyErr_ExceptionMatches(PyExc_TypeError) && !PyErr_ExceptionMatches(PyExc_OverflowError)) {
    return;
  }
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (tb != nullptr && value != nullptr) PyException_SetTraceback(value, tb);
  PyObject* text = value != nullptr ? PyObject_Str(value) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    PyErr_Restore(type, value, tb);
    return;
  }
  PyErr_Format(type, "argument '%s': %U", param, text);
  Py_DECREF(text);
  PyObject *ntype, *nvalue, *ntb;
  PyErr_Fetch(&ntype, &nvalue, &ntb);
  PyErr_NormalizeException(&ntype, &nvalue, &ntb);
  if (nvalue != nullptr && value != nullptr) PyException_SetCause(nvalue, Py_NewRef(value));
  PyErr_Restore(ntype, nvalue, ntb);
  Py_XDECREF(type);
  Py_XDECREF(value);
  Py_XDECREF(tb);
}

// Byte-sized item formats: `code` alone or after one of the prefixes that
// leave a single byte unchanged ("<" and "!" are refused, as the stable
// buffer check has always done).
bool format_is(const char* format, const char* codes) {
  if (format == nullptr) return std::string(codes).find('B') != std::string::npos;
  const char* p = format;
  if (*p == '@' || *p == '=' || *p == '>') ++p;
  return p[0] != '\0' && p[1] == '\0' && std::string(codes).find(p[0]) != std::string::npos;
}

}  // namespace

int bind_args(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
              PyObject** out) {
  const int total = sig.positional + sig.keyword_only;
  for (int i = 0; i < total; ++i) out[i] = nullptr;

  if (nargs > sig.positional) {
    raise_too_many_positional(sig, nargs);
    return -1;
  }
  for (Py_ssize_t i = 0; i < nargs; ++i) out[i] = args[i];

  if (kwnames != nullptr) {
    // The tuple's items are the names of args[nargs], args[nargs + 1], ...
    const Py_ssize_t nkw = PyTuple_Size(kwnames);
    for (Py_ssize_t k = 0; k < nkw; ++k) {
      PyObject* key = PyTuple_GetItem(kwnames, k);
      PyObject* value = args[nargs + k];
      if (!PyUnicode_Check(key)) {
        PyErr_Format(PyExc_TypeError, "%s keywords must be strings", sig.function);
        return -1;
      }
      int found = -1;
      for (int i = 0; i < total; ++i) {
        if (PyUnicode_CompareWithASCIIString(key, sig.names[i]) == 0) {
          found = i;
          break;
        }
      }
      if (found < 0) {
        PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'", sig.function,
                     key);
        return -1;
      }
      if (out[found] != nullptr) {
        PyErr_Format(PyExc_TypeError, "%s got multiple values for argument '%s'", sig.function,
                     sig.names[found]);
        return -1;
      }
      out[found] = value;
    }
  }

  std::vector<const char*> missing;
  for (int i = 0; i < sig.required; ++i) {
    if (out[i] == nullptr) missing.push_back(sig.names[i]);
  }
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s missing %zu required positional argument%s: %s",
                 sig.function, missing.size(), missing.size() == 1 ? "" : "s",
                 quoted_list(missing).c_str());
    return -1;
  }
  return 0;
}

PyObject* raise_downcast(PyObject* obj, const char* target, const char* param) {
  PyObject* name = PyType_GetName(Py_TYPE(obj));
  if (name == nullptr) return nullptr;
  if (param != nullptr) {
    PyErr_Format(PyExc_TypeError, "argument '%s': '%U' object is not an instance of '%s'", param,
                 name, target);
  } else {
    PyErr_Format(PyExc_TypeError, "'%U' object is not an instance of '%s'", name, target);
  }
  Py_DECREF(name);
  return nullptr;
}

ValueView::~ValueView() {
  if (held_) PyBuffer_Release(&view_);
}

bool ValueView::acquire(PyObject* obj) {
  if (held_) {
    PyBuffer_Release(&view_);
    held_ = false;
  }
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError,
                    "values must be bytes-like; got str \u2014 encode first, e.g. s.encode('utf-8')");
    return false;
  }
  // Filled in place: an exporter may point the view's shape into the view.
  if (PyObject_GetBuffer(obj, &view_, PyBUF_FULL_RO) < 0) {
    // A buffer object that refuses for its own reason (a released
    // memoryview's ValueError) says more than "not bytes-like" would.
    if (PyErr_ExceptionMatches(PyExc_ValueError)) return false;
    PyErr_Clear();
    PyErr_SetString(PyExc_TypeError, "values must be bytes-like (implement the buffer protocol)");
    return false;
  }
  held_ = true;
  // Signed bytes are stored as their two's-complement bit patterns.
  if (view_.itemsize != 1 || !(format_is(view_.format, "Bc") || format_is(view_.format, "b"))) {
    PyErr_SetString(PyExc_TypeError, "values must be bytes-like (implement the buffer protocol)");
    return false;
  }
  // A C-contiguous buffer of bytes starts at `buf` and holds `len` bytes in
  // order, so the engine can read it in place.
  if (!PyBuffer_IsContiguous(&view_, 'C')) {
    PyErr_SetString(PyExc_BufferError, "bytes-like buffer must be C-contiguous");
    return false;
  }
  return true;
}

bool to_u64(PyObject* obj, const char* param, uint64_t* out) {
  PyObject* index = PyNumber_Index(obj);
  if (index == nullptr) {
    name_parameter(param);
    return false;
  }
  unsigned long long v = PyLong_AsUnsignedLongLong(index);
  Py_DECREF(index);
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    name_parameter(param);
    return false;
  }
  *out = v;
  return true;
}

namespace {

template <typename T>
bool to_narrow(PyObject* obj, const char* param, const char* width, T* out) {
  uint64_t v;
  if (!to_u64(obj, param, &v)) return false;
  if (v > std::numeric_limits<T>::max()) {
    PyErr_Format(PyExc_OverflowError, "argument '%s': int too big for a %s-bit unsigned integer",
                 param, width);
    return false;
  }
  *out = static_cast<T>(v);
  return true;
}

}  // namespace

bool to_u32(PyObject* obj, const char* param, uint32_t* out) {
  return to_narrow(obj, param, "32", out);
}

bool to_u8(PyObject* obj, const char* param, uint8_t* out) {
  return to_narrow(obj, param, "8", out);
}

bool to_tag(PyObject* obj, const char* param, uint32_t* out) {
  if (!to_u32(obj, param, out)) return false;
  if (*out == 0) {
    PyErr_SetString(PyExc_ValueError, "tag must be non-zero");
    return false;
  }
  return true;
}

bool to_utf8(PyObject* obj, const char* param, std::string* out) {
  if (!PyUnicode_Check(obj)) {
    raise_downcast(obj, "str", param);
    return false;
  }
  Py_ssize_t size;
  const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
  if (utf8 == nullptr) return false;
  out->assign(utf8, static_cast<size_t>(size));
  return true;
}

bool to_bool(PyObject* obj, const char* param, bool* out) {
  if (PyBool_Check(obj)) {
    *out = obj == Py_True;
    return true;
  }
  // numpy.bool_ counts as a boolean; numpy is consulted only if the caller
  // has already imported it.
  PyObject* numpy_name = PyUnicode_FromString("numpy");
  if (numpy_name == nullptr) return false;
  PyObject* numpy = PyImport_GetModule(numpy_name);
  Py_DECREF(numpy_name);
  if (numpy == nullptr && PyErr_Occurred()) return false;
  if (numpy != nullptr) {
    PyObject* np_bool = PyObject_GetAttrString(numpy, "bool_");
    Py_DECREF(numpy);
    if (np_bool == nullptr) {
      PyErr_Clear();
    } else {
      int is = PyObject_IsInstance(obj, np_bool);
      Py_DECREF(np_bool);
      if (is < 0) return false;
      if (is) {
        int truth = PyObject_IsTrue(obj);
        if (truth < 0) return false;
        *out = truth != 0;
        return true;
      }
    }
  }
  raise_downcast(obj, "bool", param);
  return false;
}

bool to_u64_list(PyObject* obj, const char* param, std::vector<uint64_t>* out) {
  if (PyUnicode_Check(obj)) {
    PyErr_Format(PyExc_TypeError, "argument '%s': a str is not a sequence of handles", param);
    return false;
  }
  if (!PySequence_Check(obj)) {
    raise_downcast(obj, "Sequence", param);
    return false;
  }
  // Converting an item may run Python code (__index__) that mutates the
  // caller's sequence; work on a snapshot.
  PyObject* items = PySequence_Tuple(obj);
  if (items == nullptr) {
    name_parameter(param);
    return false;
  }
  Py_ssize_t n = PyTuple_Size(items);
  out->clear();
  out->reserve(static_cast<size_t>(n));
  for (Py_ssize_t i = 0; i < n; ++i) {
    uint64_t v;
    if (!to_u64(PyTuple_GetItem(items, i), param, &v)) {
      Py_DECREF(items);
      return false;
    }
    out->push_back(v);
  }
  Py_DECREF(items);
  return true;
}

bool to_path(PyObject* obj, std::optional<std::string>* out) {
  if (obj == nullptr || obj == Py_None) {
    out->reset();
    return true;
  }
  std::string path;
  if (!to_fs_path(obj, &path)) return false;
  *out = std::move(path);
  return true;
}

bool to_key(PyObject* obj, const char* type_error_message, ambrik::Key* out) {
  if (PyBytes_Check(obj)) {
    char* data;
    Py_ssize_t size;
    if (PyBytes_AsStringAndSize(obj, &data, &size) < 0) return false;
    out->kind = ambrik::KeyKind::Raw;
    out->bytes = ambrik::SecretBytes(reinterpret_cast<const uint8_t*>(data), static_cast<size_t>(size));
    return true;
  }
  if (PyUnicode_Check(obj)) {
    Py_ssize_t size;
    const char* utf8 = PyUnicode_AsUTF8AndSize(obj, &size);
    if (utf8 == nullptr) return false;
    out->kind = ambrik::KeyKind::Passphrase;
    out->bytes = ambrik::SecretBytes(reinterpret_cast<const uint8_t*>(utf8), static_cast<size_t>(size));
    return true;
  }
  PyErr_SetString(PyExc_TypeError, type_error_message);
  return false;
}

bool to_drain_insertion(PyObject* obj, const char* param, ambrik::DrainInsertion* out) {
  int value = drain_insertion_value(obj);
  if (value < 0) {
    raise_downcast(obj, "DrainInsertion", param);
    return false;
  }
  *out = static_cast<ambrik::DrainInsertion>(value);
  return true;
}

}  // namespace ambrik::py
