// Membership index: which live handles carry a given tag, without scanning
// the handle table.
//
// Built from one structure, RadixU64, a copy-on-write radix tree from a u64
// key to a non-zero u64 value, used on two levels:
//   - the tag tree: key = tag, value = where that tag's handle set lives;
//   - one handle set per tag in use: key = handle, value = 1.
//
// RadixU64 geometry: a tree of depth d (d = 0: the root is a single leaf)
// admits keys [0, capacity(d)), capacity(d) = 1021^(d + 1) saturating at
// 2^64 - 1 (a saturated capacity admits every key; depth never exceeds 6).
// Routing at an internal node of depth d: child = key / 1021^d, the
// remainder key mod 1021^d goes down; at a leaf the slot is key mod 1021.
//
// Node page:
//   offset  size  field
//   0       1     page type: 6 leaf, 5 internal
//   1       15    zero
//   16      8168  1021 slots u64 LE, slot i at 16 + 8 i
//                 leaf: the value of key base + i, 0 = absent
//                 internal: child page id, 0 = no child
//   8184    8     trailer
//
// Tag-tree value (u64):
//   bits 0..57   root page id of the tag's handle set (0: tag not in use)
//   bits 58..63  depth of that set, 0..6; 7 or more with a non-zero page id
//                is CorruptPageError naming the page id
//
// Copy-on-write: every insert copies the whole root-to-leaf path (even nodes
// written earlier in the same transaction); a removal copies the path only
// when it removes something. Superseded ids go to the caller's `pending`
// list. Nodes are never removed by a removal and the depth never shrinks;
// only a handle set that became empty is handed back whole (free_subtree).
// Growth keeps the old root at slot 0 of each new root, so the leftmost
// path is as deep as the tree; recover_depth relies on it.
//
// Reads are type-checked: a node whose page type does not match its level
// is CorruptPageError naming it, and so is a node met twice in one walk
// (a copy-on-write tree never shares nodes; a shared one would multiply
// output or free a page twice). Depth arguments above 6 are corrupt too, so
// no walk over damaged pages goes deeper than 7 nodes.
//
// A tag's handle set exists exactly while some live handle carries the tag.
// The tag tree's own nodes are never freed, even when no tag remains.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

inline constexpr uint64_t kRadixSlots = 1021;
inline constexpr uint32_t kRadixMaxDepth = 6;
inline constexpr uint32_t kMemberDepthShift = 58;
inline constexpr uint64_t kMemberPageMask = (uint64_t{1} << kMemberDepthShift) - 1;

using RadixList = std::vector<std::pair<uint64_t, uint64_t>>;  // (key, value)

struct RadixRemoveResult {
  uint64_t node;     // the new node id (unchanged if nothing removed)
  uint64_t removed;  // the removed value, 0 if the key was absent
};

struct RadixU64 {
  // 1021^(depth + 1), saturating.
  static uint64_t capacity(uint32_t depth);
  // True when `key` can be present in a tree of `depth`.
  static bool admits(uint32_t depth, uint64_t key);

  // Writes an empty node into a page buffer, trailer set.
  static void format_node(uint8_t* page, bool leaf);
  // Stores one slot (trailer not updated). REQUIRES: index < 1021.
  static void write_slot(uint8_t* page, uint64_t index, uint64_t value);
  // An empty leaf in a page from `alloc`: the first node of a tree.
  static Result<uint64_t> create_empty_leaf(PageCache& cache, const PageAllocFn& alloc);

  // The value under `key`, 0 when absent. root == kNoPage means no tree.
  static Result<uint64_t> lookup(uint32_t depth, PageCache& cache, uint64_t root, uint64_t key);

  // Inserts or overwrites (REQUIRES: value != 0); returns the new root and
  // may raise `depth`, which a failure leaves unchanged. An empty tree
  // (root == kNoPage) first gets a leaf of its own.
  static Result<uint64_t> insert(uint32_t& depth, PageCache& cache, uint64_t root, uint64_t key,
                                 uint64_t value, const PageAllocFn& alloc,
                                 std::vector<uint64_t>& pending);
  // REQUIRES: rem < capacity(depth).
  static Result<uint64_t> insert_recursive(PageCache& cache, uint64_t node, uint64_t rem,
                                           uint64_t value, uint32_t depth,
                                           const PageAllocFn& alloc,
                                           std::vector<uint64_t>& pending);

  // Removes `key`; a key the tree cannot hold is simply absent.
  static Result<RadixRemoveResult> remove(uint32_t depth, PageCache& cache, uint64_t root,
                                          uint64_t key, const PageAllocFn& alloc,
                                          std::vector<uint64_t>& pending);
  // REQUIRES: rem < capacity(depth) (remove checks admits() first).
  static Result<RadixRemoveResult> delete_recursive(PageCache& cache, uint64_t node,
                                                    uint64_t rem, uint32_t depth,
                                                    const PageAllocFn& alloc,
                                                    std::vector<uint64_t>& pending);

  // Whether any leaf slot under `node` is non-zero.
  static Result<bool> any_recursive(PageCache& cache, uint64_t node, uint32_t depth);
  // Appends every page of the sub-tree to `pending`, children before their
  // parent. Nothing for node == kNoPage. On an error `pending` may hold a
  // part of the sub-tree; callers that must not free on failure collect
  // into a scratch list.
  static Status free_subtree(PageCache& cache, uint64_t node, uint32_t depth,
                             std::vector<uint64_t>& pending);

  // Appends the (key, value) pairs under `node` (keys from `base`) to `out`
  // in ascending key order.
  static Status iter_recursive(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth,
                               RadixList& out);
  // The same, stopping once `out` holds `limit` pairs.
  static Status iter_bounded_recursive(PageCache& cache, uint64_t node, uint64_t base,
                                       uint32_t depth, uint64_t limit, RadixList& out);

  // The depth of the tree at `root` (0 when root == kNoPage), found by
  // following slot 0 of internal nodes; CorruptPageError for a seventh
  // internal level.
  static Result<uint32_t> recover_depth(PageCache& cache, uint64_t root);
};

// The tag tree of one state record. root == kNoPage: no index.
struct MembershipRoot {
  uint64_t root = kNoPage;
  uint32_t depth = 0;
  bool operator==(const MembershipRoot&) const = default;
};

// The writers leave `working` and `pending` unchanged when they fail; on
// success `working` names the new tag tree and `pending` has the pages it
// superseded (and, for a removal, the pages of an emptied handle set).
// Pages obtained from `alloc` before a failure are not given back.

// Records that `handle` carries `tag`, creating the index and the tag's
// handle set as needed.
Status membership_add(PageCache& cache, MembershipRoot& working, uint64_t handle, uint32_t tag,
                      const PageAllocFn& alloc, std::vector<uint64_t>& pending);
// Forgets that `handle` carries `tag`; a pair not recorded is no change.
// The tag leaves the tag tree with its last handle.
Status membership_remove(PageCache& cache, MembershipRoot& working, uint64_t handle,
                         uint32_t tag, const PageAllocFn& alloc,
                         std::vector<uint64_t>& pending);
// The first `limit` handles carrying `tag`, ascending (UINT64_MAX: all).
Result<std::vector<uint64_t>> membership_handles(PageCache& cache, const MembershipRoot& index,
                                                 uint32_t tag, uint64_t limit);
// The depth of the tag tree at `root` (0 for none).
Result<uint32_t> membership_recover_depth(PageCache& cache, uint64_t root);

}  // namespace ambrik
