// Databases across fork(): a child process must not use the parent's, nor
// keep the files of a backup or tool running in the parent.
//
// A child created by fork() shares the parent's open file descriptions. If
// it wrote through an inherited database both processes would issue the
// same handle numbers and the parent's next commit would overwrite the
// child's; and its copy of the descriptor would keep the file lock after the
// parent closed. So, in every child:
//  - a handler of the C runtime closes the child's copies of the descriptors
//    of every database open at the time of the fork. A flock lock, like the
//    byte-range lock by which a read-only open announces itself, belongs to
//    the open file description, so closing a copy never releases the
//    parent's locks (nothing here ever unlocks);
//  - the fork generation rises, and a database object that was opened in an
//    older generation counts as closed: it lets its engine go without
//    running any of it, so nothing is written, synced, truncated or
//    unlinked (see db_engine.h).
//
// A database being opened is registered as soon as its file is open (the
// engine reports the descriptor before it takes the lock or derives a key),
// and the engine's mapping of the file is not inherited at all.
//
// Limits: the child closes its copies when its handler runs, an instant
// after fork() has returned in the parent, so a parent that closes and
// reopens at once may still meet the child's copy; a fork in the few
// instructions between the open() system call and the registration still
// passes an unregistered copy; and after a failed open the number stays
// registered until the opening thread has retaken it, so a child forked in
// that instant may close a descriptor that another thread has just
// received under the same number.
#pragma once

#include <cstdint>

#include "tools/tool_file.h"

namespace ambrik::py {

// Installs the fork handler; idempotent, called at module initialisation.
// Returns false when the C runtime refuses (no Python error is set).
bool install_fork_handler();

// Number of fork() calls between the start of this process's lineage and
// now, as seen from this process.
uint64_t fork_generation();

// Tracks the descriptor of an open database (ignored when fd < 0). While the
// registry is held (RegistryLock), no fork can happen.
class RegistryLock {
 public:
  RegistryLock();
  ~RegistryLock();
  RegistryLock(const RegistryLock&) = delete;
  RegistryLock& operator=(const RegistryLock&) = delete;

  // False when memory ran out (the descriptor is then not tracked).
  bool add(int fd);
  void remove(int fd);
};

// The registry as the watch of the operator tools and of backups: the
// descriptors they hold for the length of a call (a copy's temporary file,
// a source, the destination probed for its lock) are closed in children
// forked meanwhile, as a database's are. Any thread may use one.
class RegistryWatch final : public tools::DescriptorWatch {
 public:
  void hold() override;
  void release() override;
  bool add(int fd) override;
  void remove(int fd) override;
};

}  // namespace ambrik::py
