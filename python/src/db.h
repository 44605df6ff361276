// The database object `Ambrik` and the module function `open`.
//
// The methods shared with Transaction are exported so that Transaction can
// forward to exactly the same code path (same binding, checks and errors).
#pragma once

#include <Python.h>

#include <string>

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
inline constexpr char kAllocateTaggedDoc[] = "allocate_tagged($self, value, tag)\n--\n\n";
inline constexpr char kTagDoc[] = "tag($self, handle)\n--\n\n";
inline constexpr char kHandlesWithTagDoc[] = "handles_with_tag($self, tag)\n--\n\n";
inline constexpr char kClientByteDoc[] = "client_byte($self, handle)\n--\n\n";
inline constexpr char kSetClientByteDoc[] = "set_client_byte($self, handle, byte)\n--\n\n";
inline constexpr char kDeleteTaggedDoc[] = "delete_tagged($self, handle, tag)\n--\n\n";
inline constexpr char kDeleteWithTagDoc[] = "delete_with_tag($self, tag, max)\n--\n\n";
inline constexpr char kSetRootNameDoc[] = "set_root_name($self, name, handle)\n--\n\n";
inline constexpr char kGetRootNameDoc[] = "get_root_name($self, name)\n--\n\n";
inline constexpr char kClearRootNameDoc[] = "clear_root_name($self, name)\n--\n\n";
inline constexpr char kStatsDoc[] = "stats($self)\n--\n\n";
inline constexpr char kCountersDoc[] = "counters($self)\n--\n\n";
inline constexpr char kDefragDoc[] = "defrag($self, options=None)\n--\n\n";

// Ambrik methods; `db` must be an Ambrik instance.
PyObject* db_commit(PyObject* db, PyObject* unused);
PyObject* db_rollback(PyObject* db, PyObject* unused);
PyObject* db_allocate(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_read(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_update(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_delete(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_delete_many(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_handles(PyObject* db, PyObject* unused);
PyObject* db_allocate_tagged(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_tag(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_handles_with_tag(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_client_byte(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_set_client_byte(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_delete_tagged(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_delete_with_tag(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_set_root_name(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_get_root_name(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_clear_root_name(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_stats(PyObject* db, PyObject* unused);
PyObject* db_counters(PyObject* db, PyObject* unused);
PyObject* db_defrag(PyObject* db, PyObject* args, PyObject* kwargs);

// Methods only Ambrik has: key slots and settings change between
// transactions, which a Transaction object never is.
PyObject* db_add_key(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_rotate_key(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_remove_key(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_set_cache_max_bytes(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_set_spillway_max_bytes(PyObject* db, PyObject* args, PyObject* kwargs);
PyObject* db_set_drain_insertion(PyObject* db, PyObject* args, PyObject* kwargs);

// Engine savepoint operations behind Transaction.savepoint() and the
// Savepoint object: the closed check, then the engine's own checks.
PyObject* db_savepoint(PyObject* db, const std::string& name);
PyObject* db_release(PyObject* db, const std::string& name);
PyObject* db_rollback_to(PyObject* db, const std::string& name);

}  // namespace ambrik::py
