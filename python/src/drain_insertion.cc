#include "drain_insertion.h"

#include "heap_object.h"

namespace ambrik::py {

namespace {

struct Member {
  explicit Member(int v) noexcept : value(v) {}
  int value;
};

const char* const kMemberNames[] = {"LruTail", "Mru"};

PyObject* drain_repr(PyObject* self) {
  int value = body_of<Member>(self).value;
  return PyUnicode_FromFormat("DrainInsertion.%s", kMemberNames[value]);
}

PyObject* drain_int(PyObject* self) {
  return PyLong_FromLong(body_of<Member>(self).value);
}

// Equality with members and with anything that converts to an int; no
// ordering, so Python falls back to its defaults.
PyObject* drain_richcompare(PyObject* self, PyObject* other, int op) {
  if (op != Py_EQ && op != Py_NE) Py_RETURN_NOTIMPLEMENTED;
  int value = body_of<Member>(self).value;
  int other_member = drain_insertion_value(other);
  if (other_member >= 0) {
    bool equal = value == other_member;
    return PyBool_FromLong(op == Py_EQ ? equal : !equal);
  }
  if (!PyIndex_Check(other)) Py_RETURN_NOTIMPLEMENTED;
  PyObject* other_int = PyNumber_Index(other);
  if (other_int == nullptr) {
    PyErr_Clear();
    Py_RETURN_NOTIMPLEMENTED;
  }
  PyObject* mine = PyLong_FromLong(value);
  if (mine == nullptr) {
    Py_DECREF(other_int);
    return nullptr;
  }
  PyObject* result = PyObject_RichCompare(mine, other_int, op);
  Py_DECREF(mine);
  Py_DECREF(other_int);
  return result;
}

// Each member holds a reference to its class, and the class holds the members
// as attributes: the collector must see that cycle, or a module initialised a
// second time (another interpreter, a reload) could never be freed.
int drain_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  return 0;
}

PyType_Slot drain_slots[] = {
    {Py_tp_doc, const_cast<char*>(
                    "Where pages drained from the spillway at commit re-enter the cache's LRU "
                    "order: LruTail (next to be evicted) or Mru (most recently used).")},
    {Py_tp_repr, reinterpret_cast<void*>(drain_repr)},
    {Py_nb_int, reinterpret_cast<void*>(drain_int)},
    {Py_tp_richcompare, reinterpret_cast<void*>(drain_richcompare)},
    {Py_tp_hash, reinterpret_cast<void*>(PyObject_HashNotImplemented)},
    {Py_tp_traverse, reinterpret_cast<void*>(drain_traverse)},
    {Py_tp_dealloc, reinterpret_cast<void*>(dealloc_object<Member>)},
    {0, nullptr},
};

PyType_Spec drain_spec = {
    "ambrik._ambrik.DrainInsertion",
    kBasicSize<Member>,
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_HAVE_GC | Py_TPFLAGS_DISALLOW_INSTANTIATION,
    drain_slots,
};

}  // namespace

int drain_insertion_value(PyObject* obj) {
  // Every initialisation of the module builds its own class; members of any
  // of them are recognised by their shared implementation.
  if (PyType_GetSlot(Py_TYPE(obj), Py_tp_repr) != reinterpret_cast<void*>(drain_repr)) return -1;
  return body_of<Member>(obj).value;
}

PyObject* create_drain_insertion_type(PyObject* module) {
  PyObject* type = PyType_FromModuleAndSpec(module, &drain_spec, nullptr);
  if (type == nullptr) return nullptr;
  for (int value = 0; value < 2; ++value) {
    PyObject* member = new_object<Member>(type, value);
    if (member == nullptr) {
      Py_DECREF(type);
      return nullptr;
    }
    int rc = PyObject_SetAttrString(type, kMemberNames[value], member);
    Py_DECREF(member);
    if (rc < 0) {
      Py_DECREF(type);
      return nullptr;
    }
  }
  return type;
}

}  // namespace ambrik::py
