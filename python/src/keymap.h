// The KeyMap object (an ordered map of bytes to bytes kept under a named
// root) and its lazy iterator, KeyMapIterator.
//
// A KeyMap holds a strong reference to its Ambrik and the engine-side map
// state (decoded nodes); every call runs under the database's lock like the
// Ambrik methods do, and checks its arguments before taking it.
#pragma once

#include <Python.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "keymap/key_map.h"

namespace ambrik::py {

PyObject* create_keymap_type(PyObject* module);
PyObject* create_keymap_iterator_type(PyObject* module);

// New KeyMap of class `type` on the Ambrik `db`, bound to the root `name`.
PyObject* new_keymap(PyObject* type, PyObject* db, std::string name);

// What a KeyMapIterator yields.
enum class IterKind { Keys, Values, Items };

// The KeyMap's database and engine-side map. REQUIRES: `keymap` is a KeyMap.
PyObject* keymap_db(PyObject* keymap);
ambrik::keymap::KeyMap& keymap_state(PyObject* keymap);

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
