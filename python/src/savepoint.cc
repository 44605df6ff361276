#include "savepoint.h"

#include <atomic>
#include <string>

#include "convert.h"
#include "db.h"
#include "entry.h"
#include "errors.h"
#include "heap_object.h"

namespace ambrik::py {

namespace {

struct SavepointBody {
  SavepointBody(PyObject* database, PyObject* savepoint_name) noexcept
      : name(Py_NewRef(savepoint_name)), db(Py_NewRef(database)) {}
  ~SavepointBody() {
    Py_XDECREF(db);
    Py_XDECREF(name);
  }

  PyObject* name;  // str
  PyObject* db;    // strong reference to the Ambrik
  std::atomic<bool> finished{false};
};

SavepointBody* as_sp(PyObject* obj) { return &body_of<SavepointBody>(obj); }

PyObject* sp_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

using EngineCall = PyObject* (*)(PyObject* db, const std::string& name);

// Runs `call` for this savepoint's name. The caller has already marked the
// object finished, and it stays so whatever the engine says: the object
// stands for one release or roll-back, even though the engine keeps the
// savepoint open after rolling back to it.
PyObject* run_on_name(PyObject* self, EngineCall call) {
  std::string name;
  if (!to_utf8(as_sp(self)->name, "name", &name)) return nullptr;
  return call(as_sp(self)->db, name);
}

// Marks the object finished; true if this call was the one that did so.
bool finish_savepoint(PyObject* self) { return !as_sp(self)->finished.exchange(true); }

PyObject* raise_savepoint_finished() {
  return raise_error(PyError::AlreadyFinishedError,
                     "savepoint already finished (released or rolled back)");
}

PyObject* sp_release(PyObject* self, PyObject*) {
  if (!finish_savepoint(self)) return raise_savepoint_finished();
  return run_on_name(self, db_release);
}

PyObject* sp_rollback_to(PyObject* self, PyObject*) {
  if (!finish_savepoint(self)) return raise_savepoint_finished();
  return run_on_name(self, db_rollback_to);
}

PyObject* sp_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"exc_type", "_exc", "_tb"};
  PyObject* a[3];
  if (bind_args(Signature{"__exit__()", names, 3, 3, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  if (!finish_savepoint(self)) Py_RETURN_FALSE;
  PyObject* done = run_on_name(self, a[0] == Py_None ? db_release : db_rollback_to);
  if (done == nullptr) return nullptr;
  Py_DECREF(done);
  Py_RETURN_FALSE;
}

PyObject* sp_name(PyObject* self, void*) { return Py_NewRef(as_sp(self)->name); }

PyObject* sp_repr(PyObject* self) {
  const char* state = as_sp(self)->finished.load() ? "finished" : "active";
  PyObject* name = as_sp(self)->name;  // cleared only by the collector
  if (name == nullptr) return PyUnicode_FromFormat("<ambrik.Savepoint %s>", state);
  return PyUnicode_FromFormat("<ambrik.Savepoint %R %s>", name, state);
}

int sp_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_sp(self)->db);
  Py_VISIT(as_sp(self)->name);
  return 0;
}

int sp_clear(PyObject* self) {
  Py_CLEAR(as_sp(self)->db);
  Py_CLEAR(as_sp(self)->name);
  return 0;
}

PyMethodDef sp_methods[] = {
    AMBRIK_METHOD_NOARGS("__enter__", sp_enter, "__enter__($self)\n--\n\n"),
    AMBRIK_METHOD_FAST("__exit__", sp_exit, "__exit__($self, exc_type, _exc, _tb)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("release", sp_release, "release($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("rollback_to", sp_rollback_to, "rollback_to($self)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef sp_getset[] = {
    {"name", sp_name, nullptr, "The savepoint's name.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot sp_slots[] = {
    {Py_tp_doc, const_cast<char*>("A named savepoint inside a running transaction.")},
    {Py_tp_methods, sp_methods},
    {Py_tp_getset, sp_getset},
    {Py_tp_repr, reinterpret_cast<void*>(sp_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(sp_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(sp_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<SavepointBody>)},
    {0, nullptr},
};

PyType_Spec sp_spec = {
    "ambrik._ambrik.Savepoint",
    kBasicSize<SavepointBody>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    sp_slots,
};

}  // namespace

PyObject* create_savepoint_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &sp_spec, nullptr);
}

PyObject* new_savepoint(PyObject* type, PyObject* db, PyObject* name) {
  return new_object<SavepointBody>(type, db, name);
}

}  // namespace ambrik::py
