// CowRadix: the copy-on-write radix tree of 8192-byte pages under the
// handle table and the membership index, and the interior-node accessors
// that the free map shares with them.
//
// A tree of depth d has a leaf at d = 0 and interior nodes above it. Every
// interior node holds 1021 child ids (u64 LE at 16 + 8 i, 0 = no child); a
// leaf holds L::kLeafSlots slots of L::kSlotWidth bytes at 16 + width * i.
// The tree admits keys [0, span(d)), span(d) = kLeafSlots * 1021^d,
// saturating at 2^64 - 1 (a saturated span admits every key). Routing at an
// interior node of depth d: child = key / span(d - 1), the remainder goes
// down; at a leaf the slot is key mod kLeafSlots. Depth never exceeds
// L::kMaxDepth; a larger depth argument is CorruptPageError naming the
// root, so no walk over damaged pages goes deeper.
//
// The layout L (a traits type) supplies what differs between the users:
//   kLeafSlots, kSlotWidth, kMaxDepth
//   format(page, leaf)     the header bytes of an empty node
//   is_node(page, leaf)    whether a page read at a level has the right type
//   marks_interior(page)   the byte recover_depth follows
//   slot_live(slot)        whether a leaf slot holds a value; an all-zero
//                          slot must read as not live
//
// Copy-on-write: insert copies the whole root-to-leaf path (even nodes
// written earlier in the same transaction); remove copies the path only when
// it removes something. Superseded ids go to the caller's `pending` list.
// Nodes are never removed and the depth never shrinks. Growth keeps the old
// root at child 0 of each new root, so the leftmost path is as deep as the
// tree; recover_depth relies on it. A writer that fails leaves the caller's
// depth unchanged; the caller keeps its old root, which still names the
// intact tree. Pages obtained from `alloc` before a failure are not given
// back.
//
// Reads are type-checked: a node whose type does not match its level is
// CorruptPageError naming it, and so is a node met twice in one walk (a
// copy-on-write tree never shares nodes; a shared one would multiply output
// or free a page twice).
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <unordered_set>
#include <utility>
#include <vector>

#include "check.h"
#include "page.h"
#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

// --- interior nodes (handle table, membership index and free map alike)

inline constexpr uint64_t kNodeBodyOffset = 16;
inline constexpr uint64_t kInteriorFanout = 1021;  // 8168 bytes / 8

// REQUIRES: i < kInteriorFanout.
inline uint64_t interior_child(const uint8_t* page, uint64_t i) {
  AMBRIK_DCHECK(i < kInteriorFanout);
  return load_u64(page + kNodeBodyOffset + 8 * i);
}
inline void set_interior_child(uint8_t* page, uint64_t i, uint64_t id) {
  AMBRIK_DCHECK(i < kInteriorFanout);
  store_u64(page + kNodeBodyOffset + 8 * i, id);
}
// The non-zero children (slot, id) of an interior node, copied out of the
// page view before any further cache call can invalidate it.
std::vector<std::pair<uint64_t, uint64_t>> interior_children(const uint8_t* page);

// leaf_slots * 1021^depth, saturating.
uint64_t radix_span(uint64_t leaf_slots, uint32_t depth);

template <class L>
class CowRadix {
 public:
  static constexpr uint64_t kSlotWidth = L::kSlotWidth;
  using Slot = std::array<uint8_t, kSlotWidth>;
  static_assert(kNodeBodyOffset + L::kLeafSlots * kSlotWidth <= kTrailerOffset);

  struct Removed {
    uint64_t node;  // the new root (unchanged when nothing was removed)
    bool found;
    Slot slot;      // the removed slot's bytes when found
  };

  static uint64_t span(uint32_t depth) { return radix_span(L::kLeafSlots, depth); }
  static bool admits(uint32_t depth, uint64_t key) {
    uint64_t s = span(depth);
    return s == kNoPage || key < s;
  }

  // Writes an empty node into a page buffer, trailer set.
  static void format_node(uint8_t* page, bool leaf) {
    std::memset(page, 0, kTrailerOffset);
    L::format(page, leaf);
    page_trailer_set(page);
  }

  // The bytes of the slot of `key`; all zero when the tree has no such key.
  static Result<Slot> lookup(uint32_t depth, PageCache& cache, uint64_t root, uint64_t key) {
    Slot out{};
    if (root == kNoPage || !admits(depth, key)) return out;
    if (depth > L::kMaxDepth) return Error::corrupt_page(root);
    uint64_t node = root;
    for (uint32_t d = depth; d > 0; --d) {
      const uint8_t* page = TRY(cache.get(node));
      TRY(check_node(page, node, d));
      uint64_t below = span(d - 1);
      uint64_t i = key / below;
      if (i >= kInteriorFanout) return out;
      node = interior_child(page, i);
      if (node == 0) return out;
      key %= below;
    }
    const uint8_t* leaf = TRY(cache.get(node));
    TRY(check_node(leaf, node, 0));
    std::memcpy(out.data(), slot_at(leaf, key % L::kLeafSlots), kSlotWidth);
    return out;
  }

  // Stores `slot` (kSlotWidth bytes) under `key`; returns the new root and
  // may raise `depth`. An empty tree (root == kNoPage) first gets a leaf.
  static Result<uint64_t> insert(uint32_t& depth, PageCache& cache, uint64_t root, uint64_t key,
                                 const uint8_t* slot, const PageAllocFn& alloc,
                                 std::vector<uint64_t>& pending) {
    uint32_t d = depth;
    if (root == kNoPage) {
      root = TRY(new_node(cache, alloc, true));
      d = 0;
    }
    if (d > L::kMaxDepth) return Error::corrupt_page(root);
    while (!admits(d, key)) {
      uint64_t top = TRY(new_node(cache, alloc, false));
      uint8_t* page = TRY(cache.get_mut(top));
      set_interior_child(page, 0, root);
      page_trailer_set(page);
      root = top;
      d += 1;
    }
    uint64_t new_root = TRY(insert_at(cache, root, key, slot, d, alloc, pending));
    depth = d;
    return new_root;
  }

  // Clears the slot of `key`, copying the path only when it was live; a key
  // the tree cannot hold is simply absent.
  static Result<Removed> remove(uint32_t depth, PageCache& cache, uint64_t root, uint64_t key,
                                const PageAllocFn& alloc, std::vector<uint64_t>& pending) {
    if (root == kNoPage || !admits(depth, key)) return Removed{root, false, {}};
    if (depth > L::kMaxDepth) return Error::corrupt_page(root);
    return remove_at(cache, root, key, depth, alloc, pending);
  }

  // Calls visit(key, slot bytes) for the live slots under `node` (keys from
  // `base`) in ascending key order until it returns false. Nothing for
  // node == kNoPage.
  template <class Visit>
  static Status for_each(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth,
                         Visit&& visit) {
    if (node == kNoPage) return ok_status();
    if (depth > L::kMaxDepth) return Error::corrupt_page(node);
    std::unordered_set<uint64_t> seen;
    bool more = true;
    auto no_node = [](uint64_t) {};
    return walk(cache, node, base, depth, seen, more, visit, no_node);
  }

  // Whether any leaf slot under `node` is live.
  static Result<bool> any_live(PageCache& cache, uint64_t node, uint32_t depth) {
    bool found = false;
    TRY(for_each(cache, node, 0, depth, [&](uint64_t, const uint8_t*) {
      found = true;
      return false;
    }));
    return found;
  }

  // Appends every page of the sub-tree to `pending`, children before their
  // parent. Leaves are read too: a damaged child id must not hand a page of
  // some other structure to the free list. On an error `pending` may hold a
  // part of the sub-tree.
  static Status free_subtree(PageCache& cache, uint64_t node, uint32_t depth,
                             std::vector<uint64_t>& pending) {
    if (node == kNoPage) return ok_status();
    if (depth > L::kMaxDepth) return Error::corrupt_page(node);
    std::unordered_set<uint64_t> seen;
    bool more = true;
    auto every_slot = [](uint64_t, const uint8_t*) { return true; };
    auto take = [&](uint64_t id) { pending.push_back(id); };
    return walk(cache, node, 0, depth, seen, more, every_slot, take);
  }

  // The depth of the tree at `root` (0 when root == kNoPage), found by
  // following child 0 of interior nodes; CorruptPageError for an interior
  // marker on a page of the wrong type, or one level past kMaxDepth.
  static Result<uint32_t> recover_depth(PageCache& cache, uint64_t root) {
    if (root == kNoPage) return uint32_t{0};
    uint32_t depth = 0;
    uint64_t node = root;
    for (;;) {
      const uint8_t* page = TRY(cache.get(node));
      if (!L::marks_interior(page)) return depth;
      if (!L::is_node(page, false) || depth == L::kMaxDepth) return Error::corrupt_page(node);
      depth += 1;
      node = interior_child(page, 0);
      if (node == 0) return depth;
    }
  }

 private:
  static uint8_t* slot_at(uint8_t* page, uint64_t i) {
    return page + kNodeBodyOffset + kSlotWidth * i;
  }
  static const uint8_t* slot_at(const uint8_t* page, uint64_t i) {
    return page + kNodeBodyOffset + kSlotWidth * i;
  }

  static Status check_node(const uint8_t* page, uint64_t id, uint32_t depth) {
    if (!L::is_node(page, depth == 0)) return Error::corrupt_page(id);
    return ok_status();
  }

  static Result<uint64_t> new_node(PageCache& cache, const PageAllocFn& alloc, bool leaf) {
    uint64_t id = TRY(alloc());
    uint8_t* page = TRY(cache.get_mut(id));
    format_node(page, leaf);
    return id;
  }

  // REQUIRES: key < span(depth), depth <= kMaxDepth.
  static Result<uint64_t> insert_at(PageCache& cache, uint64_t node, uint64_t key,
                                    const uint8_t* slot, uint32_t depth,
                                    const PageAllocFn& alloc, std::vector<uint64_t>& pending) {
    AMBRIK_DCHECK(depth <= L::kMaxDepth && admits(depth, key));
    uint64_t copy = TRY(alloc());
    TRY(cache.copy_page(node, copy));
    if (depth == 0) {
      uint8_t* page = TRY(cache.get_mut(copy));
      TRY(check_node(page, node, 0));
      pending.push_back(node);
      std::memcpy(slot_at(page, key % L::kLeafSlots), slot, kSlotWidth);
      page_trailer_set(page);
      return copy;
    }
    const uint8_t* page = TRY(cache.get(copy));
    TRY(check_node(page, node, depth));
    pending.push_back(node);
    uint64_t below = span(depth - 1);
    uint64_t i = key / below;
    if (i >= kInteriorFanout) return Error::internal("key routed outside the radix tree's span");
    uint64_t child = interior_child(page, i);
    if (child == 0) child = TRY(new_node(cache, alloc, depth == 1));
    uint64_t new_child = TRY(insert_at(cache, child, key % below, slot, depth - 1, alloc, pending));
    uint8_t* out = TRY(cache.get_mut(copy));
    set_interior_child(out, i, new_child);
    page_trailer_set(out);
    return copy;
  }

  static Result<Removed> remove_at(PageCache& cache, uint64_t node, uint64_t key, uint32_t depth,
                                   const PageAllocFn& alloc, std::vector<uint64_t>& pending) {
    const uint8_t* page = TRY(cache.get(node));
    TRY(check_node(page, node, depth));
    Removed below{0, false, {}};
    uint64_t i;
    if (depth == 0) {
      i = key % L::kLeafSlots;
      if (!L::slot_live(slot_at(page, i))) return Removed{node, false, {}};
      below.found = true;
      std::memcpy(below.slot.data(), slot_at(page, i), kSlotWidth);
    } else {
      uint64_t span_below = span(depth - 1);
      i = key / span_below;
      if (i >= kInteriorFanout) return Removed{node, false, {}};
      uint64_t child = interior_child(page, i);
      if (child == 0) return Removed{node, false, {}};
      below = TRY(remove_at(cache, child, key % span_below, depth - 1, alloc, pending));
      if (!below.found) return Removed{node, false, {}};
    }
    uint64_t copy = TRY(alloc());
    TRY(cache.copy_page(node, copy));
    pending.push_back(node);
    uint8_t* out = TRY(cache.get_mut(copy));
    if (depth == 0) std::memset(slot_at(out, i), 0, kSlotWidth);
    else set_interior_child(out, i, below.node);
    page_trailer_set(out);
    below.node = copy;
    return below;
  }

  // `more` turns false once visit asks to stop; the walk then checks it
  // before each slot and each child.
  template <class Visit, class Done>
  static Status walk(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth,
                     std::unordered_set<uint64_t>& seen, bool& more, Visit& visit,
                     Done& done) {
    if (!seen.insert(node).second) return Error::corrupt_page(node);
    const uint8_t* page = TRY(cache.get(node));
    TRY(check_node(page, node, depth));
    if (depth == 0) {
      for (uint64_t i = 0; i < L::kLeafSlots && more; ++i) {
        const uint8_t* s = slot_at(page, i);
        if (L::slot_live(s)) more = visit(sat_add(base, i), s);
      }
    } else {
      uint64_t below = span(depth - 1);
      for (auto [i, child] : interior_children(page)) {
        if (!more) break;
        TRY(walk(cache, child, sat_add(base, sat_mul(i, below)), depth - 1, seen, more, visit,
                 done));
      }
    }
    done(node);
    return ok_status();
  }
};

}  // namespace ambrik
