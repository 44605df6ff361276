#include "keymap.h"

#include <cstring>
#include <exception>
#include <new>
#include <string>
#include <utility>

#include "convert.h"
#include "db.h"
#include "db_engine.h"
#include "entry.h"
#include "errors.h"
#include "heap_object.h"
#include "module.h"

namespace ambrik::py {

namespace {

using ambrik::TransactionManager;
using ambrik::keymap::KeyMap;
using ambrik::keymap::MapReader;
using ambrik::keymap::ScanRange;

struct KeyMapBody {
  KeyMapBody(PyObject* owner, bool snapshot, std::string name) noexcept
      : owner(Py_NewRef(owner)), on_snapshot(snapshot), map(std::move(name)) {}
  ~KeyMapBody() { Py_XDECREF(owner); }

  PyObject* owner;   // strong reference to the Ambrik or the Snapshot
  bool on_snapshot;  // which of the two; a snapshot's map is read-only
  KeyMap map;        // used only under the owner's lock
};

KeyMapBody& as_km(PyObject* obj) { return body_of<KeyMapBody>(obj); }

// A snapshot's map is never written: ReadOnlyModeError, before anything is
// read, for every writing method whatever its arguments.
bool refuses_writes(PyObject* self) {
  if (!as_km(self).on_snapshot) return false;
  raise_error(PyError::ReadOnlyModeError, "a snapshot's key map is read-only");
  return true;
}

// Runs the write `op(tm, map)` under the database's lock, as with_map_reader
// runs a read (its reads see one commit, even in shared mode).
// REQUIRES: !as_km(self).on_snapshot.
template <typename Op>
auto run_write(PyObject* self, Op&& op, Gil gil = Gil::kHeld) {
  KeyMapBody& body = as_km(self);
  auto out = with_engine(
      body.owner,
      [&](TransactionManager& tm) -> decltype(op(tm, body.map)) {
        ambrik::ReadScope scope(tm);
        TRY(scope.status());
        return op(tm, body.map);
      },
      gil);
  if (!out) raise_closed();
  return out;
}

// True when `r` holds a value; otherwise raises the engine error (or finds
// ClosedError raised already) and returns false.
template <typename R>
bool done(const std::optional<R>& r) {
  if (!r) return false;
  if (!r->ok()) {
    raise_engine_error(r->error());
    return false;
  }
  return true;
}

// A new bytes object holding value `handle`, or nullptr with a Python error
// set when it cannot be made. The map named the handle: a dead one is
// damage of the map.
template <MapReader R>
Result<PyObject*> read_bytes(R& reader, uint64_t handle) {
  PyObject* out = nullptr;
  auto r = reader.read_into(handle, [&](size_t n) -> uint8_t* {
    if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return nullptr;
    out = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
    return out ? reinterpret_cast<uint8_t*>(PyBytes_AsString(out)) : nullptr;
  });
  if (!r.ok() || !r.value()) {
    Py_XDECREF(out);
    if (!r.ok()) {
      if (r.error().kind() == ErrorKind::InvalidHandle) return Error::corrupt_key_map(handle);
      return std::move(r).error();
    }
    if (!PyErr_Occurred()) PyErr_NoMemory();
    return static_cast<PyObject*>(nullptr);
  }
  return out;
}

// The value under a key: absent for a missing key; nullptr inside with a
// Python error set.
using Lookup = std::optional<PyObject*>;

template <MapReader R>
Result<Lookup> lookup(R& reader, KeyMap& map, ambrik::keymap::Key key) {
  auto h = TRY(map.find(reader, key));
  if (!h) return Lookup();
  return Lookup(TRY(read_bytes(reader, *h)));
}

PyObject* raise_key_error(PyObject* key) {
  PyErr_SetObject(PyExc_KeyError, key);
  return nullptr;
}

// --- mapping protocol ----------------------------------------------------

PyObject* km_getitem_impl(PyObject* self, PyObject* key) {
  MapKey k;
  if (!k.parse(key)) return nullptr;
  auto r = with_map_reader(
      self, [&](auto& reader, KeyMap& map) { return lookup(reader, map, k.key()); });
  if (!done(r)) return nullptr;
  if (!r->value()) return raise_key_error(key);
  return *r->value();
}

int km_setitem_impl(PyObject* self, PyObject* key, PyObject* value) {
  if (refuses_writes(self)) return -1;
  MapKey k;
  if (!k.parse(key)) return -1;
  if (value == nullptr) {
    auto r = run_write(
        self, [&](TransactionManager& tm, KeyMap& map) { return map.remove(tm, k.key()); });
    if (!done(r)) return -1;
    if (!r->value()) {
      raise_key_error(key);
      return -1;
    }
    return 0;
  }
  ValueView v;
  if (!v.acquire(value)) return -1;
  auto r = run_write(
      self, [&](TransactionManager& tm, KeyMap& map) { return map.put(tm, k.key(), v.bytes()); });
  return done(r) ? 0 : -1;
}

Py_ssize_t km_length_impl(PyObject* self) {
  auto r = with_map_reader(self, [](auto& reader, KeyMap& map) { return map.size(reader); });
  if (!done(r)) return -1;
  if (r->value() > static_cast<uint64_t>(PY_SSIZE_T_MAX)) {
    PyErr_SetString(PyExc_OverflowError, "key map too large for len()");
    return -1;
  }
  return static_cast<Py_ssize_t>(r->value());
}

int km_contains_impl(PyObject* self, PyObject* key) {
  MapKey k;
  if (!k.parse(key)) return -1;
  auto r = with_map_reader(
      self, [&](auto& reader, KeyMap& map) { return map.find(reader, k.key()); });
  if (!done(r)) return -1;
  return r->value().has_value() ? 1 : 0;
}

// Slot functions are entry points too: no C++ exception may leave them.
PyObject* km_getitem(PyObject* self, PyObject* key) {
  try {
    return km_getitem_impl(self, key);
  } catch (...) {
    return escaped_exception();
  }
}
int km_setitem(PyObject* self, PyObject* key, PyObject* value) {
  try {
    return km_setitem_impl(self, key, value);
  } catch (...) {
    escaped_exception();
    return -1;
  }
}
Py_ssize_t km_length(PyObject* self) {
  try {
    return km_length_impl(self);
  } catch (...) {
    escaped_exception();
    return -1;
  }
}
int km_contains(PyObject* self, PyObject* key) {
  try {
    return km_contains_impl(self, key);
  } catch (...) {
    escaped_exception();
    return -1;
  }
}
PyObject* km_iter(PyObject* self) {
  try {
    return new_keymap_iterator(self, IterKind::Keys, ScanRange{});
  } catch (...) {
    return escaped_exception();
  }
}

// --- methods ---------------------------------------------------------------

PyObject* km_get(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "default"};
  PyObject* a[2] = {};
  if (bind_args(Signature{"get()", names, 2, 1, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  MapKey k;
  if (!k.parse(a[0])) return nullptr;
  auto r = with_map_reader(
      self, [&](auto& reader, KeyMap& map) { return lookup(reader, map, k.key()); });
  if (!done(r)) return nullptr;
  if (!r->value()) return Py_NewRef(a[1] != nullptr ? a[1] : Py_None);
  return *r->value();
}

PyObject* km_pop(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key", "default"};
  PyObject* a[2] = {};
  if (bind_args(Signature{"pop()", names, 2, 1, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  if (refuses_writes(self)) return nullptr;
  MapKey k;
  if (!k.parse(a[0])) return nullptr;
  // Read and removed under one hold of the lock: nothing can come between.
  auto r = run_write(self, [&](TransactionManager& tm, KeyMap& map) -> Result<Lookup> {
    Lookup found = TRY(lookup(tm, map, k.key()));
    if (!found || *found == nullptr) return found;
    auto removed = map.remove(tm, k.key());
    if (!removed.ok()) {
      Py_DECREF(*found);
      return std::move(removed).error();
    }
    return found;
  });
  if (!done(r)) return nullptr;
  if (r->value()) return *r->value();
  if (a[1] != nullptr) return Py_NewRef(a[1]);
  return raise_key_error(a[0]);
}

PyObject* km_handle(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  static const char* const names[] = {"key"};
  PyObject* a[1];
  if (bind_args(Signature{"handle()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return nullptr;
  MapKey k;
  if (!k.parse(a[0])) return nullptr;
  auto r = with_map_reader(
      self, [&](auto& reader, KeyMap& map) { return map.find(reader, k.key()); });
  if (!done(r)) return nullptr;
  if (!r->value()) Py_RETURN_NONE;
  return PyLong_FromUnsignedLongLong(*r->value());
}

// The view of the whole map that keys(), values() and items() return when
// called without arguments. The view classes live in the package: they are
// collections.abc views (len, membership, set operations) that iterate with
// this module's lazy iterators.
PyObject* whole_map_view(PyObject* self, IterKind kind) {
  static const char* const classes[] = {"_KeyMapKeys", "_KeyMapValues", "_KeyMapItems"};
  PyObject* package = PyImport_ImportModule("ambrik");
  if (package == nullptr) return nullptr;
  PyObject* cls = PyObject_GetAttrString(package, classes[static_cast<int>(kind)]);
  Py_DECREF(package);
  if (cls == nullptr) return nullptr;
  PyObject* view = PyObject_CallFunctionObjArgs(cls, self, nullptr);
  Py_DECREF(cls);
  return view;
}

// The `start` and `stop` arguments (each None or a key) into `range`;
// false with a Python error set.
bool bounds_args(PyObject* start, PyObject* stop, ScanRange* range) {
  PyObject* const given[2] = {start, stop};
  for (int i = 0; i < 2; ++i) {
    if (given[i] == nullptr || given[i] == Py_None) continue;
    std::vector<uint8_t> k;
    if (!to_map_key(given[i], &k)) return false;
    (i == 0 ? range->start : range->stop) = std::move(k);
  }
  return true;
}

// Narrows `range` to the keys that start with `prefix`: its bounds become
// the tighter of their own and the prefix's.
void narrow_to_prefix(ScanRange* range, const std::vector<uint8_t>& prefix) {
  using ambrik::keymap::compare_keys;
  if (!range->start || compare_keys(*range->start, prefix) < 0) range->start = prefix;
  auto stop = ambrik::keymap::prefix_stop(prefix);
  if (stop && (!range->stop || compare_keys(*stop, *range->stop) < 0)) range->stop = std::move(stop);
}

// items(), keys() and values(): (start=None, stop=None, *, reverse=False,
// prefix=None); without any argument, a view of the whole map instead of
// an iterator.
PyObject* ranged(PyObject* self, IterKind kind, const char* function, PyObject* const* args,
                 Py_ssize_t nargs, PyObject* kwnames) {
  if (nargs == 0 && (kwnames == nullptr || PyTuple_Size(kwnames) == 0))
    return whole_map_view(self, kind);
  static const char* const names[] = {"start", "stop", "reverse", "prefix"};
  PyObject* a[4] = {};
  if (bind_args(Signature{function, names, 2, 0, 2}, args, nargs, kwnames, a) < 0) return nullptr;
  ScanRange range;
  if (!bounds_args(a[0], a[1], &range)) return nullptr;
  if (a[2] != nullptr && !to_bool(a[2], "reverse", &range.reverse)) return nullptr;
  if (a[3] != nullptr && a[3] != Py_None) {
    std::vector<uint8_t> prefix;
    if (!to_map_key(a[3], &prefix)) return nullptr;
    narrow_to_prefix(&range, prefix);
  }
  return new_keymap_iterator(self, kind, std::move(range));
}

// The count of keys removed from `range`, or nullptr with an error set. A
// large range takes a while and touches no Python object: other threads
// run meanwhile. An exception (std::bad_alloc, passed on by the map after
// its undo) is caught there and thrown again here, with the interpreter
// lock taken back.
PyObject* delete_keys(PyObject* self, const ScanRange& range) {
  std::exception_ptr thrown;
  auto r = run_write(
      self,
      [&](TransactionManager& tm, KeyMap& map) -> Result<uint64_t> {
        try {
          return map.remove_range(tm, range);
        } catch (...) {
          thrown = std::current_exception();
          return uint64_t{0};  // unused: the exception is what is passed on
        }
      },
      Gil::kReleased);
  if (thrown) std::rethrow_exception(thrown);
  if (!done(r)) return nullptr;
  return PyLong_FromUnsignedLongLong(r->value());
}

PyObject* km_delete_range(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  static const char* const names[] = {"start", "stop"};
  PyObject* a[2] = {};
  if (bind_args(Signature{"delete_range()", names, 2, 0, 0}, args, nargs, kwnames, a) < 0)
    return nullptr;
  if (refuses_writes(self)) return nullptr;
  ScanRange range;
  if (!bounds_args(a[0], a[1], &range)) return nullptr;
  return delete_keys(self, range);
}

// first() and last(): the (key, value) pair at one end, or None.
PyObject* edge_item(PyObject* self, bool last) {
  // The value is read under the same hold of the lock as the key is found.
  using Pair = std::optional<std::pair<std::vector<uint8_t>, PyObject*>>;
  auto r = with_map_reader(self, [&](auto& reader, KeyMap& map) -> Result<Pair> {
    auto e = TRY(map.edge(reader, last));
    if (!e) return Pair();
    PyObject* value = TRY(read_bytes(reader, e->handle));
    return Pair(std::in_place, std::move(e->key), value);
  });
  if (!done(r)) return nullptr;
  if (!r->value()) Py_RETURN_NONE;
  auto& [key_bytes, value] = *r->value();
  if (value == nullptr) return nullptr;
  PyObject* key = PyBytes_FromStringAndSize(reinterpret_cast<const char*>(key_bytes.data()),
                                            static_cast<Py_ssize_t>(key_bytes.size()));
  if (key == nullptr) {
    Py_DECREF(value);
    return nullptr;
  }
  PyObject* pair = PyTuple_Pack(2, key, value);
  Py_DECREF(key);
  Py_DECREF(value);
  return pair;
}

PyObject* km_first(PyObject* self, PyObject*) { return edge_item(self, false); }
PyObject* km_last(PyObject* self, PyObject*) { return edge_item(self, true); }

PyObject* km_items(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ranged(self, IterKind::Items, "items()", args, nargs, kwnames);
}
PyObject* km_keys(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ranged(self, IterKind::Keys, "keys()", args, nargs, kwnames);
}
PyObject* km_values(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return ranged(self, IterKind::Values, "values()", args, nargs, kwnames);
}

// The rest of the mutable-mapping methods, through the map's own protocol
// (so every argument check and engine call is the one of m[k], m[k] = v and
// del m[k]).

PyObject* km_setdefault(PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                        PyObject* kwnames) {
  static const char* const names[] = {"key", "default"};
  PyObject* a[2] = {};
  // Required: None, the default of a dict's, is no value a map can hold.
  if (bind_args(Signature{"setdefault()", names, 2, 2, 0}, args, nargs, kwnames, a) < 0)
    return nullptr;
  if (refuses_writes(self)) return nullptr;
  PyObject* value = PyObject_GetItem(self, a[0]);
  if (value != nullptr || !PyErr_ExceptionMatches(PyExc_KeyError)) return value;
  PyErr_Clear();
  if (PyObject_SetItem(self, a[0], a[1]) < 0) return nullptr;
  return Py_NewRef(a[1]);
}

// The first key, or null with no exception set when the map is empty.
PyObject* first_key(PyObject* self) {
  PyObject* it = PyObject_GetIter(self);
  if (it == nullptr) return nullptr;
  PyObject* key = PyIter_Next(it);
  Py_DECREF(it);
  return key;
}

PyObject* km_popitem(PyObject* self, PyObject*) {
  if (refuses_writes(self)) return nullptr;
  PyObject* key = first_key(self);
  if (key == nullptr) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_KeyError, "popitem(): map is empty");
    return nullptr;
  }
  PyObject* value = PyObject_GetItem(self, key);
  if (value == nullptr || PyObject_DelItem(self, key) < 0) {
    Py_XDECREF(value);
    Py_DECREF(key);
    return nullptr;
  }
  PyObject* pair = PyTuple_Pack(2, key, value);
  Py_DECREF(key);
  Py_DECREF(value);
  return pair;
}

PyObject* km_clear_all(PyObject* self, PyObject*) {
  if (refuses_writes(self)) return nullptr;
  PyObject* count = delete_keys(self, ScanRange{});
  if (count == nullptr) return nullptr;
  Py_DECREF(count);
  Py_RETURN_NONE;
}

// update(other=(), /): from a mapping (anything with keys()) or from pairs.
PyObject* km_update(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  if (kwnames != nullptr && PyTuple_Size(kwnames) > 0) {
    PyErr_SetString(PyExc_TypeError, "update() takes no keyword arguments: keys are bytes");
    return nullptr;
  }
  if (nargs > 1) {
    PyErr_Format(PyExc_TypeError, "update() takes at most 1 argument (%zd given)", nargs);
    return nullptr;
  }
  if (refuses_writes(self)) return nullptr;
  if (nargs == 0) Py_RETURN_NONE;
  PyObject* other = args[0];
  PyObject* keys_fn = PyObject_GetAttrString(other, "keys");
  if (keys_fn == nullptr) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return nullptr;
    PyErr_Clear();
  }
  const bool mapping = keys_fn != nullptr;
  PyObject* source = nullptr;
  if (keys_fn != nullptr) {
    source = PyObject_CallNoArgs(keys_fn);
    Py_DECREF(keys_fn);
  } else {
    source = Py_NewRef(other);
  }
  if (source == nullptr) return nullptr;
  PyObject* it = PyObject_GetIter(source);
  Py_DECREF(source);
  if (it == nullptr) return nullptr;
  PyObject* item;
  while ((item = PyIter_Next(it)) != nullptr) {
    PyObject* key = nullptr;
    PyObject* value = nullptr;
    if (mapping) {
      key = item;
      value = PyObject_GetItem(other, key);
    } else {
      PyObject* pair = PySequence_Tuple(item);
      Py_DECREF(item);
      if (pair != nullptr && PyTuple_Size(pair) != 2) {
        PyErr_SetString(PyExc_ValueError, "update() needs pairs of key and value");
        Py_CLEAR(pair);
      }
      if (pair != nullptr) {
        key = Py_NewRef(PyTuple_GetItem(pair, 0));
        value = Py_NewRef(PyTuple_GetItem(pair, 1));
        Py_DECREF(pair);
      }
    }
    const int st = value != nullptr ? PyObject_SetItem(self, key, value) : -1;
    Py_XDECREF(key);
    Py_XDECREF(value);
    if (st < 0) {
      Py_DECREF(it);
      return nullptr;
    }
  }
  Py_DECREF(it);
  if (PyErr_Occurred()) return nullptr;
  Py_RETURN_NONE;
}

// Equal to any mapping with the same items, as mappings compare.
PyObject* km_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  PyObject* abc = PyImport_ImportModule("collections.abc");
  if (abc == nullptr) return nullptr;
  PyObject* mapping_type = PyObject_GetAttrString(abc, "Mapping");
  Py_DECREF(abc);
  if (mapping_type == nullptr) return nullptr;
  const int is_mapping = PyObject_IsInstance(other, mapping_type);
  Py_DECREF(mapping_type);
  if (is_mapping < 0) return nullptr;
  if (is_mapping == 0) Py_RETURN_NOTIMPLEMENTED;
  PyObject* mine = PyDict_New();
  PyObject* theirs = PyDict_New();
  PyObject* result = nullptr;
  if (mine != nullptr && theirs != nullptr && PyDict_Merge(mine, self, 1) == 0 &&
      PyDict_Merge(theirs, other, 1) == 0)
    result = PyObject_RichCompare(mine, theirs, op);
  Py_XDECREF(mine);
  Py_XDECREF(theirs);
  return result;
}

PyObject* km_name(PyObject* self, void*) {
  const std::string& name = as_km(self).map.root_name();
  return PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size()));
}

PyObject* km_repr(PyObject* self) {
  PyObject* name = km_name(self, nullptr);
  if (name == nullptr) return nullptr;
  PyObject* text = PyUnicode_FromFormat(
      as_km(self).on_snapshot ? "<ambrik.KeyMap %R of a snapshot>" : "<ambrik.KeyMap %R>", name);
  Py_DECREF(name);
  return text;
}

int km_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_km(self).owner);
  return 0;
}

int km_clear(PyObject* self) {
  Py_CLEAR(as_km(self).owner);
  return 0;
}

PyMethodDef km_methods[] = {
    AMBRIK_METHOD_FAST("get", km_get, "get($self, key, default=None)\n--\n\n"),
    AMBRIK_METHOD_FAST("pop", km_pop, "pop($self, key, default=<unrepresentable>)\n--\n\n"),
    AMBRIK_METHOD_FAST("handle", km_handle,
                       "handle($self, key)\n--\n\nThe handle of the value under key, or None."),
    AMBRIK_METHOD_FAST("items", km_items,
                       "items($self, start=None, stop=None, *, reverse=False, prefix=None)\n"
                       "--\n\n"
                       "Without arguments, a view of the map's items; with any, a lazy\n"
                       "iterator of (key, value) for start <= key < stop whose keys\n"
                       "start with prefix."),
    AMBRIK_METHOD_FAST("keys", km_keys,
                       "keys($self, start=None, stop=None, *, reverse=False, prefix=None)\n"
                       "--\n\n"),
    AMBRIK_METHOD_FAST("values", km_values,
                       "values($self, start=None, stop=None, *, reverse=False, prefix=None)\n"
                       "--\n\n"),
    AMBRIK_METHOD_FAST("delete_range", km_delete_range,
                       "delete_range($self, start=None, stop=None)\n--\n\n"
                       "Remove every key in start <= key < stop; the number removed."),
    AMBRIK_METHOD_NOARGS("first", km_first,
                         "first($self)\n--\n\nThe (key, value) of the smallest key, or None."),
    AMBRIK_METHOD_NOARGS("last", km_last,
                         "last($self)\n--\n\nThe (key, value) of the largest key, or None."),
    AMBRIK_METHOD_FAST("setdefault", km_setdefault, "setdefault($self, key, default)\n--\n\n"),
    AMBRIK_METHOD_FAST("update", km_update, "update($self, other=(), /)\n--\n\n"),
    AMBRIK_METHOD_NOARGS("popitem", km_popitem,
                         "popitem($self)\n--\n\nRemove the first key and return (key, value)."),
    AMBRIK_METHOD_NOARGS("clear", km_clear_all, "clear($self)\n--\n\nRemove every key."),
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef km_getset[] = {
    {"name", km_name, nullptr, "The named root the map lives under.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyType_Slot km_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "An ordered map of bytes keys to bytes values under a named root; "
                    "created by Ambrik.keymap().")},
    {Py_tp_methods, km_methods},
    {Py_tp_getset, km_getset},
    {Py_tp_repr, reinterpret_cast<void*>(km_repr)},
    {Py_tp_iter, reinterpret_cast<void*>(km_iter)},
    {Py_tp_richcompare, reinterpret_cast<void*>(km_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_mp_subscript, reinterpret_cast<void*>(km_getitem)},
    {Py_mp_ass_subscript, reinterpret_cast<void*>(km_setitem)},
    {Py_mp_length, reinterpret_cast<void*>(km_length)},
    {Py_sq_contains, reinterpret_cast<void*>(km_contains)},
    {Py_tp_traverse, reinterpret_cast<void*>(km_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(km_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<KeyMapBody>)},
    {0, nullptr},
};

PyType_Spec km_spec = {
    "ambrik._ambrik.KeyMap",
    kBasicSize<KeyMapBody>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    km_slots,
};

}  // namespace

bool MapKey::parse(PyObject* obj) {
  if (PyBytes_Check(obj)) {
    char* p = nullptr;
    Py_ssize_t n = 0;
    if (PyBytes_AsStringAndSize(obj, &p, &n) < 0) return false;
    data_ = reinterpret_cast<const uint8_t*>(p);
    size_ = static_cast<size_t>(n);
  } else {
    if (PyUnicode_Check(obj)) {
      PyErr_SetString(PyExc_TypeError,
                      "keys must be bytes-like; got str \u2014 encode first, e.g. s.encode('utf-8')");
      return false;
    }
    if (!PyObject_CheckBuffer(obj)) {
      PyErr_SetString(PyExc_TypeError, "keys must be bytes-like (implement the buffer protocol)");
      return false;
    }
    ValueView view;
    if (!view.acquire(obj)) return false;
    const auto bytes = view.bytes();
    size_ = bytes.size();
    if (size_ > 0 && size_ <= sizeof copy_) std::memcpy(copy_, bytes.data(), size_);
    data_ = copy_;
  }
  if (size_ == 0 || size_ > ambrik::keymap::kMaxKeyBytes) {
    PyErr_SetString(PyExc_ValueError, "keys must be 1 to 1024 bytes long");
    return false;
  }
  return true;
}

bool to_map_key(PyObject* obj, std::vector<uint8_t>* out) {
  MapKey k;
  if (!k.parse(obj)) return false;
  out->assign(k.key().begin(), k.key().end());
  return true;
}

PyObject* keymap_db(PyObject* keymap) {
  return as_km(keymap).on_snapshot ? nullptr : as_km(keymap).owner;
}
PyObject* keymap_snapshot(PyObject* keymap) {
  return as_km(keymap).on_snapshot ? as_km(keymap).owner : nullptr;
}
KeyMap& keymap_state(PyObject* keymap) { return as_km(keymap).map; }

PyObject* create_keymap_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &km_spec, nullptr);
}

PyObject* new_keymap(PyObject* type, PyObject* db, std::string name) {
  return new_object<KeyMapBody>(type, db, false, std::move(name));
}

namespace {

// The name's check when a map is made: refused at once when the engine
// refuses the name or when it is bound to a value that is no map's header
// (the map checks again at every use, since a database's name can be bound
// to something else later).
template <MapReader R>
Status check_map_name(R& reader, const std::string& name) {
  auto bound = TRY(reader.get_root_name(name));
  if (!bound) return ok_status();
  auto tag = reader.tag(*bound);
  if (tag.ok() && tag.value() == ambrik::keymap::kMapTag) return ok_status();
  if (!tag.ok() && tag.error().kind() != ErrorKind::InvalidHandle) return tag.error();
  return Error::not_a_key_map(name, *bound);
}

// The `name` argument of keymap(); false with a Python error set.
bool map_name_arg(PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames, std::string* name) {
  static const char* const names[] = {"name"};
  PyObject* a[1];
  if (bind_args(Signature{"keymap()", names, 1, 1, 0}, args, nargs, kwnames, a) < 0) return false;
  return to_utf8(a[0], names[0], name);
}

}  // namespace

// Ambrik.keymap(name) and Transaction.keymap(name).
PyObject* db_keymap(PyObject* db, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  std::string name;
  if (!map_name_arg(args, nargs, kwnames, &name)) return nullptr;
  ModuleState* state = module_state_of(Py_TYPE(db));
  if (state == nullptr) return nullptr;
  // The engine judges the name (and whether the database is open) now, not
  // at the first use of the map.
  auto r = with_engine(db, [&](TransactionManager& tm) -> Status {
    ambrik::ReadScope scope(tm);
    TRY(scope.status());
    return check_map_name(tm, name);
  });
  if (!succeeded(r)) return nullptr;
  return new_keymap(state->keymap_type, db, std::move(name));
}

PyObject* snapshot_keymap(PyObject* snapshot, PyObject* const* args, Py_ssize_t nargs,
                          PyObject* kwnames) {
  std::string name;
  if (!map_name_arg(args, nargs, kwnames, &name)) return nullptr;
  ModuleState* state = module_state_of(Py_TYPE(snapshot));
  if (state == nullptr) return nullptr;
  Status checked = ok_status();
  {
    std::optional<Snapshot::Access> access = snapshot_access(snapshot);
    if (!access) return nullptr;
    ambrik::keymap::SnapshotReader reader(*access);
    checked = check_map_name(reader, name);
  }
  if (!checked.ok()) return raise_engine_error(checked.error());
  return new_object<KeyMapBody>(state->keymap_type, snapshot, true, std::move(name));
}

}  // namespace ambrik::py
