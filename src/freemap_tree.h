// FreeMapTree: the copy-on-write bitmap of free page ids.
//
// A set bit means "this page id was released by a committed transaction and
// may be handed out again". The bitmap is a tree of pages: leaves hold 65344
// bits each, interior nodes hold 1021 child ids. A tree of depth d covers
// page ids [0, coverage(d)), coverage(d) = 65344 * 1021^d, saturating at
// 2^64 - 1 (so depth 5 covers every id). A missing child (id 0) reads as a
// sub-tree without a free page.
//
// Leaf page (type 4):
//   offset  size  field
//   0       1     page type, 4
//   1       15    zero
//   16      8168  bitmap: bit k is bit (k mod 8), LSB first, of byte
//                 16 + k div 8; 1 = page base + k is free
//   8184    8     trailer
//
// Interior page (type 7):
//   offset  size  field
//   0       1     page type, 7
//   1       15    zero
//   16      8168  1021 child ids, u64 LE, slot i at 16 + 8 i; 0 = no child
//   8184    8     trailer
//
// Copy-on-write: a FreeMapTree is the in-memory handle of the working tree
// while one change runs. Nodes in `fresh` were created or copied by the
// running transaction and are private, so they are changed in place; every
// other node belongs to the committed state and is copied first, its old id
// going to `replaced`. A node is therefore copied at most once per
// transaction. FreemapRecycle lends its `fresh` set to the tree for the
// duration of a change and takes it (and `replaced`) back afterwards.
//
// Guarantees: a committed node is never written; every page is changed
// through get_mut (so the page cache sets its trailer as it leaves memory);
// every page read is type-checked and a wrong type is
// CorruptPageError naming that page. A depth above kFreeMapMaxDepth (which
// growth never produces) is reported as CorruptPageError naming the root, so
// a damaged superblock cannot drive unbounded recursion.
#pragma once

#include <cstdint>
#include <optional>
#include <unordered_set>
#include <vector>

#include "cow_radix.h"
#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

inline constexpr uint64_t kFreeMapLeafBits = 65344;  // 8168 bytes * 8
inline constexpr uint64_t kFreeMapFanout = kInteriorFanout;
inline constexpr uint64_t kFreeMapBodyOffset = kNodeBodyOffset;
// Growth stops once depth 5 is reached: its coverage is saturated.
inline constexpr uint32_t kFreeMapMaxDepth = 5;

enum class FreeMapBitOp : uint8_t { ClearBit, MarkFree };

// Bit k of a leaf page (bitmap at offset 16); k >= 65344 changes nothing.
// REQUIRES: leaf points to a full page buffer.
void freemap_clear_bit(uint8_t* leaf, uint64_t k);
void freemap_mark_free(uint8_t* leaf, uint64_t k);

// Page ids covered by one child of a node at `level` (>= 1):
// 65344 * 1021^(level - 1), saturating. span(0) is 1 (one bit).
uint64_t freemap_span(uint32_t level);
// Page ids covered by a whole tree of `depth`: 65344 * 1021^depth, saturating.
uint64_t freemap_coverage(uint32_t depth);

// The lowest id q >= p such that q .. q + k - 1 are all free, lie in the
// leaf that covers p and are below `end`; nullopt when that leaf holds no
// such run (no tree, p not covered, or k = 0: nullopt too). Reads the path
// to that one leaf only, so its cost is bounded by one leaf whatever the
// tree's size.
Result<std::optional<uint64_t>> find_free_run(PageCache& cache, uint64_t root, uint32_t depth,
                                              uint64_t p, uint64_t k, uint64_t end);

// True when page p's bit is set in the tree (root, depth). No tree, an id at
// or above the coverage, or a missing child: false. Read-only.
Result<bool> is_marked_free(PageCache& cache, uint64_t root, uint32_t depth, uint64_t p);

class FreeMapTree {
 public:
  FreeMapTree() = default;
  FreeMapTree(uint64_t root_id, uint32_t tree_depth, std::unordered_set<uint64_t> fresh_set)
      : fresh_(std::move(fresh_set)), root_(root_id), depth_(tree_depth) {}

  uint64_t root() const { return root_; }
  uint32_t depth() const { return depth_; }
  // Ends a change: the committed nodes it copied (their ids), and the set of
  // private nodes, to be lent to the next change.
  std::vector<uint64_t> take_replaced() { return std::move(replaced_); }
  std::unordered_set<uint64_t> take_fresh() { return std::move(fresh_); }

  // Lowest free page id >= bound inside `node` (a node at `level` whose range
  // starts at `base`), or nullopt. Reads only the nodes on the way. When an
  // id is found and `leaf` is not null, *leaf is the leaf holding its bit.
  static Result<std::optional<uint64_t>> scan_node(PageCache& cache, uint64_t node,
                                                   uint32_t level, uint64_t base,
                                                   uint64_t bound, uint64_t* leaf = nullptr);
  // The whole tree from 0; nullopt when there is no tree.
  Result<std::optional<uint64_t>> find_free(PageCache& cache, uint64_t bound) const;

  // A private copy of `node` (itself if already fresh). The node's type must
  // be `type`.
  Result<uint64_t> cow_node(PageCache& cache, uint64_t node, uint8_t type,
                            const PageAllocFn& alloc);

  // Copies the path to p's leaf (creating missing children as empty nodes)
  // and applies `op` to p's bit; `root` may change.
  // REQUIRES: root != kNoPage and p < freemap_coverage(depth); violating
  // this is an Internal error, never an out-of-bounds write.
  Status cow_descend(PageCache& cache, uint64_t p, const PageAllocFn& alloc, FreeMapBitOp op);

  // Creates a first leaf root if there is none, then adds interior roots
  // (old root at slot 0) until p is covered or depth 5 is reached.
  Status grow_to_cover(PageCache& cache, uint64_t p, const PageAllocFn& alloc);

  // Adds `node` and all its descendants to `out`. A node met twice at the
  // same level is walked once, so a damaged tree that shares sub-trees cannot
  // make the walk exponential.
  static Status collect_reachable(PageCache& cache, uint64_t node, uint32_t level,
                                  std::unordered_set<uint64_t>& out);

 private:
  Status check_depth() const;
  // Formats a fresh page as an empty node of `type` and records it as fresh.
  Status init_fresh_node(PageCache& cache, uint64_t id, uint8_t type, uint64_t slot0);

  std::vector<uint64_t> replaced_;
  std::unordered_set<uint64_t> fresh_;
  uint64_t root_ = kNoPage;
  uint32_t depth_ = 0;
};

}  // namespace ambrik
