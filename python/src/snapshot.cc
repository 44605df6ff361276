// The Snapshot object.
//
// Its reads take only the engine snapshot's own lock, never the database's,
// so a thread reading a snapshot does not wait for another thread's commit.
// The one rule that keeps the interpreter lock and the snapshot's lock from
// waiting on each other: nobody waits for a snapshot's lock while holding
// the interpreter (snapshot_access lets it go first; the database lets it go
// while it closes its snapshots; close() here as well).
#include "snapshot.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "convert.h"
#include "db_engine.h"
#include "entry.h"
#include "errors.h"
#include "fork_guard.h"
#include "heap_object.h"
#include "keymap.h"
#include "module.h"
#include "page.h"

namespace ambrik::py {

namespace {

struct SnapshotBody {
  explicit SnapshotBody(std::unique_ptr<Snapshot> s) noexcept
      : snap(std::move(s)), generation(fork_generation()) {}
  ~SnapshotBody() {
    // In a child the database's descriptor is closed and the lock may be
    // held for ever by a thread of the parent: the snapshot is only let go.
    if (generation != fork_generation()) (void)snap.release();
  }
  std::unique_ptr<Snapshot> snap;
  uint64_t generation;
};

Snapshot& snap_of(PyObject* self) { return *body_of<SnapshotBody>(self).snap; }

template <typename R>
bool ok_or_raise(const Result<R>& r) {
  if (r.ok()) return true;
  raise_engine_error(r.error());
  return false;
}

PyObject* snap_close(PyObject* self, PyObject*) {
  if (body_of<SnapshotBody>(self).generation == fork_generation()) {
    Py_BEGIN_ALLOW_THREADS
    snap_of(self).close();
    Py_END_ALLOW_THREADS
  }
  Py_RETURN_NONE;
}

PyObject* snap_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* snap_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"_exc_type", "_exc", "_tb"};
  PyObject* a[3];
  if (bind_args(Signature{"__exit__()", names, 3, 3, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  PyObject* closed = snap_close(self, nullptr);
  Py_XDECREF(closed);
  Py_RETURN_FALSE;
}

bool one_handle(const char* fn, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                uint64_t* handle) {
  static const char* const names[] = {"handle"};
  PyObject* a[1];
  if (bind_args(Signature{fn, names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return false;
  return to_u64(a[0], names[0], handle);
}

PyObject* snap_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint64_t handle;
  if (!one_handle("read()", args, nargs, kwnames, &handle)) return nullptr;
  auto a = snapshot_access(self);
  if (!a) return nullptr;
  // As Ambrik.read: straight into the new bytes object, the interpreter let
  // go for a value past one page.
  PyObject* out = nullptr;
  PyThreadState* released = nullptr;
  auto r = a->read_into(handle, [&](size_t n) -> uint8_t* {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return nullptr;
    out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    if (out == nullptr) return nullptr;
    if (n > kPageSize) released = PyEval_SaveThread();
    return reinterpret_cast<uint8_t*>(PyBytes_AsString(out));
  });
  if (released != nullptr) PyEval_RestoreThread(released);
  a.reset();
  if (!ok_or_raise(r)) {
    Py_XDECREF(out);
    return nullptr;
  }
  if (!r.value()) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    Py_XDECREF(out);
    return nullptr;
  }
  return out;
}

PyObject* snap_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  uint64_t handle;
  if (!one_handle("tag()", args, nargs, kwnames, &handle)) return nullptr;
  auto a = snapshot_access(self);
  if (!a) return nullptr;
  auto r = a->tag(handle);
  if (!ok_or_raise(r)) return nullptr;
  if (r.value() == 0) Py_RETURN_NONE;
  return PyLong_FromUnsignedLong(r.value());
}

PyObject* snap_client_byte(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                           PyObject* kwnames) {
  uint64_t handle;
  if (!one_handle("client_byte()", args, nargs, kwnames, &handle)) return nullptr;
  auto a = snapshot_access(self);
  if (!a) return nullptr;
  auto r = a->client_byte(handle);
  if (!ok_or_raise(r)) return nullptr;
  return PyLong_FromUnsignedLong(r.value());
}

PyObject* snap_handles(PyObject* self, PyObject*) {
  auto a = snapshot_access(self);
  if (!a) return nullptr;
  auto r = a->handles();
  a.reset();
  if (!ok_or_raise(r)) return nullptr;
  return handle_list(r.value());
}

PyObject* snap_handles_with_tag(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                PyObject* kwnames) {
  static const char* const names[] = {"tag"};
  PyObject* arg[1];
  if (bind_args(Signature{"handles_with_tag()", names, 1, 1, 0}, args, nargs, kwnames, arg) < 0) {
    return nullptr;
  }
  uint32_t tag;
  if (!to_tag(arg[0], names[0], &tag)) return nullptr;
  auto a = snapshot_access(self);
  if (!a) return nullptr;
  auto r = a->handles_with_tag(tag);
  a.reset();
  if (!ok_or_raise(r)) return nullptr;
  return handle_list(r.value());
}

PyObject* snap_get_root_name(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                             PyObject* kwnames) {
  static const char* const names[] = {"name"};
  PyObject* arg[1];
  if (bind_args(Signature{"get_root_name()", names, 1, 1, 0}, args, nargs, kwnames, arg) < 0) {
    return nullptr;
  }
  std::string name;
  if (!to_utf8(arg[0], names[0], &name)) return nullptr;
  auto a = snapshot_access(self);
  if (!a) return nullptr;
  auto r = a->get_root_name(name);
  if (!ok_or_raise(r)) return nullptr;
  if (!r.value()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*r.value());
}

PyObject* snap_closed(PyObject* self, void*) {
  if (body_of<SnapshotBody>(self).generation != fork_generation()) Py_RETURN_TRUE;
  bool busy = false;
  if (snap_of(self).try_access(busy)) Py_RETURN_FALSE;
  if (!busy) Py_RETURN_TRUE;
  Py_RETURN_FALSE;  // another thread is reading it
}

PyObject* snap_repr(PyObject* self) {
  PyObject* closed = snap_closed(self, nullptr);
  const bool is_closed = closed == Py_True;
  Py_XDECREF(closed);
  return PyUnicode_FromFormat("<ambrik.Snapshot of generation %llu%s>",
                              static_cast<unsigned long long>(snap_of(self).generation()),
                              is_closed ? " closed" : "");
}

#define AMBRIK_SNAP_DOC(name, params) #name "($self" params ")\n--\n\n"

PyMethodDef snap_methods[] = {
    AMBRIK_METHOD_NOARGS("__enter__", snap_enter, AMBRIK_SNAP_DOC(__enter__, "")),
    AMBRIK_METHOD_FAST("__exit__", snap_exit, AMBRIK_SNAP_DOC(__exit__, ", _exc_type, _exc, _tb")),
    AMBRIK_METHOD_NOARGS("close", snap_close, AMBRIK_SNAP_DOC(close, "")),
    AMBRIK_METHOD_FAST("read", snap_read, AMBRIK_SNAP_DOC(read, ", handle")),
    AMBRIK_METHOD_FAST("tag", snap_tag, AMBRIK_SNAP_DOC(tag, ", handle")),
    AMBRIK_METHOD_FAST("client_byte", snap_client_byte, AMBRIK_SNAP_DOC(client_byte, ", handle")),
    AMBRIK_METHOD_NOARGS("handles", snap_handles, AMBRIK_SNAP_DOC(handles, "")),
    AMBRIK_METHOD_FAST("handles_with_tag", snap_handles_with_tag,
                       AMBRIK_SNAP_DOC(handles_with_tag, ", tag")),
    AMBRIK_METHOD_FAST("get_root_name", snap_get_root_name,
                       AMBRIK_SNAP_DOC(get_root_name, ", name")),
    AMBRIK_METHOD_FAST("keymap", snapshot_keymap,
                       AMBRIK_SNAP_DOC(keymap, ", name")
                       "A read-only KeyMap of this commit, under the named root name."),
    {nullptr, nullptr, 0, nullptr},
};

#undef AMBRIK_SNAP_DOC

PyGetSetDef snap_getset[] = {
    {"closed", snap_closed, nullptr, "True once the snapshot is closed.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot snap_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "A read-only view of one commit; created by Ambrik.snapshot().")},
    {Py_tp_methods, snap_methods},
    {Py_tp_getset, snap_getset},
    {Py_tp_repr, reinterpret_cast<void*>(snap_repr)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SnapshotBody>)},
    {0, nullptr},
};

PyType_Spec snap_spec = {
    "ambrik._ambrik.Snapshot",
    kBasicSize<SnapshotBody>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    snap_slots,
};

}  // namespace

std::optional<Snapshot::Access> snapshot_access(PyObject* self) {
  std::optional<Snapshot::Access> a;
  if (body_of<SnapshotBody>(self).generation == fork_generation()) {
    bool busy = false;
    a = snap_of(self).try_access(busy);
    if (!a && busy) {
      Py_BEGIN_ALLOW_THREADS
      a = snap_of(self).access();
      Py_END_ALLOW_THREADS
    }
  }
  if (!a) raise_error(PyError::ClosedError, "snapshot is closed");
  return a;
}

PyObject* create_snapshot_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &snap_spec, nullptr);
}

PyObject* db_snapshot(PyObject* self, PyObject*) {
  ModuleState* state = module_state_of(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  // The engine refuses it too, with an Io error, which here would read as
  // a fatal one.
  if (!as_db(self)->path) {
    return raise_error(PyError::OperationalError,
                       "a snapshot reads the database file; a database in memory has none");
  }
  auto r = with_engine(self, [](TransactionManager& tm) { return tm.snapshot(); });
  if (!succeeded(r)) return nullptr;
  PyObject* out = new_object<SnapshotBody>(state->snapshot_type, std::move(r->value()));
  return out;  // on failure the engine snapshot closes with `r`
}

}  // namespace ambrik::py
