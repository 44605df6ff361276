// The database object `Ambrik` and the module function `open`.
//
// Transaction offers most of Ambrik's methods by forwarding to exactly the
// same functions (same binding, checks and errors); AMBRIK_SHARED_METHODS
// is the one list from which both classes' method tables are generated.
#pragma once

#include <Python.h>

#include <string>

namespace ambrik::py {

PyObject* create_ambrik_type(PyObject* module);
// The module-level `open` function, bound to `module`.
PyObject* create_open_function(PyObject* module);

// The methods Transaction shares with Ambrik, in the order of Ambrik's
// method table: X(name, parameters after $self, calling convention,
// position in Transaction's table, Ambrik-only docstring text). The
// convention is FAST (arguments) or NOARGS.
#define AMBRIK_SHARED_METHODS(X)                                                  \
  X(allocate, ", value", FAST, 0, "")                                             \
  X(read, ", handle", FAST, 1, "")                                                \
  X(update, ", handle, value", FAST, 2, "")                                       \
  X(delete, ", handle", FAST, 3, "")                                              \
  X(delete_many, ", handles", FAST, 4, "")                                        \
  X(handles, "", NOARGS, 15, "")                                                  \
  X(allocate_tagged, ", value, tag", FAST, 5, "")                                 \
  X(tag, ", handle", FAST, 6,                                                     \
    "Returns the tag as a Python `int`, or `None` for an untagged handle\n"       \
    "(the former sentinel 0 for an untagged handle is gone).")                    \
  X(handles_with_tag, ", tag", FAST, 9, "")                                       \
  X(client_byte, ", handle", FAST, 7, "")                                         \
  X(set_client_byte, ", handle, byte", FAST, 8, "")                               \
  X(delete_tagged, ", handle, tag", FAST, 10, "")                                 \
  X(delete_with_tag, ", tag, max", FAST, 11,                                      \
    "Returns (deleted: list[int], complete: bool).")                              \
  X(set_root_name, ", name, handle", FAST, 12, "")                                \
  X(get_root_name, ", name", FAST, 13, "")                                        \
  X(clear_root_name, ", name", FAST, 14, "")                                      \
  X(stats, "", NOARGS, 16, "")                                                    \
  X(counters, "", NOARGS, 17, "")                                                 \
  X(defrag, ", options=None", FAST, 18, "")                                       \
  X(keymap, ", name", FAST, 19,                                                   \
    "The KeyMap under the named root `name` (created by its first write).")       \
  X(backup, ", path, *, overwrite=False", FAST, 20, "")

#define AMBRIK_COUNT_SHARED(...) +1
inline constexpr int kSharedMethodCount = 0 AMBRIK_SHARED_METHODS(AMBRIK_COUNT_SHARED);
#undef AMBRIK_COUNT_SHARED

// The text-signature docstring of a method: "read($self, handle)\n--\n\n".
#define AMBRIK_SIGNATURE_DOC(name, params) #name "($self" params ")\n--\n\n"

#define AMBRIK_DECLARE_FAST(fn) \
  PyObject* fn(PyObject* db, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames)
#define AMBRIK_DECLARE_NOARGS(fn) PyObject* fn(PyObject* db, PyObject* unused)

// Ambrik's implementations of the shared methods; `db` must be an Ambrik.
#define AMBRIK_DECLARE_SHARED(name, params, kind, txn_position, note) \
  AMBRIK_DECLARE_##kind(db_##name);
AMBRIK_SHARED_METHODS(AMBRIK_DECLARE_SHARED)
#undef AMBRIK_DECLARE_SHARED

// Transaction's commit and rollback add their own finished check first.
AMBRIK_DECLARE_NOARGS(db_commit);
AMBRIK_DECLARE_NOARGS(db_rollback);

// Methods only Ambrik has: key slots and settings change between
// transactions, which a Transaction object never is.
AMBRIK_DECLARE_FAST(db_add_key);
AMBRIK_DECLARE_FAST(db_rotate_key);
AMBRIK_DECLARE_FAST(db_remove_key);
AMBRIK_DECLARE_FAST(db_set_cache_max_bytes);
AMBRIK_DECLARE_FAST(db_set_spillway_max_bytes);
AMBRIK_DECLARE_FAST(db_set_drain_insertion);

// Engine savepoint operations behind Transaction.savepoint() and the
// Savepoint object: the closed check, then the engine's own checks.
PyObject* db_savepoint(PyObject* db, const std::string& name);
PyObject* db_release(PyObject* db, const std::string& name);
PyObject* db_rollback_to(PyObject* db, const std::string& name);

}  // namespace ambrik::py
