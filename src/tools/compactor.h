// Compactor: writes a new database file holding exactly the committed state
// of a closed one, with no free, leaked or superseded pages.
//
// The destination holds every live handle with its value, tag and client
// byte (the same handle numbers), the same next_handle, named roots and
// superblock count. Values are packed into data pages in handle order (large
// values as overflow chains), the handle table and the membership index are
// built bottom-up, and there is no free map. All N superblock slots describe
// that state, with generations N-1..0 as in a new file.
//
// An encrypted source gives an encrypted destination with the same crypto
// header: the key slots are copied as they are and the pages are sealed
// with the same data key (fresh nonces), so exactly the keys that open the
// source open the copy, and no key is re-derived.
//
// Durability: the copy is written to "<dst>.compact-<pid>.tmp" in the
// destination's directory, synced, renamed over `dst` and the directory
// synced; on any failure the temporary file is removed. The source is
// opened read-only and locked for the duration, so it is never modified.
//
// Memory: one page per open tree level, the current data page, a write
// buffer, a bounded page cache over the source, a bit per source page and
// the largest single value.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "crypto/key.h"
#include "result.h"
#include "tools/checker.h"
#include "transaction/committed_view.h"

namespace ambrik::tools {

struct CompactReport {
  uint64_t source_bytes = 0;
  uint64_t source_pages = 0;  // committed page count of the source
  uint64_t dest_bytes = 0;
  uint64_t dest_pages = 0;
  uint64_t handles = 0;
  uint64_t value_bytes = 0;
  uint64_t tags = 0;
};

// Errors: those of open_source; CorruptSuperblock, FileSizeMismatch and the
// page errors of the engine's readers for a damaged source (CorruptPage
// naming the membership root when the index disagrees with the handle
// tags); UnsupportedFormatVersion for a source of a newer minor version
// (its structures cannot be carried over faithfully); Io "File exists" when
// `dst` exists and !overwrite, Io "source and destination are the same
// file"; any I/O error writing the copy.
// The copy itself, from any committed state: a closed file's (above) or an
// open database's (a backup). Refuses a destination that is the source
// database or its spill file (Io "source and destination are the same
// file"), an existing one unless `overwrite` (Io "File exists"), and one
// some process holds open (LockFailed). `chosen_slot` is the page blamed
// when the tags disagree and there is no membership index. source_bytes is
// left 0.
Result<CompactReport> write_compacted(const CommittedView& view, const std::string& dst,
                                      bool overwrite, const ProgressFn& progress,
                                      uint64_t chosen_slot = 0);

Result<CompactReport> compact_file(const std::string& src, const std::string& dst,
                                   const std::optional<Key>& key, bool overwrite,
                                   const ProgressFn& progress, double lock_timeout_seconds = 0.0);

}  // namespace ambrik::tools
