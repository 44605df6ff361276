// Engine work run without the interpreter lock that may wait for a file
// lock for as long as the caller asked (for ever, with math.inf): such a wait
// must still answer Ctrl-C. Between polls of the file lock the wait takes
// the interpreter lock back for a moment and runs the signal handlers
// (PyErr_CheckSignals); one that raises (KeyboardInterrupt for SIGINT) ends
// the wait with Io EINTR, and its exception stays set for the caller to
// raise once the engine has returned and cleaned up. Signal handlers run
// only in the main thread; in any other the check does nothing.
// Header-only: both native modules use it.
#pragma once

#include <Python.h>

#include <cerrno>

#include "page_io.h"
#include "result.h"

namespace ambrik::py {

class ReleasedGil {
 public:
  ReleasedGil() = default;
  ReleasedGil(const ReleasedGil&) = delete;
  ReleasedGil& operator=(const ReleasedGil&) = delete;

  // As PyEval_SaveThread / PyEval_RestoreThread. REQUIRES: in that order,
  // with the interpreter lock held before release().
  void release() { ts_ = PyEval_SaveThread(); }
  void reacquire() { PyEval_RestoreThread(ts_); }

  // The check for an engine lock wait. REQUIRES: called only between
  // release() and reacquire(), on the releasing thread; this outlives it.
  LockPollFn lock_poll() {
    return [this]() -> Status {
      PyEval_RestoreThread(ts_);
      const bool raised = PyErr_CheckSignals() < 0;
      ts_ = PyEval_SaveThread();
      if (raised) return Error::io_errno(EINTR);
      return ok_status();
    };
  }

 private:
  PyThreadState* ts_ = nullptr;
};

}  // namespace ambrik::py
