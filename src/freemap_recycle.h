// FreemapRecycle: when a released page may be handed out again, and where
// new pages come from.
//
// Rules it enforces:
//  - A page released by a transaction sits on that transaction's pending-free
//    list and is marked free only during its commit (mark_free_committed_path),
//    so the same transaction never gets it back.
//  - Object-store pages come from the free map (first fit from `hint`), else
//    from the end of the file; a run of consecutive free pages can be taken
//    at once for a structure that is read in order (an overflow chain).
//  - While savepoints are open the same free pages are handed out: the free
//    map holds only pages that earlier commits released, which no state of
//    the running transaction refers to. Each savepoint keeps a RecycleMark;
//    returning to it (with the saved free-map root, and the page cache
//    forgetting everything from the saved frontier on) gives back exactly the
//    pages and pool entries taken since. Free-map nodes copied before the
//    mark are part of the saved tree, so `fresh` starts empty at the mark and
//    they are copied again rather than changed in place.
//  - The free map's own nodes never come from the object store's search of
//    the free map: they come from `pool` (free-map nodes retired by the
//    previous commit) or from the end of the file. The pool is reserved: the
//    object-store allocators skip its pages for the whole transaction.
//  - Free pages an open snapshot may still read (GenerationPins' held set,
//    given at begin by set_held) are skipped like the pool: they stay marked
//    free, and are taken once a later begin no longer holds them.
//  - No page is ever recorded in memory only. A commit's settle() marks every
//    retired node free and clears the bit of every pool page it took
//    (`claimed`), so after each commit every page below the committed page
//    count is reachable or marked free; pool pages are free pages that the
//    next transaction merely reserves. Closing, or crashing, strands nothing.
//
// Lifecycle (all in memory; settle() is the one step that changes bits):
//   moment     pool              retired   next_pool               fresh claimed
//   open       empty             empty     empty                   empty empty
//   on_begin   copy of next_pool empty     unchanged               empty empty
//   settle     unchanged         grows     unchanged               grows grows
//   on_commit  empty             empty     retired + rest of pool  empty empty
//                                          (capped at kMaxPool)
//   on_rollback empty            empty     unchanged               empty empty
//   mark       unchanged         unchanged unchanged               empty unchanged
//   return_to  as at the mark    as at the mark  unchanged         empty as at the mark
// `hint` starts at 0, follows each single recycled page and is lowered by
// each page marked free; begin and rollback leave it alone, return_to puts
// back the value of the mark.
// `bare_from` remembers a search that came back empty: the working tree
// holds no free page at or above it, so a search from there is skipped.
// Clearing bits keeps it true, marking page p free raises it past p, and
// rollback and return_to (which bring cleared bits back) forget it. Without
// it a transaction that only appends would scan the rest of the leaf at
// `hint` for every page it takes.
//
// Ownership: the TransactionManager owns one FreemapRecycle per open
// database. The working free-map root and depth live in the manager's state
// record (FreeMapRoot); these functions read and update it in place.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <unordered_set>
#include <vector>

#include "freemap_tree.h"
#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

// The free-map fields of a superblock state record.
struct FreeMapRoot {
  uint64_t root = kNoPage;
  uint32_t depth = 0;
  bool operator==(const FreeMapRoot&) const = default;
};

// What a savepoint keeps of the recycling state. Within a transaction `pool`
// only shrinks and `retired` only grows, so a copy of the one and the length
// of the other say everything.
struct RecycleMark {
  std::vector<uint64_t> pool;
  size_t retired_len = 0;
  size_t claimed_len = 0;
  uint64_t hint = 0;
};

// Pool pages kept for the next transaction; more retired nodes than this are
// left as ordinary free pages, which any allocation may take.
inline constexpr size_t kMaxPool = 64;

class FreemapRecycle {
 public:
  // A tree over `fm` that borrows `fresh`; hand it back with put_tree,
  // after an error as well.
  FreeMapTree take_tree(const FreeMapRoot& fm);
  // Stores the tree's root and depth in `fm`, appends its `replaced` to
  // `retired` and takes its `fresh` set back.
  void put_tree(FreeMapRoot& fm, FreeMapTree&& tree);

  // Free bits are trusted only for ids in [first, end): the superblock slots
  // and pages the committed file does not hold are never free, so a bit for
  // one of them means the free-map page is damaged. Call at begin with N and
  // the committed page count; by default every id is trusted.
  void set_usable_range(uint64_t first, uint64_t end) {
    usable_first_ = first;
    usable_end_ = end;
  }

  // A zero-filled dirty page for the object store: the lowest free page at
  // or above `hint` when the tree has one (its bit is cleared on a private
  // path), else a page at the end of the file. A free bit outside the usable
  // range is CorruptPage naming the leaf that holds it.
  Result<uint64_t> cow_alloc_into(PageCache& cache, FreeMapTree& tree);
  // A zero-filled dirty page for a new free-map node: from `pool` (its free
  // bit is cleared by settle), else from the end of the file.
  Result<uint64_t> cow_alloc(PageCache& cache);

  // take_tree + cow_alloc_into + put_tree; the usual way to allocate.
  Result<uint64_t> alloc_page(PageCache& cache, FreeMapRoot& fm);
  // k zero-filled dirty pages with consecutive ids, the first returned: the
  // lowest run of k free pages that starts at or after the first free page
  // from `hint` and lies in that page's leaf. nullopt, with nothing taken,
  // when that leaf holds no such run (the caller falls back to single
  // pages); the search never reads more than one leaf. `hint` is left as it
  // was: free pages before the run are still to be found. The run lies in
  // the usable range; a first free page outside it is CorruptPage naming
  // its leaf, as for a single page. k = 0 takes nothing.
  Result<std::optional<uint64_t>> alloc_run(PageCache& cache, FreeMapRoot& fm, uint64_t k);

  // Sets p's bit in the working free map, growing the tree as needed; every
  // new or copied free-map node comes from cow_alloc. Lowers `hint` to p.
  Status mark_free_committed_path(PageCache& cache, FreeMapRoot& fm, uint64_t p);

  // Commit, after the released pages are marked free and before the last
  // flush: marks the retired free-map nodes free and clears the bits of the
  // pool pages taken as nodes, until neither list grows (each node is copied
  // at most once per transaction, so this ends).
  Status settle(PageCache& cache, FreeMapRoot& fm);

  void on_begin();
  // The free pages no allocation of this transaction may take (null: none),
  // and how many times such pages have been let go so far. Call at begin,
  // after on_begin. A set that only grew leaves what the searches learnt
  // true (fewer pages may be taken); after a release `bare_from` and `hint`
  // are forgotten, since the pages let go are free wherever they lie.
  void set_held(std::shared_ptr<const std::unordered_set<uint64_t>> held, uint64_t releases) {
    held_ = std::move(held);
    if (releases == releases_) return;
    releases_ = releases;
    bare_from_ = kNoPage;
    hint_ = 0;
  }
  // The ordered durability mode: a commit's superblock becomes durable only
  // with the next commit's sync, so the pages a commit releases and the
  // free-map nodes it retires (pages of the state a power failure may fall
  // back to) must not be written by the next transaction. With cooling they
  // are reserved for one transaction more (still marked free: a crash
  // strands nothing, and an open in this mode syncs first) before they are
  // free pages like any other (the nodes joining the pool).
  void set_cooling(bool on) { cooling_on_ = on; }
  // With cooling, before on_commit: the pages this commit released (marked
  // free by it), which a power failure's fallback may still reach; they
  // cool with the retired nodes.
  void cool_released(const std::vector<uint64_t>& pages) {
    if (cooling_on_) released_ = pages;
  }
  // Call only after the new superblock is written (durable, or in the
  // ordered mode ordered after this commit's sync).
  void on_commit();
  void on_rollback();
  // Savepoint creation and return (see the rules above). REQUIRES for
  // return_to: `m` comes from mark() in the running transaction, and the
  // caller restores the free-map root saved with it.
  RecycleMark mark();
  void return_to(const RecycleMark& m);

  // Adds the free-map pages held in memory only (the pools and `retired`)
  // to `out`: pages that no tree and no free bit accounts for.
  void collect_held(std::unordered_set<uint64_t>& out) const;

 private:
  friend struct TestPeer;

  // True when the object store must not take free page p (the pool of this
  // transaction).
  bool reserved(uint64_t p) const {
    return (!reserved_.empty() && reserved_.count(p) != 0) || (held_ && held_->count(p) != 0);
  }

  std::vector<uint64_t> pool_;
  std::vector<uint64_t> retired_;
  std::vector<uint64_t> next_pool_;
  std::vector<uint64_t> cooling_;  // retired by the last commit (cooling_on_)
  std::vector<uint64_t> released_;       // cool_released, for on_commit
  std::vector<uint64_t> cooling_pages_;  // released by the last commit
  bool cooling_on_ = false;
  std::vector<uint64_t> claimed_;  // pool pages taken as nodes, bits still set
  std::unordered_set<uint64_t> reserved_;  // next_pool_ as this transaction began
  std::unordered_set<uint64_t> fresh_;
  std::shared_ptr<const std::unordered_set<uint64_t>> held_;  // see set_held
  uint64_t releases_ = 0;
  uint64_t hint_ = 0;
  uint64_t bare_from_ = kNoPage;  // kNoPage: nothing known
  uint64_t usable_first_ = 0;
  uint64_t usable_end_ = kNoPage;
};

}  // namespace ambrik
