// Destination: the new file a copy of a committed state (a compaction, a
// backup) is written to, and everything that can go wrong with it.
//
// open() refuses a destination that names the database being copied or its
// spill file, one that exists unless overwriting, and one that some process
// holds open (a database in use is never replaced). It then creates the
// temporary file "<dst>.compact-<16 random hex digits>.tmp" beside it,
// exclusively: a name that an earlier run left behind (a run killed with
// the same process id, as is usual in containers) or that another copy is
// using is never taken over; another name is drawn instead. The temporary
// file is locked as a database is, and removed when the object goes unless
// commit() has synced it, renamed it over the destination and synced the
// directory. So the destination is replaced whole or not at all.
//
// Every failure of these steps, and every failed write to storage() (also
// from the compactor's writer thread), is the destination's and says
// nothing of the database: failure() hands it to the owner of a failed copy,
// which reports it as a problem of that file rather than a damaged
// database.
#pragma once

#include <memory>
#include <optional>
#include <string>

#include "result.h"
#include "tools/tool_file.h"

namespace ambrik::tools {

class Destination {
 public:
  // `watch` (not owned, may be null) tracks the descriptors opened here.
  Destination(std::string path, bool overwrite, DescriptorWatch* watch = nullptr);
  ~Destination();
  Destination(const Destination&) = delete;
  Destination& operator=(const Destination&) = delete;

  // Errors: Io InvalidInput "source and destination are the same file"
  // (`path` names `database` or its spill file); Io EEXIST when `path`
  // exists and !overwrite; LockFailed when some process holds it open; Io
  // with the OS error number when the temporary file cannot be made (ENOENT:
  // its directory is missing).
  Status open(const std::optional<std::string>& database);
  // REQUIRES: open() succeeded.
  Storage& storage() { return *file_; }
  // Syncs the temporary file, renames it over the destination, syncs the
  // directory and closes the file. Errors: Io with the OS error number.
  Status commit();

  // The destination's first failure, if it had one.
  std::optional<Error> failure() const;
  const std::string& path() const { return path_; }

 private:
  Status fail(Error e);
  Status refuse_if_in_use();
  Status create_temporary();

  std::string path_;
  bool overwrite_;
  DescriptorWatch* watch_;
  std::string temp_;  // non-empty while the temporary file is ours to remove
  std::unique_ptr<ToolFile> file_;
  std::optional<Error> failure_;
};

}  // namespace ambrik::tools
