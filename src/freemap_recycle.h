// FreemapRecycle: when a released page may be handed out again, and where
// new pages come from.
//
// Rules it enforces:
//  - A page released by a transaction sits on that transaction's pending-free
//    list and is marked free only during its commit (mark_free_committed_path),
//    so the same transaction never gets it back.
//  - Object-store pages come from the free map (first fit from `hint`) when
//    recycling is allowed, i.e. while no savepoint is open, else from the end
//    of the file.
//  - The free map's own nodes never come from the free map: they come from
//    `pool` (free-map nodes retired by the previous commit) or from the end of
//    the file. Retired free-map nodes are never recorded in the free map;
//    they cycle through `retired` -> `next_pool` -> `pool`.
//
// Lifecycle (all in memory; nothing here is written to the file):
//   moment     pool              retired   next_pool               fresh
//   open       empty             empty     empty                   empty
//   on_begin   copy of next_pool empty     unchanged               empty
//   on_commit  empty             empty     retired + rest of pool  empty
//   on_rollback empty            empty     unchanged               empty
// `hint` starts at 0, follows each recycled page and is lowered by each page
// marked free; begin and rollback leave it alone.
//
// Ownership: the TransactionManager owns one FreemapRecycle per open
// database. The working free-map root and depth live in the manager's state
// record (FreeMapRoot); these functions read and update it in place.
#pragma once

#include <cstdint>
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
  // or above `hint` when `allowed` and the tree has one (its bit is cleared
  // on a private path), else a page at the end of the file. A free bit
  // outside the usable range is CorruptPage naming the leaf that holds it.
  Result<uint64_t> cow_alloc_into(PageCache& cache, FreeMapTree& tree, bool allowed);
  // A zero-filled dirty page for a new free-map node: from `pool`, else from
  // the end of the file.
  Result<uint64_t> cow_alloc(PageCache& cache);

  // take_tree + cow_alloc_into + put_tree; the usual way to allocate.
  Result<uint64_t> alloc_page(PageCache& cache, FreeMapRoot& fm, bool recycling_allowed);

  // Sets p's bit in the working free map, growing the tree as needed; every
  // new or copied free-map node comes from cow_alloc. Lowers `hint` to p.
  Status mark_free_committed_path(PageCache& cache, FreeMapRoot& fm, uint64_t p);

  void on_begin();
  // Call only after the new superblock is durable.
  void on_commit();
  void on_rollback();

  // Adds the free-map pages held in memory only (the pools and `retired`)
  // to `out`: pages that no tree and no free bit accounts for.
  void collect_held(std::unordered_set<uint64_t>& out) const;

 private:
  friend struct TestPeer;

  std::vector<uint64_t> pool_;
  std::vector<uint64_t> retired_;
  std::vector<uint64_t> next_pool_;
  std::unordered_set<uint64_t> fresh_;
  uint64_t hint_ = 0;
  uint64_t usable_first_ = 0;
  uint64_t usable_end_ = kNoPage;
};

}  // namespace ambrik
