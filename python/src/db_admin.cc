// Ambrik methods that report on or administer the database as a whole:
// statistics, defragmentation, key slots, settings and savepoints.
#include <cerrno>
#include <cstdint>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include "convert.h"
#include "db.h"
#include "db_engine.h"
#include "destination_error.h"
#include "drain_insertion.h"
#include "fs_path.h"
#include "records.h"
#include "tools/backup.h"

namespace ambrik::py {

namespace {

constexpr char kKeyTypeError[] = "key must be bytes (raw) or str (passphrase)";

// add_key and rotate_key: two keys, both converted before the engine runs.
template <typename Op>
PyObject* with_two_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames, const char* function, const char* const* names,
                        Op&& op) {
  PyObject* a[2];
  if (bind_args(Signature{function, names, 2, 2, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  ambrik::Key first, second;
  if (!to_key(a[0], kKeyTypeError, &first)) return nullptr;
  if (!to_key(a[1], kKeyTypeError, &second)) return nullptr;
  return none_or_error(with_engine(
      self, [&](TransactionManager& tm) { return op(tm, first, second); }, Gil::kReleased));
}

// The single `bytes` argument of the two size settings.
bool bytes_argument(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                    const char* function, uint64_t* out) {
  static const char* const names[] = {"bytes"};
  PyObject* a[1];
  if (bind_args(Signature{function, names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return false;
  return to_u64(a[0], names[0], out);
}

// Options are any object with the two attributes; a missing one or a value
// of the wrong type raises what the access or the conversion raises.
bool defrag_settings(PyObject* options, ambrik::DefragSettings* out) {
  PyObject* threshold = PyObject_GetAttrString(options, "sparse_threshold");
  if (threshold == nullptr) return false;
  double ratio = PyFloat_AsDouble(threshold);
  Py_DECREF(threshold);
  if (ratio == -1.0 && PyErr_Occurred()) return false;
  PyObject* max_values = PyObject_GetAttrString(options, "max_values");
  if (max_values == nullptr) return false;
  bool converted = to_u64(max_values, "max_values", &out->max_values);
  Py_DECREF(max_values);
  if (!converted) return false;
  out->sparse_threshold = ratio;
  return true;
}

}  // namespace

// --- statistics -------------------------------------------------------------

PyObject* db_stats(PyObject* self, PyObject*) {
  auto r = with_engine(self, [](TransactionManager& tm) { return tm.stats(); });
  if (!succeeded(r)) return nullptr;
  const ambrik::StatsValues& s = r->value();
  return build_record("Stats", {{"handle_count", s.handle_count},
                                {"total_pages", s.total_pages},
                                {"file_size_bytes", s.file_size_bytes},
                                {"spillway_logical_bytes", s.spillway_logical_bytes},
                                {"spillway_max_bytes", s.spillway_max_bytes}});
}

PyObject* db_counters(PyObject* self, PyObject*) {
  auto r = with_engine(self, [](TransactionManager& tm) { return tm.counters(); });
  if (!succeeded(r)) return nullptr;
  const ambrik::CounterValues& c = r->value();
  return build_record("Counters", {{"cache_hits", c.cache_hits},
                                   {"cache_misses", c.cache_misses},
                                   {"pages_allocated", c.pages_allocated},
                                   {"fsync_calls", c.fsync_calls}});
}

PyObject* db_defrag(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"options"};
  PyObject* a[1];
  if (bind_args(Signature{"defrag()", names, 1, 0, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  ambrik::DefragSettings settings;
  if (a[0] != nullptr && a[0] != Py_None && !defrag_settings(a[0], &settings)) return nullptr;
  auto r = with_engine(
      self, [&](TransactionManager& tm) { return tm.defrag(settings); }, Gil::kReleased);
  if (!succeeded(r)) return nullptr;
  // Values moved stay moved in the transaction even if the record cannot be
  // built: the engine work is complete by now.
  const ambrik::DefragResult& d = r->value();
  return build_record("DefragStats", {{"pages_examined", d.pages_examined},
                                      {"pages_freed", d.pages_freed},
                                      {"values_moved", d.values_moved}});
}

PyObject* db_backup(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"path", "overwrite"};
  PyObject* a[2];
  if (bind_args(Signature{"backup()", names, 1, 1, 1}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  std::string path;
  if (!to_fs_path(a[0], &path)) return nullptr;
  bool overwrite = false;
  if (a[1] != nullptr && !to_bool(a[1], names[1], &overwrite)) return nullptr;
  // The copy is the engine's work and can take long: nothing of it needs
  // Python, and other threads run meanwhile (not on this database). Its
  // descriptors are closed in children forked meanwhile.
  RegistryWatch watch;
  std::optional<ambrik::Error> destination_failure;
  auto r = with_engine(
      self,
      [&](TransactionManager& tm) -> ambrik::Result<ambrik::tools::BackupReport> {
        try {
          ambrik::tools::Destination dst(path, overwrite, &watch);
          auto done = ambrik::tools::backup(tm, dst);
          if (!done.ok()) destination_failure = dst.failure();
          return done;
        } catch (const std::bad_alloc&) {
          return ambrik::Error::io_errno(ENOMEM);
        } catch (...) {
          return ambrik::Error::internal("unexpected C++ exception");
        }
      },
      Gil::kReleased);
  if (!r) return raise_closed();
  // Nothing of a failed backup touched the database: the destination's
  // problems are that file's, and memory running out is MemoryError.
  if (destination_failure) return raise_destination_error(*destination_failure, path);
  if (!r->ok() && r->error().kind() == ambrik::ErrorKind::Io && r->error().os_errno() == ENOMEM)
    return PyErr_NoMemory();
  if (!succeeded(r)) return nullptr;
  const ambrik::tools::BackupReport& b = r->value();
  return build_record("BackupStats", {{"pages_written", b.pages}, {"bytes_written", b.bytes}});
}

// --- key slots ----------------------------------------------------------------

PyObject* db_add_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"existing", "new"};
  return with_two_keys(self, args, nargs, kwnames, "add_key()", names,
                       [](TransactionManager& tm, const ambrik::Key& existing,
                          const ambrik::Key& added) { return tm.add_key(existing, added); });
}

PyObject* db_rotate_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"old", "new"};
  return with_two_keys(self, args, nargs, kwnames, "rotate_key()", names,
                       [](TransactionManager& tm, const ambrik::Key& old_key,
                          const ambrik::Key& new_key) { return tm.rotate_key(old_key, new_key); });
}

PyObject* db_remove_key(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"key"};
  PyObject* a[1];
  if (bind_args(Signature{"remove_key()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  ambrik::Key key;
  if (!to_key(a[0], kKeyTypeError, &key)) return nullptr;
  return none_or_error(with_engine(
      self, [&](TransactionManager& tm) { return tm.remove_key(key); }, Gil::kReleased));
}

// --- settings -------------------------------------------------------------------

PyObject* db_set_cache_max_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  uint64_t bytes;
  if (!bytes_argument(args, nargs, kwnames, "set_cache_max_bytes()", &bytes)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.set_cache_max_bytes(bytes); }));
}

PyObject* db_set_spillway_max_bytes(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                    PyObject* kwnames) {
  uint64_t bytes;
  if (!bytes_argument(args, nargs, kwnames, "set_spillway_max_bytes()", &bytes)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.set_spillway_max_bytes(bytes); }));
}

PyObject* db_set_drain_insertion(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                                 PyObject* kwnames) {
  static const char* const names[] = {"policy"};
  PyObject* a[1];
  if (bind_args(Signature{"set_drain_insertion()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) {
    return nullptr;
  }
  ambrik::DrainInsertion policy;
  if (!to_drain_insertion(a[0], names[0], &policy)) return nullptr;
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.set_drain_insertion(policy); }));
}

// --- savepoints -----------------------------------------------------------------

PyObject* db_savepoint(PyObject* self, const std::string& name) {
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.savepoint(name); }));
}

PyObject* db_release(PyObject* self, const std::string& name) {
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.release(name); }));
}

PyObject* db_rollback_to(PyObject* self, const std::string& name) {
  return none_or_error(
      with_engine(self, [&](TransactionManager& tm) { return tm.rollback_to(name); }));
}

}  // namespace ambrik::py
