#include "db.h"

#include <memory>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#include "convert.h"
#include "db_engine.h"
#include "entry.h"
#include "errors.h"
#include "fs_path.h"
#include "module.h"
#include "released_gil.h"
#include "snapshot.h"
#include "transaction.h"
#include "page.h"
#include "transaction/transaction_manager.h"

namespace ambrik::py {

namespace {

using ambrik::TransactionManager;

void close_engine(PyObject* db) {
  Database* self = as_db(db);
  if (!opened_here(self)) return;  // the parent's engine is only let go (dealloc)
  DatabaseLock guard(self);
  if (usable_engine(self) == nullptr) return;
  // The snapshots first, before the fork registry is taken: closing one
  // waits for its read in progress, which may need the interpreter to
  // finish (snapshot.cc), and a thread that forks holds the interpreter
  // while its fork handler waits for the registry.
  Py_BEGIN_ALLOW_THREADS
  self->engine->close_snapshots();
  Py_END_ALLOW_THREADS
  // Held until the descriptor is closed, so that no child can be forked
  // with a copy of it that its fork handler would not close.
  RegistryLock registry;
  registry.remove(self->fd);
  registry.remove(self->table_fd);
  self->engine.reset();
}

// --- close and context manager ---------------------------------------------

PyObject* db_close(PyObject* self, PyObject*) {
  close_engine(self);
  Py_RETURN_NONE;
}

PyObject* db_enter(PyObject* self, PyObject*) { return Py_NewRef(self); }

PyObject* db_exit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"_exc_type", "_exc", "_tb"};
  PyObject* bound[3];
  if (bind_args(Signature{"__exit__()", names, 3, 3, 0}, args, nargs, kwnames, bound) < 0) {
    return nullptr;
  }
  close_engine(self);
  Py_RETURN_FALSE;
}

PyObject* db_is_poisoned(PyObject* self, void*) {
  Database* db = as_db(self);
  bool poisoned = true;
  if (opened_here(db)) {
    DatabaseLock guard(db);
    TransactionManager* engine = usable_engine(db);
    poisoned = engine == nullptr || engine->is_poisoned();
  }
  return PyBool_FromLong(poisoned);
}

// --- transactions ----------------------------------------------------------

PyObject* db_begin(PyObject* self, PyObject*) {
  Database* db = as_db(self);
  bool shared = false;
  if (opened_here(db)) {
    DatabaseLock guard(db);
    TransactionManager* engine = usable_engine(db);
    shared = engine != nullptr && engine->is_shared();
  }
  if (!shared) {
    return none_or_error(with_engine(self, [](TransactionManager& tm) { return tm.begin(); }));
  }
  // Another process's transaction may hold the write lock for as long as
  // lock_timeout allows: wait without the interpreter lock, answering Ctrl-C.
  std::optional<ambrik::Status> began;
  ReleasedGil gil;
  gil.release();
  {
    std::lock_guard<std::mutex> guard(db->mu);
    if (TransactionManager* engine = usable_engine(db)) began.emplace(engine->begin(gil.lock_poll()));
  }
  gil.reacquire();
  if (PyErr_Occurred()) return nullptr;  // raised by a signal handler during the wait
  return none_or_error(began);
}

// A sync waits for the disk: without the interpreter lock.
PyObject* db_sync(PyObject* self, PyObject*) {
  return none_or_error(
      with_engine(self, [](TransactionManager& tm) { return tm.sync(); }, Gil::kReleased));
}

PyObject* db_transaction(PyObject* self, PyObject*) {
  ModuleState* state = module_state_of(Py_TYPE(self));
  if (state == nullptr) return nullptr;
  PyObject* began = db_begin(self, nullptr);
  if (began == nullptr) return nullptr;
  Py_DECREF(began);
  PyObject* txn = new_transaction(state->transaction_type, self);
  if (txn == nullptr) {
    // Nobody could finish a transaction whose object was never returned.
    auto undone = with_engine(self, [](TransactionManager& tm) { return tm.rollback(); });
    (void)undone;
  }
  return txn;
}

// --- module function open ---------------------------------------------------

PyObject* open_database(PyObject* module, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {
      "path",      "cache_max_bytes",  "spillway_max_bytes", "drain_insertion",
      "create_if_missing", "read_only", "superblock_count",  "encryption_key",
      "lock_timeout", "shared", "durability",
  };
  enum {
    kPath, kCache, kSpill, kDrain, kCreate, kReadOnly, kSuperblocks, kKey, kWait, kShared,
    kDurability, kCount
  };
  PyObject* a[kCount];
  if (bind_args(Signature{"open()", names, 1, 0, 10}, args, nargs, kwnames, a) < 0) return nullptr;

  ModuleState* state = module_state(module);
  if (state == nullptr) return nullptr;

  ambrik::OpenOptions options;
  if (a[kCache] != nullptr && !to_u64(a[kCache], names[kCache], &options.cache_max_bytes)) {
    return nullptr;
  }
  if (a[kSpill] != nullptr && a[kSpill] != Py_None) {
    uint64_t limit;
    if (!to_u64(a[kSpill], names[kSpill], &limit)) return nullptr;
    options.spillway_max_bytes = limit;
  }
  if (a[kDrain] != nullptr &&
      !to_drain_insertion(a[kDrain], names[kDrain], &options.drain_insertion)) {
    return nullptr;
  }
  if (a[kCreate] != nullptr && !to_bool(a[kCreate], names[kCreate], &options.create_if_missing)) {
    return nullptr;
  }
  if (a[kReadOnly] != nullptr && !to_bool(a[kReadOnly], names[kReadOnly], &options.read_only)) {
    return nullptr;
  }
  if (a[kSuperblocks] != nullptr &&
      !to_u32(a[kSuperblocks], names[kSuperblocks], &options.superblock_count)) {
    return nullptr;
  }
  if (a[kWait] != nullptr && !to_seconds(a[kWait], names[kWait], &options.lock_timeout_seconds)) {
    return nullptr;
  }
  if (a[kShared] != nullptr && !to_bool(a[kShared], names[kShared], &options.shared)) {
    return nullptr;
  }
  if (a[kDurability] != nullptr) {
    std::string mode;
    if (!PyUnicode_Check(a[kDurability]) || !to_utf8(a[kDurability], "durability", &mode) ||
        (mode != "full" && mode != "ordered")) {
      if (PyErr_Occurred()) PyErr_Clear();
      PyErr_SetString(PyExc_ValueError, "durability must be 'full' or 'ordered'");
      return nullptr;
    }
    if (mode == "ordered") options.durability = ambrik::Durability::Ordered;
  }
  if (options.shared && options.durability == ambrik::Durability::Ordered) {
    PyErr_SetString(PyExc_ValueError, "durability='ordered' is not available with shared=True");
    return nullptr;
  }
  if (!to_path(a[kPath], &options.path)) return nullptr;
  if (options.shared && !options.path) {
    PyErr_SetString(PyExc_ValueError, "shared=True needs a path: a database in memory has one user");
    return nullptr;
  }
  if (a[kKey] != nullptr && a[kKey] != Py_None) {
    ambrik::Key key;
    if (!to_key(a[kKey], "encryption_key must be bytes (raw key) or str (passphrase)", &key)) {
      return nullptr;
    }
    options.encryption_key = std::move(key);
  }

  // The descriptor is tracked from the moment it exists, not once open has
  // returned: a thread that forks while this one derives a key must not
  // leave the child holding the file and its lock.
  int tracked_fd = -1;
  bool untracked = false;
  options.on_file_opened = [&tracked_fd, &untracked](int fd) {
    RegistryLock registry;
    if (registry.add(fd)) {
      tracked_fd = fd;
    } else {
      untracked = true;
    }
  };
  // A failed open has closed its descriptor already.
  auto forget_descriptor = [&tracked_fd] {
    if (tracked_fd < 0) return;
    RegistryLock registry;
    registry.remove(tracked_fd);
  };

  // Opening may take the file lock, derive keys (deliberately slow for
  // passphrases) and scan the file: let other threads run meanwhile.
  std::optional<ambrik::Result<std::unique_ptr<TransactionManager>>> opened;
  // No C++ exception may unwind past the point where the interpreter lock is
  // retaken: the handlers further out call into Python.
  enum class Escaped { kNothing, kOutOfMemory, kOther } escaped = Escaped::kNothing;
  // A wait for the file lock (for ever, with math.inf) answers Ctrl-C.
  ReleasedGil gil;
  options.on_lock_wait = gil.lock_poll();
  gil.release();
  try {
    opened.emplace(TransactionManager::open(options));
  } catch (const std::bad_alloc&) {
    escaped = Escaped::kOutOfMemory;
  } catch (...) {
    escaped = Escaped::kOther;
  }
  gil.reacquire();
  if (escaped != Escaped::kNothing || !opened->ok()) forget_descriptor();
  if (escaped == Escaped::kOutOfMemory) return PyErr_NoMemory();
  if (escaped == Escaped::kOther) return raise_internal_error("unexpected C++ exception");
  // A signal handler raised during the wait: its exception, and nothing open.
  if (!opened->ok() && PyErr_Occurred()) return nullptr;
  if (!opened->ok()) {
    raise_engine_error(opened->error());
    if (options.path) name_file_of_error(*options.path);
    return nullptr;
  }

  std::unique_ptr<TransactionManager> engine = std::move(*opened).value();
  // Could not be tracked: closed on the way out, before any fork can copy it.
  if (untracked) return PyErr_NoMemory();
  const int fd = engine->file_descriptor();
  // A child must not keep this object's pins and turn alive after it dies.
  const int table_fd = engine->reader_table_descriptor();
  bool table_tracked = table_fd < 0;
  if (!table_tracked) {
    RegistryLock registry;
    table_tracked = registry.add(table_fd);
  }
  PyObject* obj = table_tracked
                      ? new_object<Database>(state->ambrik_type, std::move(options.path))
                      : nullptr;
  if (obj == nullptr) {
    RegistryLock registry;  // held until the descriptors are closed
    registry.remove(fd);
    if (table_tracked) registry.remove(table_fd);
    engine.reset();
    if (!table_tracked) return PyErr_NoMemory();
    return nullptr;
  }
  Database* db = as_db(obj);
  db->fd = fd;
  db->table_fd = table_fd;
  db->generation = fork_generation();
  db->engine = std::move(engine);
  return obj;
}

bool is_open(Database* db) {
  if (!opened_here(db)) return false;
  DatabaseLock guard(db);
  return usable_engine(db) != nullptr;
}

// Touches only the body, never the object, so that it may run in dealloc.
PyObject* describe(Database* db, bool open) {
  const char* state = open ? "open" : "closed";
  if (!db->path) return PyUnicode_FromFormat("<ambrik.Ambrik :memory: %s>", state);
  PyObject* path = fs_path_text(*db->path);
  if (path == nullptr) return nullptr;
  PyObject* text = PyUnicode_FromFormat("<ambrik.Ambrik path=%R %s>", path, state);
  Py_DECREF(path);
  return text;
}

PyObject* db_repr(PyObject* self) {
  Database* db = as_db(self);
  return describe(db, is_open(db));
}

// As for an unclosed file: the database is closed all the same, but a
// program that leaves it to the collector cannot tell when, nor see an
// error of the close. No source object is given: a warning that kept it
// would revive an object being freed.
void warn_unclosed(Database* db) {
  PyObject *type, *value, *tb;
  PyErr_Fetch(&type, &value, &tb);
  PyObject* text = describe(db, true);
  if (text == nullptr || PyErr_WarnFormat(PyExc_ResourceWarning, 1, "unclosed database %U",
                                          text) < 0) {
    PyErr_WriteUnraisable(nullptr);
  }
  Py_XDECREF(text);
  PyErr_Restore(type, value, tb);
}

void db_dealloc(PyObject* self) {
  if (is_open(as_db(self))) warn_unclosed(as_db(self));
  close_engine(self);
  // An inherited engine is only let go (see opened_here).
  if (!opened_here(as_db(self))) (void)as_db(self)->engine.release();
  dealloc_object<Database>(self);
}

#define AMBRIK_SHARED_ENTRY(name, params, kind, txn_position, note) \
  AMBRIK_METHOD_##kind(#name, db_##name, AMBRIK_SIGNATURE_DOC(name, params) note),

PyMethodDef db_methods[] = {
    AMBRIK_METHOD_NOARGS("close", db_close, "close($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("__enter__", db_enter, "__enter__($self)\n--\n\n"),
    AMBRIK_METHOD_FAST("__exit__", db_exit, "__exit__($self, _exc_type, _exc, _tb)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("begin", db_begin, "begin($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("commit", db_commit, "commit($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("rollback", db_rollback, "rollback($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("transaction", db_transaction, "transaction($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("snapshot", db_snapshot, "snapshot($self)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("sync", db_sync, "sync($self)\n--\n\n"),
    AMBRIK_SHARED_METHODS(AMBRIK_SHARED_ENTRY)
    AMBRIK_METHOD_FAST("add_key", db_add_key, "add_key($self, existing, new)\n--\n\n"),
    AMBRIK_METHOD_FAST("rotate_key", db_rotate_key, "rotate_key($self, old, new)\n--\n\n"),
    AMBRIK_METHOD_FAST("remove_key", db_remove_key, "remove_key($self, key)\n--\n\n"),
    AMBRIK_METHOD_FAST("set_cache_max_bytes", db_set_cache_max_bytes,
                       "set_cache_max_bytes($self, bytes)\n--\n\n"),
    AMBRIK_METHOD_FAST("set_spillway_max_bytes", db_set_spillway_max_bytes,
                       "set_spillway_max_bytes($self, bytes)\n--\n\n"),
    AMBRIK_METHOD_FAST("set_drain_insertion", db_set_drain_insertion,
                       "set_drain_insertion($self, policy)\n--\n\n"),
    {nullptr, nullptr, 0, nullptr},
};

#undef AMBRIK_SHARED_ENTRY

PyGetSetDef db_getset[] = {
    {"is_poisoned", db_is_poisoned, nullptr,
     "True when the database is closed or poisoned by a fatal error.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot db_slots[] = {
    {Py_tp_doc, const_cast<char*>("An open database; created by ambrik.open().")},
    {Py_tp_methods, db_methods},
    {Py_tp_getset, db_getset},
    {Py_tp_dealloc, reinterpret_cast<void*>(db_dealloc)},
    {Py_tp_repr, reinterpret_cast<void*>(db_repr)},
    {0, nullptr},
};

PyType_Spec db_spec = {
    "ambrik._ambrik.Ambrik",
    kBasicSize<Database>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
    db_slots,
};

PyMethodDef open_def = AMBRIK_METHOD_FAST(
    "open", open_database,
    "open(path=None, *, cache_max_bytes=8388608, spillway_max_bytes=None, drain_insertion=..., "
    "create_if_missing=True, read_only=False, superblock_count=2, encryption_key=None, "
    "lock_timeout=0.0, shared=False, durability='full')\n--\n\n");

}  // namespace

PyObject* handle_list(const std::vector<uint64_t>& handles) {
  PyObject* list = PyList_New(static_cast<Py_ssize_t>(handles.size()));
  if (list == nullptr) return nullptr;
  for (size_t i = 0; i < handles.size(); ++i) {
    PyObject* h = PyLong_FromUnsignedLongLong(handles[i]);
    if (h == nullptr || PyList_SetItem(list, static_cast<Py_ssize_t>(i), h) < 0) {
      Py_DECREF(list);
      return nullptr;
    }
  }
  return list;
}

// --- methods shared with Transaction -------------------------------------

PyObject* db_commit(PyObject* self, PyObject*) {
  return none_or_error(
      with_engine(self, [](TransactionManager& tm) { return tm.commit(); }, Gil::kReleased));
}

PyObject* db_rollback(PyObject* self, PyObject*) {
  return none_or_error(
      with_engine(self, [](TransactionManager& tm) { return tm.rollback(); }, Gil::kReleased));
}

PyObject* db_allocate(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"value"};
  PyObject* a[1];
  if (bind_args(Signature{"allocate()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  ValueView value;
  if (!value.acquire(a[0])) return nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) { return tm.allocate(value.bytes()); });
  if (!r) return raise_closed();
  if (!r->ok()) return raise_engine_error(r->error());
  return PyLong_FromUnsignedLongLong(r->value());
}

PyObject* db_read(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"handle"};
  PyObject* a[1];
  if (bind_args(Signature{"read()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  // The engine writes the value straight into the new bytes object's
  // storage, which nothing else can see before it is returned. Allocating a
  // bytes object runs no Python code, so the engine's lock is safe to hold.
  // A value past one page may need many pages read from the file: the
  // interpreter lock is let go once its bytes object exists, and taken back
  // when the engine has filled it.
  PyObject* out = nullptr;
  PyThreadState* released = nullptr;
  auto r = with_engine(self, [&](TransactionManager& tm) {
    auto filled = tm.read_into(handle, [&](size_t n) -> uint8_t* {
      if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return nullptr;
      out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
      if (out == nullptr) return nullptr;
      if (n > kPageSize) released = PyEval_SaveThread();
      return reinterpret_cast<uint8_t*>(PyBytes_AsString(out));
    });
    if (released != nullptr) PyEval_RestoreThread(released);
    return filled;
  });
  if (!r) return raise_closed();
  if (!r->ok()) {
    Py_XDECREF(out);
    return raise_engine_error(r->error());
  }
  if (!r->value()) {
    if (!PyErr_Occurred()) PyErr_NoMemory();
    Py_XDECREF(out);
    return nullptr;
  }
  return out;
}

PyObject* db_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"handle", "value"};
  PyObject* a[2];
  if (bind_args(Signature{"update()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  ValueView value;
  if (!value.acquire(a[1])) return nullptr;
  return none_or_error(with_engine(
      self, [&](TransactionManager& tm) { return tm.update(handle, value.bytes()); }));
}

PyObject* db_delete(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"handle"};
  PyObject* a[1];
  if (bind_args(Signature{"delete()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  uint64_t handle;
  if (!to_u64(a[0], names[0], &handle)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.delete_handle(handle); }));
}

PyObject* db_delete_many(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                         PyObject* kwnames) {
  static const char* const names[] = {"handles"};
  PyObject* a[1];
  if (bind_args(Signature{"delete_many()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  std::vector<uint64_t> handles;
  if (!to_u64_list(a[0], names[0], &handles)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.delete_many(handles); }));
}

PyObject* db_handles(PyObject* self, PyObject*) {
  auto r = with_engine(self, [](TransactionManager& tm) { return tm.handles(); });
  if (!r) return raise_closed();
  if (!r->ok()) return raise_engine_error(r->error());
  return handle_list(r->value());
}

PyObject* create_ambrik_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &db_spec, nullptr);
}

PyObject* create_open_function(PyObject* module) {
  PyObject* module_name = PyModule_GetNameObject(module);
  if (module_name == nullptr) return nullptr;
  PyObject* fn = PyCFunction_NewEx(&open_def, module, module_name);
  Py_DECREF(module_name);
  return fn;
}

}  // namespace ambrik::py
