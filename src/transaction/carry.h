// TailCarry: the tail-page carry. The packer appends only to pages of the
// running transaction, so without it every commit that stores a small value
// would start a data page of its own, and a stream of one-value commits (or
// of one-update commits) would leave a page per commit. Instead the first
// small untagged value of a transaction may join a page an earlier commit
// left: that page's live values are repacked with it into a new page, their
// handle-table entries re-pointed, and the old page is released at commit
// like any superseded page.
//
// What is tracked: the packer's current untagged page of the running
// transaction (the tail) with the handles stored into it, oldest first; and
// the pages earlier commits left as tails (parked), each with its handles.
// A handle may be listed twice, or have moved on or been deleted since: the
// carry looks each one up. Past kMaxResidents handles a list is given up.
//
// Invariant (the carry's soundness rests on it): a carry releases the old
// page only when the listed handles whose entries point into it number
// exactly the packer's live count of the page. That count must equal the
// number of Inline entries pointing at the page (SlotPacker's invariant):
// one too low would let a carry release a page that an unlisted entry still
// references; one too high only refuses the carry. Debug builds count the
// entries of the table before each carry and check it. The lists only
// decide whether a carry can go ahead: every successful store of an
// untagged small value is noted (note_stored), tagged values go to pages of
// their own lane, and a committed page never receives a value again, so the
// list of a parked page names every entry pointing into it (should the page
// be released and reused, the entries pointing into it are not the listed
// ones, and the count refuses the carry).
//
// Cost bound: a transaction carries once, at its first small untagged value
// (and once more after each savepoint). A carry re-points entries of the
// handle-table leaf its trigger writes anyway and of at most one leaf more;
// a page is parked only when its handles lie in one leaf or two neighbours.
// An update takes only a page whose handles share its own leaf: it copies
// no extra leaf, so a one-update commit costs what it cost without the
// carry. A new value (allocate) may also take a page whose handles reach
// into the leaf before its own (handles are appended in order, so a stream
// of appends crosses from one leaf to the next): one extra leaf at most.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "data_page.h"
#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

class TailCarry {
 public:
  static constexpr size_t kMaxResidents = 128;
  // Parked pages kept, oldest dropped first: one per leaf of a table of
  // 65,000 handles.
  static constexpr size_t kMaxParked = 128;

  // The tail and the handles stored into it.
  struct Tail {
    uint64_t page = kNoPage;
    uint32_t count = 0;
    bool complete = true;  // false once the list is given up
    // A fixed array, so that noting a value costs no allocation.
    std::array<uint64_t, kMaxResidents> residents;
    void clear() {
      page = kNoPage;
      count = 0;
      complete = true;
    }
  };

  // The carry's state at a savepoint.
  struct Snapshot {
    Tail tail;
    size_t taken = 0;
  };

  // What a carry changed: the new handle-table root and depth, and the
  // pages it superseded (table nodes, and the old data page), for the caller
  // to retire once it stores the root.
  struct Carried {
    uint64_t handle_root;
    uint32_t handle_depth;
    std::vector<uint64_t> superseded;
  };

  // An untagged small value of `handle` was stored into `page` by an
  // operation that succeeded.
  void note_stored(uint64_t handle, uint64_t page);

  // The parked page a new small value of `handle` may join within the cost
  // bound (`appended`: a new handle, else an update), if any. Reads no page.
  std::optional<size_t> find(uint64_t handle, bool appended) const;

  // Carries parked page `which` (from find) for a new value of `value_size`
  // bytes: copies its live values into a page from `alloc`, which `packer`
  // adopts as its current untagged page, and re-points their entries in the
  // table at (root, depth). The parked page is taken whatever the outcome.
  // nullopt when it may not be carried (a live value not listed, no room
  // for the new value). An error leaves the table and the packer unchanged
  // and the pages taken unreferenced.
  // REQUIRES: the packer has no current untagged page.
  Result<std::optional<Carried>> run(size_t which, PageCache& cache, SlotPacker& packer,
                                     uint64_t root, uint32_t depth, const PageAllocFn& alloc,
                                     uint64_t value_size);

  // Transaction boundaries. begin and rollback forget the tail and what was
  // taken (parked pages change only at commit, so they describe the
  // committed state). commit: the pages carried are dropped, and the tail
  // is parked when it is the packer's current untagged page `current`, its
  // list is whole and its handles lie within the bound; parked pages the
  // packer no longer counts are dropped.
  void begin() {
    tail_.clear();
    taken_.clear();
  }
  void rollback() { begin(); }
  void commit(std::optional<uint64_t> current, const SlotPacker& packer);

  // Savepoint creation: the packer forgets its current page, so the tail is
  // saved and forgotten. restore: back to the tail and the pages taken then.
  Snapshot savepoint();
  void restore(const Snapshot& snap);

 private:
  // A page a commit left as its tail; the handles, relative to the first
  // handle of leaf `first_leaf`, lie in that leaf or the next.
  struct Parked {
    uint64_t page;
    uint64_t first_leaf;
    bool two_leaves;
    uint32_t count;
    std::array<uint16_t, kMaxResidents> offsets;
  };
  void park(const Tail& t);

  Tail tail_;
  std::vector<Parked> parked_;  // oldest first
  std::vector<size_t> taken_;   // indexes into parked_, this transaction
};

}  // namespace ambrik
