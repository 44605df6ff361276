// Internals of the Ambrik object shared by the files that implement its
// methods: the object layout and the one way of reaching the engine.
#pragma once

#include <Python.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "errors.h"
#include "fork_guard.h"
#include "heap_object.h"
#include "transaction/transaction_manager.h"

namespace ambrik::py {

// The body of an Ambrik object.
struct Database {
  explicit Database(std::optional<std::string> p) noexcept : path(std::move(p)) {}

  // Not re-entrant; held from the closed check to the end of one engine
  // call, never across a call back into Python.
  std::mutex mu;
  std::unique_ptr<TransactionManager> engine;  // absent once closed
  // The fork generation the engine was opened in; in a later one (a child
  // process) the engine is the parent's and counts as closed.
  uint64_t generation = 0;
  int fd = -1;                       // the database file's, or -1
  std::optional<std::string> path;   // for repr; absent in memory
};

inline Database* as_db(PyObject* obj) { return &body_of<Database>(obj); }

// The engine if this process may use it. An engine inherited through fork()
// is let go on first sight and never run again, not even its destructor:
// whatever destroying it does (closing the descriptor that the fork handler
// has closed already, emptying or removing the spill file, writing) belongs
// to the parent. The child's copy of its memory is simply left, and so is
// the child's copy of the spill file's descriptor (close-on-exec).
// REQUIRES: self->mu held.
inline TransactionManager* usable_engine(Database* self) {
  if (self->engine && self->generation != fork_generation()) (void)self->engine.release();
  return self->engine.get();
}

// Runs `op` on the engine under the object's lock. Empty when the database
// has been closed (the caller raises ClosedError after the lock is dropped).
template <typename Op>
std::optional<std::invoke_result_t<Op, TransactionManager&>> with_engine(PyObject* db, Op&& op) {
  Database* self = as_db(db);
  std::lock_guard<std::mutex> guard(self->mu);
  TransactionManager* engine = usable_engine(self);
  if (engine == nullptr) return std::nullopt;
  return op(*engine);
}

// Result of a with_engine call that yields no value: None, or the error.
template <typename R>
PyObject* none_or_error(const std::optional<R>& r) {
  if (!r) return raise_closed();
  if (!r->ok()) return raise_engine_error(r->error());
  Py_RETURN_NONE;
}

// True when `r` holds a value; otherwise raises ClosedError or the engine
// error and returns false.
template <typename R>
bool succeeded(const std::optional<R>& r) {
  if (!r) {
    raise_closed();
    return false;
  }
  if (!r->ok()) {
    raise_engine_error(r->error());
    return false;
  }
  return true;
}

// New list of ints, in the given order.
PyObject* handle_list(const std::vector<uint64_t>& handles);

}  // namespace ambrik::py
