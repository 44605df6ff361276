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
  // call, never across a call back into Python. Never waited for with the
  // interpreter lock held (see DatabaseLock), so that a thread whose engine
  // call runs without the interpreter lock can always take it back.
  std::mutex mu;
  std::unique_ptr<TransactionManager> engine;  // absent once closed
  // The fork generation the engine was opened in; in a later one (a child
  // process) the engine is the parent's and counts as closed. Set before the
  // object is published, never changed.
  uint64_t generation = 0;
  int fd = -1;                       // the database file's, or -1
  int table_fd = -1;                 // shared mode: the reader table's, or -1
  std::optional<std::string> path;   // for repr; absent in memory
};

inline Database* as_db(PyObject* obj) { return &body_of<Database>(obj); }

// Whether the object was opened in this process. In a child forked while
// another thread of the parent held `mu` (its engine call running without
// the interpreter lock), `mu` stays locked for ever: an inherited database
// is recognised without touching it, and its engine is never run again, not
// even its destructor. Whatever destroying it does (closing the descriptor
// that the fork handler has closed already, emptying or removing the spill
// file, writing) belongs to the parent; the child's copy of its memory and
// of the spill file's descriptor (close-on-exec) are simply left.
inline bool opened_here(const Database* self) { return self->generation == fork_generation(); }

// The engine, or null once closed. REQUIRES: self->mu held, opened_here.
inline TransactionManager* usable_engine(Database* self) { return self->engine.get(); }

// Holds self->mu. Called with the interpreter lock held; when another
// thread has the database, the interpreter lock is let go while waiting and
// taken back after, so no thread ever waits for a database while holding
// the interpreter. (Holding `mu` while waiting for the interpreter is then
// safe: whoever holds the interpreter never blocks on `mu`.)
class DatabaseLock {
 public:
  explicit DatabaseLock(Database* self) : self_(self) {
    if (self_->mu.try_lock()) return;
    PyThreadState* ts = PyEval_SaveThread();
    self_->mu.lock();
    PyEval_RestoreThread(ts);
  }
  ~DatabaseLock() { self_->mu.unlock(); }
  DatabaseLock(const DatabaseLock&) = delete;
  DatabaseLock& operator=(const DatabaseLock&) = delete;

 private:
  Database* self_;
};

// Whether an engine call may block long enough (syncs, large reads, key
// derivation) that other threads should run meanwhile. A releasing call
// must not touch any Python object.
enum class Gil { kHeld, kReleased };

// Runs `op` on the engine under the object's lock. Empty when the database
// has been closed (the caller raises ClosedError after the lock is dropped).
template <typename Op>
std::optional<std::invoke_result_t<Op, TransactionManager&>> with_engine(PyObject* db, Op&& op,
                                                                          Gil gil = Gil::kHeld) {
  Database* self = as_db(db);
  std::optional<std::invoke_result_t<Op, TransactionManager&>> out;
  if (!opened_here(self)) return out;
  if (gil == Gil::kReleased) {
    Py_BEGIN_ALLOW_THREADS
    {
      std::lock_guard<std::mutex> guard(self->mu);
      if (TransactionManager* engine = usable_engine(self)) out.emplace(op(*engine));
    }
    Py_END_ALLOW_THREADS
    return out;
  }
  DatabaseLock guard(self);
  if (TransactionManager* engine = usable_engine(self)) out.emplace(op(*engine));
  return out;
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
