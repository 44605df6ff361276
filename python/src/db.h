// The database object `Ambrik` and the module function `open`.
//
// The methods shared with Transaction are exported so that Transaction can
// forward to exactly the same code path (same binding, checks and errors).
#pragma once

#include <Python.h>

namespace ambrik::py {

PyObject* create_ambrik_type(PyObject* module);
// The module-level `open` function, bound to `module`.
PyObject* create_open_function(PyObject* module);

inline constexpr char kCommitDoc[] = "commit($self)\n--\n\n";
inline constexpr char kRollbackDoc[] = "rollback($self)\n--\n\n";
inline constexpr char kAllocateDoc[] = "allocate($self, value)\n--\n\n";
inline constexpr char kReadDoc[] = "read($self, handle)\n--\n\n";
inline constexpr char kUpdateDoc[] = "update($self, handle, value)\n--\n\n";
inline constexpr char kDeleteDoc[] = "delete($self, handle)\n--\n\n";
inline constexpr char kDeleteManyDoc[] = "delete_many($self, handles)\n--\n\n";
inline constexpr char kHandlesDoc[] = "handles($self)\n--\n\n";

// Ambrik methods; `db` must be an Ambrik instance.
PyObject* db_commit(PyObject* db, PyObject* unused);
PyObject* db_rollback(PyObject* db, PyObject* unused);
PyObject* db_allocate(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_read(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_update(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_delete(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_delete_many(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_handles(PyObject* db, PyObject* unused);

}  // namespace ambrik::py
