// guarded_copy: a memcpy out of a file mapping that survives the file being
// shortened underneath it.
//
// Reading a page of a shared file mapping that lies past the file's end
// raises SIGBUS instead of returning an error. The mapping is only read
// below the length the engine knows, so this happens only when another
// program shortens the file while it is open. To turn that into an error
// instead of the end of the process, `guarded_copy` notes in a thread-local
// record that a copy is running; a SIGBUS handler jumps back out of any
// SIGBUS on that thread during the copy, and the copy reports failure.
// Every other SIGBUS is handed to the disposition that was in place before
// (the handler puts it back and lets the faulting instruction run again).
//
// The handler holds for every copy whatever the program did before the
// engine operation that makes it began: the first copy of each operation
// on a thread checks which SIGBUS handler is in place (one system call)
// and installs this one again when the program replaced it; a copy after a
// foreign SIGBUS made this handler give way installs it again as well,
// whenever that happened. So a fault in a guarded copy always ends the
// copy; it never re-runs under a handler that returns. Copies outside any
// `GuardedOperation` (the offline tools, a read-ahead) check every time.
#pragma once

#include <sys/uio.h>

#include <cstddef>
#include <cstdint>

namespace ambrik {

// One engine operation on this thread, for the length of the object: the
// first guarded copy in it checks the handler, the others trust that
// check. Invariant: a copy skips the check only when, on its own thread,
// a check (or installation) ran after the innermost operation began and
// the handler has not given way to a foreign SIGBUS since. Nesting (an
// operation started from a callback of another) checks again.
class GuardedOperation {
 public:
  GuardedOperation() noexcept;
  ~GuardedOperation();
  GuardedOperation(const GuardedOperation&) = delete;
  GuardedOperation& operator=(const GuardedOperation&) = delete;

 private:
  bool outer_checked_;
};

// Copies `len` bytes from `src` (inside a file mapping) to `dst`. False when
// a page of the source could not be read (the file is shorter than the
// mapping assumed); `dst` then holds an unspecified prefix of the bytes.
// False also when the handler cannot be installed; nothing is copied then.
[[nodiscard]] bool guarded_copy(uint8_t* dst, const uint8_t* src, size_t len);
// The same for bytes that go to the `count` buffers of `dst` one after the
// other, under one guard.
[[nodiscard]] bool guarded_copy(const struct iovec* dst, size_t count, const uint8_t* src);
// The same, taking the source as units of `unit` bytes (the buffers' lengths
// sum to a whole number of them) and setting hashes[k] to the XXH3 of the
// first `hashed` bytes of unit k, each unit hashed and then copied while it
// is still in the processor's cache.
[[nodiscard]] bool guarded_copy_hashed(const struct iovec* dst, size_t count, const uint8_t* src,
                                       size_t unit, size_t hashed, uint64_t* hashes);

}  // namespace ambrik
