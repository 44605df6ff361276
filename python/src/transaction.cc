#include "transaction.h"

#include <atomic>
#include <new>
#include <string>

#include "convert.h"
#include "db.h"
#include "entry.h"
#include "errors.h"
#include "module.h"
#include "savepoint.h"

namespace ambrik::py {

namespace {

struct TransactionObject {
  PyObject_HEAD
  PyObject* db;  // strong reference to the Ambrik that began it
  std::atomic<bool> finished;
};

TransactionObject* as_txn(PyObject* obj) { return reinterpret_cast<TransactionObject*>(obj); }

// Marks the object finished; true if this call was the one that did so.
bool finish(PyObject* self) { return !as_txn(self)->finished.exchange(true); }

PyObject* raise_already_finished() {
  return raise_error(PyError::AlreadyFinishedError,
                     "transaction already finished (committed or rolled back)");
}

PyObject* txn_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* txn_exit(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"exc_type", "_exc", "_tb"};
  PyObject* a[3];
  if (bind_args(Signature{"__exit__()", names, 3, 3, 0}, args, kwargs, a) < 0) return nullptr;
  if (!finish(self)) Py_RETURN_FALSE;
  PyObject* db = as_txn(self)->db;
  PyObject* done = a[0] == Py_None ? db_commit(db, nullptr) : db_rollback(db, nullptr);
  if (done == nullptr) return nullptr;
  Py_DECREF(done);
  Py_RETURN_FALSE;
}

// The object stays finished even when the engine call fails: a failed commit
// has poisoned the database or discarded nothing worth retrying here.
PyObject* txn_commit(PyObject* self, PyObject*) {
  if (!finish(self)) return raise_already_finished();
  return db_commit(as_txn(self)->db, nullptr);
}

PyObject* txn_rollback(PyObject* self, PyObject*) {
  if (!finish(self)) return raise_already_finished();
  return db_rollback(as_txn(self)->db, nullptr);
}

// Forwarding methods act on whatever transaction the database has now,
// regardless of this object's finished flag.
PyObject* txn_allocate(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_allocate(as_txn(self)->db, args, kwargs);
}
PyObject* txn_read(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_read(as_txn(self)->db, args, kwargs);
}
PyObject* txn_update(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_update(as_txn(self)->db, args, kwargs);
}
PyObject* txn_delete(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_delete(as_txn(self)->db, args, kwargs);
}
PyObject* txn_delete_many(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_delete_many(as_txn(self)->db, args, kwargs);
}
PyObject* txn_allocate_tagged(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_allocate_tagged(as_txn(self)->db, args, kwargs);
}
PyObject* txn_tag(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_tag(as_txn(self)->db, args, kwargs);
}
PyObject* txn_client_byte(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_client_byte(as_txn(self)->db, args, kwargs);
}
PyObject* txn_set_client_byte(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_set_client_byte(as_txn(self)->db, args, kwargs);
}
PyObject* txn_handles_with_tag(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_handles_with_tag(as_txn(self)->db, args, kwargs);
}
PyObject* txn_delete_tagged(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_delete_tagged(as_txn(self)->db, args, kwargs);
}
PyObject* txn_delete_with_tag(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_delete_with_tag(as_txn(self)->db, args, kwargs);
}
PyObject* txn_set_root_name(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_set_root_name(as_txn(self)->db, args, kwargs);
}
PyObject* txn_get_root_name(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_get_root_name(as_txn(self)->db, args, kwargs);
}
PyObject* txn_clear_root_name(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_clear_root_name(as_txn(self)->db, args, kwargs);
}
PyObject* txn_handles(PyObject* self, PyObject*) { return db_handles(as_txn(self)->db, nullptr); }
PyObject* txn_stats(PyObject* self, PyObject*) { return db_stats(as_txn(self)->db, nullptr); }
PyObject* txn_counters(PyObject* self, PyObject*) { return db_counters(as_txn(self)->db, nullptr); }
PyObject* txn_defrag(PyObject* self, PyObject* args, PyObject* kwargs) {
  return db_defrag(as_txn(self)->db, args, kwargs);
}

// Like the forwarding methods, savepoint() ignores the finished flag: the
// engine decides whether a transaction is running.
PyObject* txn_savepoint(PyObject* self, PyObject* args, PyObject* kwargs) {
  static const char* const names[] = {"name"};
  PyObject* a[1];
  if (bind_args(Signature{"savepoint()", names, 1, 1, 0}, args, kwargs, a) < 0) return nullptr;
  std::string name;
  if (!to_utf8(a[0], names[0], &name)) return nullptr;
  ModuleState* state = module_state_of(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  // The name property is a plain str even when a subclass was passed.
  PyObject* text =
      PyUnicode_CheckExact(a[0])
          ? Py_NewRef(a[0])
          : PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
  if (text == nullptr) return nullptr;
  PyObject* db = as_txn(self)->db;
  PyObject* created = db_savepoint(db, name);
  PyObject* sp = nullptr;
  if (created != nullptr) {
    Py_DECREF(created);
    sp = new_savepoint(state->savepoint_type, db, text);
  }
  Py_DECREF(text);
  return sp;
}

int txn_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_txn(self)->db);
  return 0;
}

int txn_clear(PyObject* self) {
  Py_CLEAR(as_txn(self)->db);
  return 0;
}

void txn_dealloc(PyObject* self) {
  PyTypeObject* tp = Py_TYPE(self);
  PyObject_GC_UnTrack(self);
  txn_clear(self);
  as_txn(self)->finished.~atomic();
  auto tp_free = reinterpret_cast<freefunc>(PyType_GetSlot(tp, Py_tp_free));
  tp_free(self);
  Py_DECREF(tp);
}

PyMethodDef txn_methods[] = {
    AMBRIK_METHOD_NOARGS("__enter__", txn_enter, "__enter__($self)\n--\n\n"),
    AMBRIK_METHOD_KWARGS("__exit__", txn_exit, "__exit__($self, exc_type, _exc, _tb)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("commit", txn_commit, kCommitDoc),
    AMBRIK_METHOD_NOARGS("rollback", txn_rollback, kRollbackDoc),
    AMBRIK_METHOD_KWARGS("allocate", txn_allocate, kAllocateDoc),
    AMBRIK_METHOD_KWARGS("read", txn_read, kReadDoc),
    AMBRIK_METHOD_KWARGS("update", txn_update, kUpdateDoc),
    AMBRIK_METHOD_KWARGS("delete", txn_delete, kDeleteDoc),
    AMBRIK_METHOD_KWARGS("delete_many", txn_delete_many, kDeleteManyDoc),
    AMBRIK_METHOD_KWARGS("allocate_tagged", txn_allocate_tagged, kAllocateTaggedDoc),
    AMBRIK_METHOD_KWARGS("tag", txn_tag, kTagDoc),
    AMBRIK_METHOD_KWARGS("client_byte", txn_client_byte, kClientByteDoc),
    AMBRIK_METHOD_KWARGS("set_client_byte", txn_set_client_byte, kSetClientByteDoc),
    AMBRIK_METHOD_KWARGS("handles_with_tag", txn_handles_with_tag, kHandlesWithTagDoc),
    AMBRIK_METHOD_KWARGS("delete_tagged", txn_delete_tagged, kDeleteTaggedDoc),
    AMBRIK_METHOD_KWARGS("delete_with_tag", txn_delete_with_tag, kDeleteWithTagDoc),
    AMBRIK_METHOD_KWARGS("set_root_name", txn_set_root_name, kSetRootNameDoc),
    AMBRIK_METHOD_KWARGS("get_root_name", txn_get_root_name, kGetRootNameDoc),
    AMBRIK_METHOD_KWARGS("clear_root_name", txn_clear_root_name, kClearRootNameDoc),
    AMBRIK_METHOD_NOARGS("handles", txn_handles, kHandlesDoc),
    AMBRIK_METHOD_NOARGS("stats", txn_stats, kStatsDoc),
    AMBRIK_METHOD_NOARGS("counters", txn_counters, kCountersDoc),
    AMBRIK_METHOD_KWARGS("defrag", txn_defrag, kDefragDoc),
    AMBRIK_METHOD_KWARGS("savepoint", txn_savepoint, "savepoint($self, name)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot txn_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The running transaction of a database; commits on normal exit from a "
                    "with block and rolls back on an exception.")},
    {Py_tp_methods, txn_methods},
    {Py_tp_traverse, reinterpret_cast<void*>(txn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(txn_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(txn_dealloc)},
    {0, nullptr},
};

PyType_Spec txn_spec = {
    "ambrik._ambrik.Transaction",
    sizeof(TransactionObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    txn_slots,
};

}  // namespace

PyObject* create_transaction_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &txn_spec, nullptr);
}

PyObject* new_transaction(PyObject* type, PyObject* db) {
  auto tp = reinterpret_cast<PyTypeObject*>(type);
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(tp, Py_tp_alloc));
  PyObject* obj = alloc(tp, 0);
  if (obj == nullptr) return nullptr;
  new (&as_txn(obj)->finished) std::atomic<bool>(false);
  as_txn(obj)->db = Py_NewRef(db);
  return obj;
}

}  // namespace ambrik::py
