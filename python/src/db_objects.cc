// Ambrik methods on tags, client bytes and named roots.
//
// A tag argument is converted and checked for zero before any other
// argument: 0 means "untagged" to the engine, so a zero tag would silently
// address every untagged value.
#include <cstdint>
#include <string>
#include <vector>

#include "convert.h"
#include "db.h"
#include "db_engine.h"
#include "keymap/key_map.h"
#include "pending_record.h"

namespace ambrik::py {

// --- tags --------------------------------------------------------------------

namespace {

// The tag of a call that makes or deletes tagged values. Key maps keep their
// headers and nodes as values of their own tag: such a call could delete a
// map's nodes or add strays to them, so the tag is refused as 0 is. Listing
// its handles stays allowed (to_tag alone). The records of pages kept for
// readers in shared mode have theirs: deleting one would leak its pages.
bool to_writable_tag(PyObject* obj, const char* param, uint32_t* out) {
  if (!to_tag(obj, param, out)) return false;
  if (*out == ambrik::keymap::kMapTag) {
    PyErr_SetString(PyExc_ValueError, "tag must not be 0xFFFFFFFF (reserved for key maps)");
    return false;
  }
  if (*out == ambrik::kPendingFreeTag) {
    PyErr_SetString(PyExc_ValueError,
                    "tag must not be 0xFFFFFFFE (reserved for pages kept for readers)");
    return false;
  }
  return true;
}

}  // namespace

PyObject* db_allocate_tagged(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"value", "tag"};
  PyObject* a[2];
  if (bind_args(Signature{"allocate_tagged()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  uint32_t tag;
  if (!to_writable_tag(a[1], names[1], &tag)) return nullptr;
  ValueView value;
  if (!value.acquire(a[0])) return nullptr;
  auto r =
      with_engine(self, [&](TransactionManager& tm) { return tm.allocate(value.bytes(), tag); });
  if (!succeeded(r)) return nullptr;
  return PyLong_FromUnsignedLongLong(r->value());
}

PyObject* db_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"handle"};
  PyObject* a[1];
  if (bind_args(Signature{"tag()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) { return tm.tag(handle); });
  if (!succeeded(r)) return nullptr;
  if (r->value() == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(r->value());
}

PyObject* db_handles_with_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                              PyObject* kwnames) {
  static const char* const names[] = {"tag"};
  PyObject* a[1];
  if (bind_args(Signature{"handles_with_tag()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  uint32_t tag;
  if (!to_tag(a[0], names[0], &tag)) return nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) { return tm.handles_with_tag(tag); });
  if (!succeeded(r)) return nullptr;
  return handle_list(r->value());
}

PyObject* db_delete_tagged(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const names[] = {"handle", "tag"};
  PyObject* a[2];
  if (bind_args(Signature{"delete_tagged()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  uint32_t tag;
  if (!to_writable_tag(a[1], names[1], &tag)) return nullptr;
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.delete_tagged(handle, tag); }));
}

PyObject* db_delete_with_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"tag", "max"};
  PyObject* a[2];
  if (bind_args(Signature{"delete_with_tag()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  uint32_t tag;
  if (!to_writable_tag(a[0], names[0], &tag)) return nullptr;
  uint64_t max;
  if (!to_u64(a[1], names[1], &max)) return nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) { return tm.delete_with_tag(tag, max); });
  if (!succeeded(r)) return nullptr;
  PyObject* deleted = handle_list(r->value().deleted);
  if (deleted == nullptr) return nullptr;
  PyObject* result = PyTuple_Pack(2, deleted, r->value().complete ? Py_True : Py_False);
  Py_DECREF(deleted);
  return result;
}

// --- client byte ---------------------------------------------------------------

PyObject* db_client_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const char* const names[] = {"handle"};
  PyObject* a[1];
  if (bind_args(Signature{"client_byte()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) { return tm.client_byte(handle); });
  if (!succeeded(r)) return nullptr;
  return PyLong_FromUnsignedLong(r->value());
}

PyObject* db_set_client_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"handle", "byte"};
  PyObject* a[2];
  if (bind_args(Signature{"set_client_byte()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  uint8_t byte;
  if (!to_u8(a[1], names[1], &byte)) return nullptr;
  return none_or_error(with_engine(
      self, [&](TransactionManager& tm) { return tm.set_client_byte(handle, byte); }));
}

// --- named roots -----------------------------------------------------------------

PyObject* db_set_root_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const names[] = {"name", "handle"};
  PyObject* a[2];
  if (bind_args(Signature{"set_root_name()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  std::string name;
  if (!to_utf8(a[0], names[0], &name)) return nullptr;
  uint64_t handle;
  if (!to_u64(a[1], names[1], &handle)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.set_root_name(name, handle); }));
}

PyObject* db_get_root_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  static const char* const names[] = {"name"};
  PyObject* a[1];
  if (bind_args(Signature{"get_root_name()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  std::string name;
  if (!to_utf8(a[0], names[0], &name)) return nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) { return tm.get_root_name(name); });
  if (!succeeded(r)) return nullptr;
  if (!r->value()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*r->value());
}

PyObject* db_clear_root_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"name"};
  PyObject* a[1];
  if (bind_args(Signature{"clear_root_name()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  std::string name;
  if (!to_utf8(a[0], names[0], &name)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.clear_root_name(name); }));
}

}  // namespace ambrik::py
