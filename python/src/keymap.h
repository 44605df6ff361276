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

// A bytes-like key of 1 to kMaxKeyBytes bytes copied into `out`; otherwise
// TypeError or ValueError and false.
bool to_map_key(PyObject* obj, std::vector<uint8_t>* out);

}  // namespace ambrik::py
