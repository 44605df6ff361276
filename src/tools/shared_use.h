// SharedUse: how a tool reads a database file that processes are using in
// shared mode, without reading a page that one of their commits reuses.
//
// Such a file has members in its reader table (shared/reader_table.h), and
// the plain read-only lock the tools take otherwise is refused there. The
// tool joins the table as one more member instead (its own plain-reader
// announcement withdrawn first: members that join meanwhile would take it
// for a plain reader and be refused) and, before it reads a superblock,
// takes one of two holds, kept until the object is destroyed:
//
//   SharedHold::Pin     a slot pinning the newest generation. The superblock
//                       read after it is of that generation or a later one,
//                       and no page reachable from it is handed out again
//                       while the pin lasts, except the free map's own
//                       nodes, which commits retire and reuse freely. For a
//                       reader that never follows the free map (compact).
//                       Writers go on.
//   SharedHold::Writer  the write lock: no commit begins or ends while it is
//                       held, so the current state, free map included,
//                       stays as it is (check, stats). Writers wait.
//
// Either way the superblocks alone choose the state read, as the engine's
// open chooses: a writer that died inside a commit (the table's committing
// word set) leaves the repair to the next writer, never to a tool.
//
// A table is only joined, never made for the purpose: the caller joins only
// once it has seen members. If the last of them leaves meanwhile, the join
// rebuilds the table alone, which is harmless: without members nobody
// writes, and a member that comes later respects the tool's pin.
//
// Invariant: while a SharedUse lives, the database descriptor it joined
// through stays open (the table's identity check relies on it), carries no
// plain-reader announcement, and the hold is in place. Its table descriptor
// is tracked by the caller's DescriptorWatch from its open to its close.
#pragma once

#include <memory>
#include <string>

#include "result.h"
#include "shared/reader_table.h"
#include "tools/tool_file.h"

namespace ambrik::tools {

enum class SharedHold { Pin, Writer };

class SharedUse {
 public:
  // How long the write lock is waited for when the caller gives no wait of
  // its own: a writer holds it for one transaction.
  static constexpr double kDefaultWriterWaitSeconds = 5.0;

  // The flock admission of a tool's read-only open of `db_path` (opened as
  // `db_fd`): admits a plain reader, or, when the file is in shared use,
  // joins its table into `joined`. Errors: those of ReaderTable's
  // admit_plain_reader (except the refusal that names shared use) and open.
  static Status admit(int db_fd, const std::string& db_path, DescriptorWatch* watch,
                      std::unique_ptr<SharedUse>& joined);

  ~SharedUse();
  SharedUse(const SharedUse&) = delete;
  SharedUse& operator=(const SharedUse&) = delete;

  // Takes the hold (once). Writer waits up to access.lock_timeout_seconds
  // (kDefaultWriterWaitSeconds when not positive), answering
  // access.between_polls, and fails with LockFailed naming the reason;
  // Pin fails with Io (ResourceBusy) when every slot is taken.
  Status hold(SharedHold how, const FileAccess& access);
  // The generation pinned (Pin), else 0.
  uint64_t pinned() const { return table_->pinned(); }

 private:
  SharedUse(std::unique_ptr<ReaderTable> table, DescriptorWatch* watch)
      : table_(std::move(table)), watch_(watch) {}

  std::unique_ptr<ReaderTable> table_;
  DescriptorWatch* watch_;
};

}  // namespace ambrik::tools
