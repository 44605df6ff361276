// PendingFree: the pages a commit releases while someone may still read
// them, kept out of the free map in records in the file (pending_record.h)
// until no one can.
//
// The rule it keeps (the reuse rule): a page released by the commit of
// generation c is marked free (hence handed out again, or cut off with the
// end of the file) only by a commit that sees every pin of every reader at
// 0 or at a generation >= c. Such a commit releases the records of those
// generations: it marks their pages free and deletes the record values.
//
// Why a commit cannot decide at once: a reader announces its pin of the
// newest generation n without waiting for writers, so the writer of n + 1
// may scan the pins before a reader of n shows up (ReaderTable::pin). The
// pages n + 1 releases are therefore always recorded under n + 1, and a
// later writer, whose scan sees every pin older than the newest, releases
// them. A commit with nothing pinned releases the previous commit's record:
// without readers the file holds one commit's released pages more than the
// default mode does.
//
// The records are ordinary values of the state, so they survive a crash
// and pass from writer to writer in any process; the writer keeps a decoded
// copy (`records`) that describes the committed state it stands on and is
// dropped when another process's commit replaces that state.
//
// Shape: one record value per batch of up to kRecordPages pages, the newest
// taking each commit's group until it is full. A commit rewrites that one
// record (or reuses it, when all its groups are released), so a commit with
// no readers adds one small value's write to its pages.
//
// In the default mode no reader outside this object exists (its own
// snapshots are covered by GenerationPins), so every commit releases all
// records it finds and records nothing.
#pragma once

#include <cstdint>
#include <vector>

#include "pending_record.h"

namespace ambrik {

class PendingFree {
 public:
  // A record stops taking groups past these sizes (it stays small enough
  // to be rewritten inside a data page).
  static constexpr uint64_t kRecordPages = 960;
  static constexpr uint64_t kRecordGroups = 16;

  struct Record {
    uint64_t handle = 0;
    std::vector<PendingGroup> groups;
    uint64_t page_count() const;
    uint64_t newest_generation() const;
  };

  // The records of the committed state, once loaded.
  bool loaded() const { return loaded_; }
  const std::vector<Record>& records() const { return records_; }
  void set(std::vector<Record> records) {
    records_ = std::move(records);
    loaded_ = true;
  }
  // The committed state changed under this object (another process
  // committed): load again before the next use.
  void forget() {
    records_.clear();
    loaded_ = false;
  }

 private:
  std::vector<Record> records_;
  bool loaded_ = false;
};

}  // namespace ambrik
