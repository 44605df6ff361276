// The Snapshot object: a read-only view of one commit of an Ambrik.
#pragma once

#include <Python.h>

#include <optional>

#include "transaction/snapshot.h"

namespace ambrik::py {

PyObject* create_snapshot_type(PyObject* module);

// The reads of the Snapshot object `snapshot`, held until the result goes;
// nothing, with ClosedError raised, once it is closed. Called with the
// interpreter lock held (let go while another thread has the snapshot) and
// returns with it held. REQUIRES: `snapshot` is a Snapshot.
std::optional<Snapshot::Access> snapshot_access(PyObject* snapshot);

// Ambrik.snapshot(): a Snapshot of the database's last commit.
PyObject* db_snapshot(PyObject* db, PyObject* unused);

}  // namespace ambrik::py
