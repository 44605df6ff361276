// Result records of stats(), counters() and defrag(). Their classes live in
// the Python package `ambrik`, so that the package decides their form.
#pragma once

#include <Python.h>

#include <cstdint>
#include <initializer_list>
#include <optional>

namespace ambrik::py {

struct RecordField {
  const char* name;
  std::optional<uint64_t> value;  // absent: None
};

// Calls ambrik.<class_name>(**fields), keywords in the given order. Must be
// called without the database lock held: the package is arbitrary Python.
// Any exception of the import, the lookup or the call propagates unchanged.
PyObject* build_record(const char* class_name, std::initializer_list<RecordField> fields);

}  // namespace ambrik::py
