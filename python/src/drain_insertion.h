// DrainInsertion: the two-member policy enumeration of the page cache.
#pragma once

#include <Python.h>

namespace ambrik::py {

// New reference to a fresh DrainInsertion type for `module`, with its
// members LruTail and Mru set as class attributes.
PyObject* create_drain_insertion_type(PyObject* module);

// The member's value (0 or 1), or -1 when `obj` is not a DrainInsertion
// member of any initialisation of this module. Never raises.
int drain_insertion_value(PyObject* obj);

}  // namespace ambrik::py
