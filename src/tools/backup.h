// Backup: the last committed state of an open database, written to a new
// file as the compactor writes it (see compactor.h): the same values,
// handles, tags, client bytes, named roots, next_handle and superblock
// count, and for an encrypted database the same key slots and data key, so
// that the same keys open the copy. Like a compacted file, the copy leaves
// out the pending-free records and the pages they list: the copy's pages
// are numbered anew, and no reader of the copy holds them.
//
// The database stays open and unchanged; a transaction running in it is
// neither shown nor disturbed (its dirty pages may move to the spill file,
// as any read can make them). Reads go through the database's own cache.
#pragma once

#include <cstdint>
#include <string>

#include "result.h"
#include "tools/destination.h"
#include "transaction/transaction_manager.h"

namespace ambrik::tools {

struct BackupReport {
  uint64_t pages = 0;  // page units written, superblocks included
  uint64_t bytes = 0;  // length of the new file
};

// REQUIRES: the caller serialises calls into `tm` (none runs meanwhile).
// Errors: Poisoned; those of the destination (dst.failure() names them:
// the database or its spill file, exists and !overwrite, held open, its
// directory missing, writing, syncing or renaming the copy); the engine's
// page errors for a damaged database; Io ENOMEM when memory runs out. A
// failed backup never changes or poisons the database.
Result<BackupReport> backup(TransactionManager& tm, Destination& dst);

}  // namespace ambrik::tools
