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
// RadixU64 is a CowRadix (cow_radix.h: copy-on-write rules, growth, type
// checks, the walk with its seen-set) with 8-byte leaf slots. Only a handle
// set that became empty is handed back whole (free_subtree).
//
// A tag's handle set exists exactly while some live handle carries the tag.
// The tag tree's own nodes are never freed, even when no tag remains.
#pragma once

#include <cstdint>
#include <utility>
#include <vector>

#include "check.h"
#include "cow_radix.h"
#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

inline constexpr uint64_t kRadixSlots = kInteriorFanout;
inline constexpr uint32_t kRadixMaxDepth = 6;
inline constexpr uint32_t kMemberDepthShift = 58;
inline constexpr uint64_t kMemberPageMask = (uint64_t{1} << kMemberDepthShift) - 1;

using RadixList = std::vector<std::pair<uint64_t, uint64_t>>;  // (key, value)

// The leaf layout of RadixU64 for CowRadix.
struct RadixU64Layout {
  static constexpr uint64_t kLeafSlots = kRadixSlots;
  static constexpr uint64_t kSlotWidth = 8;
  static constexpr uint32_t kMaxDepth = kRadixMaxDepth;
  static void format(uint8_t* page, bool leaf) {
    page[0] = leaf ? kPageMemberLeaf : kPageMemberInternal;
  }
  static bool is_node(const uint8_t* page, bool leaf) {
    return page[0] == (leaf ? kPageMemberLeaf : kPageMemberInternal);
  }
  static bool marks_interior(const uint8_t* page) { return page[0] == kPageMemberInternal; }
  static bool slot_live(const uint8_t* slot) { return load_u64(slot) != 0; }
};

struct RadixRemoveResult {
  uint64_t node;     // the new root (unchanged if nothing removed)
  uint64_t removed;  // the removed value, 0 if the key was absent
};

struct RadixU64 {
  using Tree = CowRadix<RadixU64Layout>;

  // 1021^(depth + 1), saturating.
  static uint64_t capacity(uint32_t depth) { return Tree::span(depth); }
  // True when `key` can be present in a tree of `depth`.
  static bool admits(uint32_t depth, uint64_t key) { return Tree::admits(depth, key); }
  // Writes an empty node into a page buffer; the trailer is left to the
  // page cache.
  static void format_node(uint8_t* page, bool leaf) { Tree::format_node(page, leaf); }
  // Stores one slot (trailer not updated). REQUIRES: index < 1021.
  static void write_slot(uint8_t* page, uint64_t index, uint64_t value) {
    set_interior_child(page, index, value);
  }

  // The value under `key`, 0 when absent. root == kNoPage means no tree.
  static Result<uint64_t> lookup(uint32_t depth, PageCache& cache, uint64_t root, uint64_t key) {
    auto slot = TRY(Tree::lookup(depth, cache, root, key));
    return load_u64(slot.data());
  }

  // Inserts or overwrites (REQUIRES: value != 0); returns the new root and
  // may raise `depth`, which a failure leaves unchanged. An empty tree
  // (root == kNoPage) first gets a leaf of its own.
  static Result<uint64_t> insert(uint32_t& depth, PageCache& cache, uint64_t root, uint64_t key,
                                 uint64_t value, const PageAllocFn& alloc,
                                 std::vector<uint64_t>& pending,
                                 const PageInPlaceFn* in_place = nullptr) {
    AMBRIK_DCHECK(value != 0);
    uint8_t slot[8];
    store_u64(slot, value);
    return Tree::insert(depth, cache, root, key, slot, alloc, pending, in_place);
  }

  // Removes `key`; a key the tree cannot hold is simply absent.
  static Result<RadixRemoveResult> remove(uint32_t depth, PageCache& cache, uint64_t root,
                                          uint64_t key, const PageAllocFn& alloc,
                                          std::vector<uint64_t>& pending,
                                          const PageInPlaceFn* in_place = nullptr) {
    auto cut = TRY(Tree::remove(depth, cache, root, key, alloc, pending, in_place));
    return RadixRemoveResult{cut.node, cut.found ? load_u64(cut.slot.data()) : 0};
  }

  // Whether any leaf slot under `node` is non-zero.
  static Result<bool> any(PageCache& cache, uint64_t node, uint32_t depth) {
    return Tree::any_live(cache, node, depth);
  }
  // Appends every page of the sub-tree to `pending`, children before their
  // parent. Nothing for node == kNoPage. On an error `pending` may hold a
  // part of the sub-tree; callers that must not free on failure collect
  // into a scratch list.
  static Status free_subtree(PageCache& cache, uint64_t node, uint32_t depth,
                             std::vector<uint64_t>& pending) {
    return Tree::free_subtree(cache, node, depth, pending);
  }
  // Appends the first `limit` (key, value) pairs under `node` to `out` in
  // ascending key order (kNoPage: all of them).
  static Status iter(PageCache& cache, uint64_t node, uint32_t depth, uint64_t limit,
                     RadixList& out);

  // The depth of the tree at `root` (0 when root == kNoPage), found by
  // following slot 0 of internal nodes; CorruptPageError for a seventh
  // internal level.
  static Result<uint32_t> recover_depth(PageCache& cache, uint64_t root) {
    return Tree::recover_depth(cache, root);
  }
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
// Pages obtained from `alloc` before a failure are not given back. Nodes
// that `in_place` accepts (may be null) are changed where they lie; the one
// write that the current index then sees comes after every step that can
// fail, so a failure still leaves the index as it was.

// Records that `handle` carries `tag`, creating the index and the tag's
// handle set as needed.
Status membership_add(PageCache& cache, MembershipRoot& working, uint64_t handle, uint32_t tag,
                      const PageAllocFn& alloc, std::vector<uint64_t>& pending,
                      const PageInPlaceFn* in_place = nullptr);
// Forgets that `handle` carries `tag`; a pair not recorded is no change.
// The tag leaves the tag tree with its last handle.
Status membership_remove(PageCache& cache, MembershipRoot& working, uint64_t handle,
                         uint32_t tag, const PageAllocFn& alloc,
                         std::vector<uint64_t>& pending,
                         const PageInPlaceFn* in_place = nullptr);
// The first `limit` handles carrying `tag`, ascending (UINT64_MAX: all).
Result<std::vector<uint64_t>> membership_handles(PageCache& cache, const MembershipRoot& index,
                                                 uint32_t tag, uint64_t limit);
// The depth of the tag tree at `root` (0 for none).
Result<uint32_t> membership_recover_depth(PageCache& cache, uint64_t root);

}  // namespace ambrik
