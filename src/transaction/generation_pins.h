// GenerationPins: which freed pages an open snapshot may still read, so
// that no allocator hands them out again.
//
// The rule it keeps: a page freed by the commit of generation g is handed
// out again only when no open snapshot is of a generation below g. A
// snapshot of generation s reads only pages live in the state of commit s;
// a page freed by a commit at or before s is in no such state, so only the
// commits after the oldest open snapshot are remembered.
//
// How, in the default mode (every snapshot lives in this process):
//  - A commit still marks the pages it frees free in the free map, as it
//    does with no snapshot open. After a crash no snapshot survives, so
//    nothing is lost or leaked and the file checks sound.
//  - note_commit(g, freed) records the freed pages under g while a snapshot
//    older than g is open; the union of the records is the `held` set, which
//    the object store's allocators skip (FreemapRecycle::set_held). A
//    transaction takes the set as it stands at begin(): a snapshot that
//    closes meanwhile only makes it hold back more than it must.
//  - unpin() drops the records that no open snapshot needs any more; their
//    pages are then free pages like any other (the next begin takes a
//    smaller set).
//  - With no snapshot open, note_commit returns after one load and the
//    allocators test one null pointer: the path without snapshots costs a
//    branch.
//
// What it does not cover, and why:
//  - The free map's own pages (its nodes and the pool of retired nodes that
//    the next transaction reuses) are never read by a snapshot, whose reads
//    follow the handle table, the membership index, data pages and overflow
//    chains only; they are not pinned. A mode whose fallback superblock may
//    still name an older free map has to revisit this.
//  - Nothing shrinks the file below a page a snapshot can reach: commits and
//    defrag never cut the file, and a rollback forgets only pages at or past
//    the committed page count, which no commit (hence no snapshot) refers
//    to.
//
// In shared mode (attach) the pins of this object are also announced in its
// slot of the reader table, which always holds the oldest generation open
// here (0: none): writers in every process read it there. Pages released
// meanwhile are kept in pending-free records in the file (pending_record.h),
// not in the held set, which stays empty: note_commit is not called.
//
// Threads: pin, note_commit and held run on the thread that owns the
// database (serialised by its owner); unpin may run on any thread, at any
// time. One mutex guards the records.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <unordered_set>
#include <vector>

namespace ambrik {

using HeldPages = std::unordered_set<uint64_t>;

class ReaderTable;

class GenerationPins {
 public:
  // Shared mode: announce pins in `table`'s slot (claimed) from now on,
  // until detach(). REQUIRES: nothing pinned yet.
  void attach(ReaderTable* table);
  // The table is going away (the database closes): later unpins only
  // update this object.
  void detach();
  bool shared() const { return table_ != nullptr; }
  // Shared mode: pins the newest commit in the file, as the table's pin
  // protocol makes it safe, and returns its generation; unpin it with
  // unpin().
  uint64_t pin_newest();
  // A snapshot of generation `g` opens (the default mode).
  void pin(uint64_t generation);
  // It closes. REQUIRES: a matching pin.
  void unpin(uint64_t generation);
  // The commit of `generation` has made its superblock durable; `freed` are
  // the pages it marked free.
  void note_commit(uint64_t generation, const std::vector<uint64_t>& freed) {
    if (open_.load(std::memory_order_acquire) == 0) return;
    note_commit_slow(generation, freed);
  }
  // The pages no allocation may take now; null when there are none. The set
  // never changes once handed out.
  std::shared_ptr<const HeldPages> held() const;
  // Counts the times held pages were let go (the set shrank): an allocator
  // that skipped them may find free pages where it found none before.
  uint64_t releases() const { return releases_.load(std::memory_order_acquire); }
  // Snapshots open now.
  uint64_t open_count() const { return open_.load(std::memory_order_acquire); }

 private:
  void note_commit_slow(uint64_t generation, const std::vector<uint64_t>& freed);
  void add_locked(uint64_t generation);
  // Drops the records no open snapshot needs and rebuilds `held_`.
  // REQUIRES: mu_ held.
  void prune_locked();

  mutable std::mutex mu_;
  std::atomic<uint64_t> open_{0};
  // (generation, count), ascending: a handful of entries at most, kept in
  // place so that the pin of every read in shared mode allocates nothing.
  std::vector<std::pair<uint64_t, uint64_t>> snapshots_;
  std::map<uint64_t, std::vector<uint64_t>> freed_by_;   // commit generation -> pages
  std::shared_ptr<const HeldPages> held_;
  std::atomic<bool> any_held_{false};  // held_ is set; read without mu_
  std::atomic<uint64_t> releases_{0};
  ReaderTable* table_ = nullptr;  // shared mode; guarded by mu_ once attached
};

}  // namespace ambrik
