#include "transaction.h"

#include <atomic>
#include <string>

#include "convert.h"
#include "db.h"
#include "entry.h"
#include "errors.h"
#include "heap_object.h"
#include "module.h"
#include "savepoint.h"

namespace ambrik::py {

namespace {

struct TransactionBody {
  explicit TransactionBody(PyObject* database) noexcept : db(Py_NewRef(database)) {}
  ~TransactionBody() { Py_XDECREF(db); }

  PyObject* db;  // strong reference to the Ambrik that began it
  std::atomic<bool> finished{false};
};

TransactionBody& as_txn(PyObject* obj) { return body_of<TransactionBody>(obj); }

// Marks the object finished; true if this call was the one that did so.
bool finish(PyObject* self) { return !as_txn(self).finished.exchange(true); }

PyObject* raise_already_finished() {
  return raise_error(PyError::AlreadyFinishedError,
                     "transaction already finished (committed or rolled back)");
}

PyObject* txn_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* txn_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"exc_type", "_exc", "_tb"};
  PyObject* a[3];
  if (bind_args(Signature{"__exit__()", names, 3, 3, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  if (!finish(self)) Py_RETURN_FALSE;
  PyObject* db = as_txn(self).db;
  PyObject* done = a[0] == Py_None ? db_commit(db, nullptr) : db_rollback(db, nullptr);
  if (done == nullptr) return nullptr;
  Py_DECREF(done);
  Py_RETURN_FALSE;
}

// The object stays finished even when the engine call fails: a failed commit
// has poisoned the database or discarded nothing worth retrying here.
PyObject* txn_commit(PyObject* self, PyObject*) {
  if (!finish(self)) return raise_already_finished();
  return db_commit(as_txn(self).db, nullptr);
}

PyObject* txn_rollback(PyObject* self, PyObject*) {
  if (!finish(self)) return raise_already_finished();
  return db_rollback(as_txn(self).db, nullptr);
}

// The shared methods act on whatever transaction the database has now,
// regardless of this object's finished flag.
template <FastFn F>
PyObject* forward_fast(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                       PyObject* kwnames) {
  return F(as_txn(self).db, args, nargs, kwnames);
}

template <NoArgsFn F>
PyObject* forward_noargs(PyObject* self, PyObject*) {
  return F(as_txn(self).db, nullptr);
}

#define AMBRIK_FORWARD_FAST(fn) forward_fast<fn>
#define AMBRIK_FORWARD_NOARGS(fn) forward_noargs<fn>

// Like the forwarding methods, savepoint() ignores the finished flag: the
// engine decides whether a transaction is running.
PyObject* txn_savepoint(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"name"};
  PyObject* a[1];
  if (bind_args(Signature{"savepoint()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
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
  PyObject* db = as_txn(self).db;
  PyObject* created = db_savepoint(db, name);
  PyObject* sp = nullptr;
  if (created != nullptr) {
    Py_DECREF(created);
    sp = new_savepoint(state->savepoint_type, db, text);
  }
  Py_DECREF(text);
  return sp;
}

// "active" while this object can still commit or roll back; the engine's
// own transaction may have ended meanwhile through the database object.
PyObject* txn_repr(PyObject* self) {
  return PyUnicode_FromFormat("<ambrik.Transaction %s>",
                              as_txn(self).finished.load() ? "finished" : "active");
}

int txn_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_txn(self).db);
  return 0;
}

int txn_clear(PyObject* self) {
  Py_CLEAR(as_txn(self).db);
  return 0;
}

// A gap in the table would end it early (a zeroed entry is its sentinel).
constexpr bool positions_form_a_permutation() {
  bool taken[kSharedMethodCount] = {};
#define AMBRIK_TAKE_POSITION(name, params, kind, txn_position, note)                   \
  if ((txn_position) < 0 || (txn_position) >= kSharedMethodCount || taken[txn_position]) \
    return false;                                                                        \
  taken[txn_position] = true;
  AMBRIK_SHARED_METHODS(AMBRIK_TAKE_POSITION)
#undef AMBRIK_TAKE_POSITION
  return true;
}
static_assert(positions_form_a_permutation());

constexpr int kOwnHead = 4;  // __enter__, __exit__, commit, rollback
constexpr int kMethodCount = kOwnHead + kSharedMethodCount + 1;  // + savepoint

// The table in Transaction's own order: its own head, the shared methods
// placed by their Transaction position, then savepoint.
PyMethodDef* txn_methods() {
  static PyMethodDef table[kMethodCount + 1] = {
      AMBRIK_METHOD_NOARGS("__enter__", txn_enter, "__enter__($self)\n--\n\n"),
      AMBRIK_METHOD_FAST("__exit__", txn_exit, "__exit__($self, exc_type, _exc, _tb)\n--\n\n"),
      AMBRIK_METHOD_NOARGS("commit", txn_commit, "commit($self)\n--\n\n"),
      AMBRIK_METHOD_NOARGS("rollback", txn_rollback, "rollback($self)\n--\n\n"),
  };
  static const bool filled = [] {
#define AMBRIK_TXN_ENTRY(name, params, kind, txn_position, note)                          \
  table[kOwnHead + (txn_position)] = AMBRIK_METHOD_##kind(                                \
      #name, AMBRIK_FORWARD_##kind(db_##name), AMBRIK_SIGNATURE_DOC(name, params));
    AMBRIK_SHARED_METHODS(AMBRIK_TXN_ENTRY)
#undef AMBRIK_TXN_ENTRY
    table[kMethodCount - 1] =
        AMBRIK_METHOD_FAST("savepoint", txn_savepoint, "savepoint($self, name)\n--\n\n");
    table[kMethodCount] = {nullptr, nullptr, 0, nullptr};
    return true;
  }();
  (void)filled;
  return table;
}

PyType_Slot txn_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "The running transaction of a database; commits on normal exit from a "
                    "with block and rolls back on an exception.")},
    {Py_tp_methods, txn_methods()},
    {Py_tp_repr, reinterpret_cast<void*>(txn_repr)},
    {Py_tp_traverse, reinterpret_cast<void*>(txn_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(txn_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<TransactionBody>)},
    {0, nullptr},
};

PyType_Spec txn_spec = {
    "ambrik._ambrik.Transaction",
    kBasicSize<TransactionBody>,
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
  return new_object<TransactionBody>(type, db);
}

}  // namespace ambrik::py
