// KeyMapIterator: keys, values or items of a key range, read a batch of
// entries at a time so that memory stays bounded for any size of map.
#include <Python.h>

#include <new>
#include <utility>
#include <vector>

#include "db_engine.h"
#include "entry.h"
#include "errors.h"
#include "heap_object.h"
#include "keymap.h"
#include "module.h"

namespace ambrik::py {

namespace {

using ambrik::TransactionManager;
using ambrik::keymap::KeyMap;
using ambrik::keymap::MapEntry;
using ambrik::keymap::MapReader;
using ambrik::keymap::ScanRange;

constexpr size_t kBatch = 256;
constexpr size_t kPrefetchRun = 32;  // divides kBatch

struct IterBody {
  IterBody(PyObject* map, IterKind k, ScanRange r) noexcept
      : keymap(Py_NewRef(map)), kind(k), range(std::move(r)) {}
  ~IterBody() { Py_XDECREF(keymap); }

  PyObject* keymap;  // strong reference to the KeyMap
  IterKind kind;
  ScanRange range;
  std::vector<MapEntry> batch;
  size_t next = 0;
  bool done = false;
  // The map as the iterator first saw it; any other stamp means it changed.
  // (A snapshot's map never changes: its reader's change count stays put.)
  uint64_t stamp = 0;
  uint64_t seen_changes = 0;
};

IterBody& as_it(PyObject* obj) { return body_of<IterBody>(obj); }

enum class Step { Entry, End, Changed };

struct Next {
  Step step = Step::End;
  PyObject* key = nullptr;    // new references, or nullptr with an error set
  PyObject* value = nullptr;
  bool failed = false;
};

PyObject* bytes_of(const std::vector<uint8_t>& b) {
  return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(b.data()),
                                   static_cast<Py_ssize_t>(b.size()));
}

// One step under the lock of the map's database or snapshot.
template <MapReader R>
Result<Next> advance(R& reader, KeyMap& map, IterBody& it) {
  Next out;
  // Only a write since the last look can have changed the map.
  if (reader.change_count() != it.seen_changes) {
    if (TRY(map.stamp(reader)) != it.stamp) {
      out.step = Step::Changed;
      return out;
    }
    it.seen_changes = reader.change_count();
  }
  if (it.next == it.batch.size()) {
    if (it.done) return out;
    if (!it.batch.empty()) it.range.resume = std::move(it.batch.back().key);
    auto got = TRY(map.scan(reader, it.range, kBatch));
    it.batch = std::move(got.entries);
    it.next = 0;
    it.done = got.done;
    it.seen_changes = reader.change_count();
    if (it.batch.empty()) return out;
  }
  if (it.kind != IterKind::Keys && it.next % kPrefetchRun == 0) {
    // The values of consecutive keys lie anywhere in memory: asking for a
    // run of them ahead lets their loads overlap.
    uint64_t ahead[2 * kPrefetchRun];
    size_t n = 0;
    const size_t from = it.next == 0 ? 0 : it.next + kPrefetchRun;
    for (size_t i = from; i < it.batch.size() && i < it.next + 2 * kPrefetchRun; ++i)
      ahead[n++] = it.batch[i].handle;
    reader.prefetch({ahead, n});
  }
  const MapEntry& e = it.batch[it.next++];
  out.step = Step::Entry;
  if (it.kind != IterKind::Values) {
    out.key = bytes_of(e.key);
    if (out.key == nullptr) {
      out.failed = true;
      return out;
    }
  }
  if (it.kind != IterKind::Keys) {
    PyObject* value = nullptr;
    auto r = reader.read_into(e.handle, [&](size_t n) -> uint8_t* {
      if (n > static_cast<size_t>(PY_SSIZE_T_MAX)) return nullptr;
      value = PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(n));
      return value ? reinterpret_cast<uint8_t*>(PyBytes_AsString(value)) : nullptr;
    });
    if (!r.ok() || !r.value()) {
      Py_XDECREF(value);
      Py_XDECREF(out.key);
      if (!r.ok()) {
        if (r.error().kind() == ErrorKind::InvalidHandle)
          return Error::corrupt_key_map(e.handle);
        return std::move(r).error();
      }
      if (!PyErr_Occurred()) PyErr_NoMemory();
      out.key = nullptr;
      out.failed = true;
      return out;
    }
    out.value = value;
  }
  return out;
}

PyObject* it_next_impl(PyObject* self) {
  IterBody& it = as_it(self);
  auto r = with_map_reader(it.keymap,
                           [&](auto& reader, KeyMap& map) { return advance(reader, map, it); });
  if (!r) return nullptr;
  if (!r->ok()) return raise_engine_error(r->error());
  Next n = std::move(*r).value();
  if (n.failed) return nullptr;
  switch (n.step) {
    case Step::End:
      return nullptr;  // StopIteration, no error set
    case Step::Changed:
      PyErr_SetString(PyExc_RuntimeError, "key map changed during iteration");
      return nullptr;
    case Step::Entry:
      break;
  }
  if (it.kind == IterKind::Keys) return n.key;
  if (it.kind == IterKind::Values) return n.value;
  PyObject* pair = PyTuple_New(2);
  if (pair == nullptr) {
    Py_DECREF(n.key);
    Py_DECREF(n.value);
    return nullptr;
  }
  PyTuple_SetItem(pair, 0, n.key);
  PyTuple_SetItem(pair, 1, n.value);
  return pair;
}

PyObject* it_next(PyObject* self) {
  try {
    return it_next_impl(self);
  } catch (...) {
    return escaped_exception();
  }
}

PyObject* it_self(PyObject* self) { return Py_NewRef(self); }

int it_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  Py_VISIT(as_it(self).keymap);
  return 0;
}

int it_clear(PyObject* self) {
  Py_CLEAR(as_it(self).keymap);
  return 0;
}

PyType_Slot it_slots[] = {
    {Py_tp_doc, const_cast<char*>("Iterator over a key range of a KeyMap, in key order.")},
    {Py_tp_iter, reinterpret_cast<void*>(it_self)},
    {Py_tp_iternext, reinterpret_cast<void*>(it_next)},
    {Py_tp_traverse, reinterpret_cast<void*>(it_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(it_clear)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<IterBody>)},
    {0, nullptr},
};

PyType_Spec it_spec = {
    "ambrik._ambrik.KeyMapIterator",
    kBasicSize<IterBody>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION |
        Py_TPFLAGS_IMMUTABLETYPE,
    it_slots,
};

}  // namespace

PyObject* create_keymap_iterator_type(PyObject* module) {
  return PyType_FromModuleAndSpec(module, &it_spec, nullptr);
}

PyObject* new_keymap_iterator(PyObject* keymap, IterKind kind, ScanRange range) {
  ModuleState* state = module_state_of(Py_TYPE(keymap));
  if (state == nullptr) return nullptr;
  uint64_t changes = 0;
  auto stamp = with_map_reader(keymap, [&](auto& reader, KeyMap& map) {
    auto s = map.stamp(reader);
    changes = reader.change_count();
    return s;
  });
  if (!stamp) return nullptr;
  if (!stamp->ok()) return raise_engine_error(stamp->error());
  PyObject* obj = new_object<IterBody>(state->keymap_iter_type, keymap, kind, std::move(range));
  if (obj == nullptr) return nullptr;
  as_it(obj).stamp = stamp->value();
  as_it(obj).seen_changes = changes;
  return obj;
}

}  // namespace ambrik::py
