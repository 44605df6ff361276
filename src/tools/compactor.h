// Compactor: writes a new database file holding exactly the committed state
// of a closed one, with no free, leaked or superseded pages.
//
// The destination holds every live handle with its value, tag and client
// byte (the same handle numbers), the same next_handle, named roots and
// superblock count, except the pending-free records (values under
// kPendingFreeTag that decode, see pending_record.h): the page ids they list
// are the source's, so the copy leaves out both the records and those
// pages. A value under the tag that does not decode is copied. Values are
// packed into data pages in handle order (large values as overflow chains),
// the handle table and the membership index are built bottom-up, and there
// is no free map. All N superblock slots describe
// that state, with generations N-1..0 as in a new file.
//
// An encrypted source gives an encrypted destination with the same crypto
// header: the key slots are copied as they are and the pages are sealed
// with the same data key (fresh nonces), so exactly the keys that open the
// source open the copy, and no key is re-derived.
//
// Durability: the copy is written to a temporary file beside the
// destination, synced, renamed over it and the directory synced; on any
// failure the temporary file is removed (see destination.h). The source is
// opened read-only and locked for the duration, so it is never modified; a
// source in shared use is copied from the commit pinned at the start while
// its writers go on (SharedHold::Pin).
//
// Memory: one page per open tree level, the current data page, a write
// buffer, a bounded page cache over the source, a bit per source page, the
// largest single value and the handles of the records left out.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "crypto/key.h"
#include "result.h"
#include "tools/checker.h"
#include "tools/destination.h"
#include "transaction/committed_view.h"

namespace ambrik::tools {

struct CompactReport {
  uint64_t source_bytes = 0;
  uint64_t source_pages = 0;  // committed page count of the source
  uint64_t dest_bytes = 0;
  uint64_t dest_pages = 0;
  uint64_t handles = 0;  // copied; records left out are not counted
  uint64_t value_bytes = 0;
  uint64_t tags = 0;
};

// The copy itself, from any committed state: a closed file's (below) or an
// open database's (a backup). Opens `dst` with the view's database as the
// file it must not replace (see Destination::open). A failure that
// dst.failure() names is the destination's; any other comes from reading
// the committed state: the page errors of the engine's readers for a
// damaged one (CorruptPage naming the membership root when the index
// disagrees with the handle tags; `chosen_slot` is the page blamed when
// there is no membership index). source_bytes is left 0.
Result<CompactReport> write_compacted(const CommittedView& view, Destination& dst,
                                      const ProgressFn& progress, uint64_t chosen_slot = 0);

// Errors: those of open_source (the source opened with `access`);
// CorruptSuperblock, FileSizeMismatch and those of write_compacted for a
// damaged source; UnsupportedFormatVersion for a source of a newer minor
// version (its structures cannot be carried over faithfully); those of the
// destination (dst.failure()).
Result<CompactReport> compact_file(const std::string& src, Destination& dst,
                                   const std::optional<Key>& key, const ProgressFn& progress,
                                   const FileAccess& access = {});

}  // namespace ambrik::tools
