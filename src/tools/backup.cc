#include "tools/backup.h"

#include <cerrno>
#include <new>

#include "tools/compactor.h"

namespace ambrik::tools {

Result<BackupReport> backup(TransactionManager& tm, Destination& dst) {
  // The copy only reads the database, so an exception (memory running out)
  // ends the backup alone and the database is neither changed nor poisoned.
  // The temporary file goes with the destination.
  try {
    // Shared mode: the newest commit, pinned until the copy is made.
    ReadScope scope(tm);
    TRY(scope.status());
    const CommittedView view = TRY(tm.committed_view());
    const CompactReport written = TRY(write_compacted(view, dst, nullptr));
    return BackupReport{written.dest_pages, written.dest_bytes};
  } catch (const std::bad_alloc&) {
    return Error::io_errno(ENOMEM);
  } catch (...) {
    return Error::internal("unexpected C++ exception");
  }
}

}  // namespace ambrik::tools
