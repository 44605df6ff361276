#include "tools/backup.h"

#include "tools/compactor.h"

namespace ambrik::tools {

Result<BackupReport> backup(TransactionManager& tm, const std::string& dst, bool overwrite) {
  const CommittedView view = TRY(tm.committed_view());
  const CompactReport written = TRY(write_compacted(view, dst, overwrite, nullptr));
  return BackupReport{written.dest_pages, written.dest_bytes};
}

}  // namespace ambrik::tools
