// The KeyMap object (an ordered map of bytes to bytes kept under a named
// root) and its lazy iterator, KeyMapIterator.
//
// A KeyMap holds a strong reference to what it reads (an Ambrik, or a
// Snapshot for a read-only map) and the engine-side map state (decoded
// nodes); every call runs under that object's lock like its own methods do,
// and checks its arguments before taking it. A snapshot's map refuses every
// write with ReadOnlyModeError, as a read-only database's maps do.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <string>
#include <type_traits>
#include <vector>

#include "db_engine.h"
#include "keymap/key_map.h"
#include "snapshot.h"

namespace ambrik::py {

PyObject* create_keymap_type(PyObject* module);
PyObject* create_keymap_iterator_type(PyObject* module);

// New KeyMap of class `type` on the Ambrik `db`, bound to the root `name`.
PyObject* new_keymap(PyObject* type, PyObject* db, std::string name);

// Snapshot.keymap(name): a read-only KeyMap of the snapshot's commit.
PyObject* snapshot_keymap(PyObject* snapshot, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames);

// What a KeyMapIterator yields.
enum class IterKind { Keys, Values, Items };

// The KeyMap's Ambrik (null for a snapshot's map), its Snapshot (null for a
// database's) and its engine-side map. REQUIRES: `keymap` is a KeyMap.
PyObject* keymap_db(PyObject* keymap);
PyObject* keymap_snapshot(PyObject* keymap);
ambrik::keymap::KeyMap& keymap_state(PyObject* keymap);

// Runs `op(reader, map)` for the KeyMap `keymap`: with the database's engine
// under its lock, the call's reads seeing one commit (a read scope), or
// with the snapshot's reads under its lock. `op` is called with either
// reader and returns the same type for both. Empty, with ClosedError raised,
// once the database or snapshot is closed.
template <typename Op>
auto with_map_reader(PyObject* keymap, Op&& op) {
  using Out = std::invoke_result_t<Op&, TransactionManager&, ambrik::keymap::KeyMap&>;
  ambrik::keymap::KeyMap& map = keymap_state(keymap);
  std::optional<Out> out;
  if (PyObject* snapshot = keymap_snapshot(keymap)) {
    std::optional<Snapshot::Access> access = snapshot_access(snapshot);
    if (!access) return out;
    ambrik::keymap::SnapshotReader reader(*access);
    out.emplace(op(reader, map));
    return out;
  }
  out = with_engine(keymap_db(keymap), [&](TransactionManager& tm) -> Out {
    ambrik::ReadScope scope(tm);
    TRY(scope.status());
    return op(tm, map);
  });
  if (!out) raise_closed();
  return out;
}

// New iterator over `range` of `keymap`, positioned before its first entry.
// Reads the map's stamp now: a later change of the map makes it raise.
PyObject* new_keymap_iterator(PyObject* keymap, IterKind kind, ambrik::keymap::ScanRange range);

// A key argument, checked and held for one call. A bytes object is used in
// place (it cannot change, and the caller's reference keeps it alive even
// while the interpreter lock is let go to wait for the database); any other
// buffer is copied, since it could change meanwhile.
class MapKey {
 public:
  // A bytes-like key of 1 to kMaxKeyBytes bytes; otherwise TypeError or
  // ValueError and false.
  bool parse(PyObject* obj);
  ambrik::keymap::Key key() const { return {data_, size_}; }

 private:
  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  uint8_t copy_[ambrik::keymap::kMaxKeyBytes];
};

// As MapKey::parse, copied into `out`.
bool to_map_key(PyObject* obj, std::vector<uint8_t>* out);

}  // namespace ambrik::py
