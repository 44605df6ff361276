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
// Copy-on-write: insert copies the root-to-leaf path; remove copies it only
// when it removes something. Superseded ids go to the caller's `pending`
// list. The caller may name nodes that no saved state refers to (the pages
// its transaction created since the tree was last captured): those are
// changed in place, and only the path below them is copied.
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
  // span(d) for every depth a valid tree can have, worked out once.
  static constexpr std::array<uint64_t, L::kMaxDepth + 1> kSpans = [] {
    std::array<uint64_t, L::kMaxDepth + 1> out{};
    uint64_t s = L::kLeafSlots;
    for (auto& v : out) {
      v = s;
      if (__builtin_mul_overflow(s, kInteriorFanout, &s)) s = kNoPage;
    }
    return out;
  }();

 public:
  static constexpr uint64_t kSlotWidth = L::kSlotWidth;
  using Slot = std::array<uint8_t, kSlotWidth>;
  static_assert(kNodeBodyOffset + L::kLeafSlots * kSlotWidth <= kTrailerOffset);

  struct Removed {
    uint64_t node;  // the new root (unchanged when nothing was removed)
    bool found;
    Slot slot;      // the removed slot's bytes when found
  };

  static uint64_t span(uint32_t depth) {
    return depth <= L::kMaxDepth ? kSpans[depth] : radix_span(L::kLeafSlots, depth);
  }
  static bool admits(uint32_t depth, uint64_t key) {
    uint64_t s = span(depth);
    return s == kNoPage || key < s;
  }

  // Writes an empty node into a page buffer (the trailer is the page
  // cache's to set when the page leaves memory).
  static void format_node(uint8_t* page, bool leaf) {
    std::memset(page, 0, kTrailerOffset);
    L::format(page, leaf);
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
      uint64_t below = span_below(d);
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

  // Where the slot of `key` lies when every node of its path is cached, or
  // null. Nothing is loaded or checked: a hint for prefetching, whose bytes
  // may be anything (but lie inside a cached page). Valid until the next
  // cache call.
  static const uint8_t* peek_slot(uint32_t depth, const PageCache& cache, uint64_t root,
                                  uint64_t key) {
    if (root == kNoPage || !admits(depth, key) || depth > L::kMaxDepth) return nullptr;
    uint64_t node = root;
    for (uint32_t d = depth; d > 0; --d) {
      const uint8_t* page = cache.peek(node);
      if (page == nullptr) return nullptr;
      const uint64_t below = span_below(d);
      const uint64_t i = key / below;
      if (i >= kInteriorFanout) return nullptr;
      node = interior_child(page, i);
      key %= below;
    }
    const uint8_t* leaf = cache.peek(node);
    return leaf ? slot_at(leaf, key % L::kLeafSlots) : nullptr;
  }

  // Stores `slot` (kSlotWidth bytes) under `key`; returns the new root and
  // may raise `depth`. An empty tree (root == kNoPage) first gets a leaf.
  //
  // `in_place` (may be null: copy everything) says which nodes may be
  // changed where they lie. The nodes it accepts must form a prefix of
  // every root-to-leaf path, which holds when it accepts exactly the pages
  // created since the tree was last captured (a new node is only ever
  // linked from a node rewritten in the same operation). Nodes below that
  // prefix are copied as usual. When the returned root equals `root`, the
  // operation changed the tree through exactly one write, made after every
  // step that can fail; otherwise it changed no page reachable from `root`.
  static Result<uint64_t> insert(uint32_t& depth, PageCache& cache, uint64_t root, uint64_t key,
                                 const uint8_t* slot, const PageAllocFn& alloc,
                                 std::vector<uint64_t>& pending,
                                 const PageInPlaceFn* in_place = nullptr) {
    uint32_t d = depth;
    if (root == kNoPage) {
      root = TRY(new_node(cache, alloc, true)).id;
      d = 0;
    }
    if (d > L::kMaxDepth) return Error::corrupt_page(root);
    while (!admits(d, key)) {
      NewNode top = TRY(new_node(cache, alloc, false));
      set_interior_child(top.page, 0, root);
      root = top.id;
      d += 1;
    }
    Path path;
    uint64_t node = root;
    uint64_t rest = key;
    for (uint32_t level = d;; --level) {
      const uint8_t* page = TRY(path.visit(cache, node, in_place));
      TRY(check_node(page, node, level));
      if (level == 0) {
        path.back().index = rest % L::kLeafSlots;
        break;
      }
      uint64_t below = span_below(level);
      uint64_t i = rest / below;
      if (i >= kInteriorFanout) return Error::internal("key routed outside the radix tree's span");
      path.back().index = i;
      rest %= below;
      node = interior_child(page, i);
      if (node == 0) {
        // The rest of the path is new: a chain of fresh nodes down to a
        // leaf holding the slot.
        path.link = TRY(fresh_chain(cache, level - 1, rest, slot, alloc));
        path.view = nullptr;
        break;
      }
    }
    uint64_t new_root = TRY(rewrite_path(cache, path, slot, alloc, pending));
    depth = d;
    return new_root;
  }

  // Clears the slot of `key`, copying the path only when it was live; a key
  // the tree cannot hold is simply absent. `in_place` as for insert.
  static Result<Removed> remove(uint32_t depth, PageCache& cache, uint64_t root, uint64_t key,
                                const PageAllocFn& alloc, std::vector<uint64_t>& pending,
                                const PageInPlaceFn* in_place = nullptr) {
    Removed out;
    TRY(remove_into(depth, cache, root, key, alloc, pending, in_place, out));
    return out;
  }
  // remove, filling `out` (meaningful on success only) instead of
  // returning a Result that the caller copies whole: the hot delete path's
  // copy of the freshly stored struct stalled.
  static Status remove_into(uint32_t depth, PageCache& cache, uint64_t root, uint64_t key,
                            const PageAllocFn& alloc, std::vector<uint64_t>& pending,
                            const PageInPlaceFn* in_place, Removed& out) {
    out.node = root;
    out.found = false;
    out.slot = {};
    if (root == kNoPage || !admits(depth, key)) return ok_status();
    if (depth > L::kMaxDepth) return Error::corrupt_page(root);
    Path path;
    uint64_t node = root;
    uint64_t rest = key;
    for (uint32_t level = depth;; --level) {
      const uint8_t* page = TRY(path.visit(cache, node, in_place));
      TRY(check_node(page, node, level));
      if (level == 0) {
        uint64_t i = rest % L::kLeafSlots;
        if (!L::slot_live(slot_at(page, i))) return ok_status();
        std::memcpy(out.slot.data(), slot_at(page, i), kSlotWidth);
        path.back().index = i;
        break;
      }
      uint64_t below = span_below(level);
      uint64_t i = rest / below;
      if (i >= kInteriorFanout) return ok_status();
      node = interior_child(page, i);
      if (node == 0) return ok_status();
      path.back().index = i;
      rest %= below;
    }
    out.node = TRY(rewrite_path(cache, path, nullptr, alloc, pending));
    out.found = true;
    return ok_status();
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

  struct NewNode {
    uint64_t id;
    uint8_t* page;  // valid until the next cache call
  };

  static Result<NewNode> new_node(PageCache& cache, const PageAllocFn& alloc, bool leaf) {
    uint64_t id = TRY(alloc());
    uint8_t* page = TRY(cache.get_mut(id));
    format_node(page, leaf);
    return NewNode{id, page};
  }

  // span(level - 1) for an interior level: the divisor of the routing step,
  // a constant (so no division instruction) at the level above the leaves.
  static uint64_t span_below(uint32_t level) {
    return level == 1 ? L::kLeafSlots : span(level - 1);
  }

  // The nodes of one root-to-leaf walk, root first, and what to store in
  // the deepest one: the slot at a leaf, or `link` (a fresh chain) at an
  // interior node whose child was missing.
  struct Step {
    uint64_t node;
    uint64_t index;  // child index, or slot index at the leaf
  };
  struct Path {
    std::array<Step, L::kMaxDepth + 1> steps;  // the first `len` are set
    uint32_t len = 0;
    // How many nodes from the root `in_place` accepted: a prefix, since
    // the walk stops asking at the first node it refuses.
    uint32_t keep = 0;
    uint64_t link = 0;
    // The writable view of the last node visited when it was accepted and
    // nothing has called into the cache since; else null.
    uint8_t* view = nullptr;

    // Appends `node` and fetches it: writable when accepted (such a page
    // was created by the running transaction and is dirty already, so
    // fetching it for writing changes nothing but saves a second lookup for
    // the change), read-only otherwise.
    Result<const uint8_t*> visit(PageCache& cache, uint64_t node, const PageInPlaceFn* in_place) {
      steps[len++] = Step{node, 0};
      if (in_place && keep + 1 == len && (*in_place)(node)) {
        keep = len;
        view = TRY(cache.get_mut(node));
        return view;
      }
      view = nullptr;
      return cache.get(node);
    }
    Step& back() { return steps[len - 1]; }
  };

  // Fresh nodes from `level` down to a leaf whose slot for `rest` holds
  // `slot`; returns the top one. Nothing links to them yet.
  static Result<uint64_t> fresh_chain(PageCache& cache, uint32_t level, uint64_t rest,
                                      const uint8_t* slot, const PageAllocFn& alloc) {
    std::array<uint64_t, L::kMaxDepth + 1> index{};
    for (uint32_t m = level; m > 0; --m) {
      uint64_t below = span_below(m);
      index[m] = rest / below;
      rest %= below;
    }
    NewNode n = TRY(new_node(cache, alloc, true));
    std::memcpy(slot_at(n.page, rest % L::kLeafSlots), slot, kSlotWidth);
    uint64_t id = n.id;
    for (uint32_t m = 1; m <= level; ++m) {
      NewNode up = TRY(new_node(cache, alloc, false));
      set_interior_child(up.page, index[m], id);
      id = up.id;
    }
    return id;
  }

  // Stores into node `j` of `path`: the slot (or zeros when `slot` is
  // null) at the leaf, `link` at an interior node.
  static void apply_step(uint8_t* page, const Path& path, uint32_t j, const uint8_t* slot,
                         uint64_t link) {
    const Step& s = path.steps[j];
    if (j + 1 == path.len && path.link == 0) {
      if (slot) std::memcpy(slot_at(page, s.index), slot, kSlotWidth);
      else std::memset(slot_at(page, s.index), 0, kSlotWidth);
    } else {
      set_interior_child(page, s.index, link);
    }
  }

  // Copies the nodes of `path` below the prefix that `in_place` accepted,
  // bottom up (superseded ids to `pending`), then makes the one change the
  // current tree sees in the deepest accepted node. Returns the new root
  // (the old one when that node exists).
  static Result<uint64_t> rewrite_path(PageCache& cache, const Path& path, const uint8_t* slot,
                                       const PageAllocFn& alloc, std::vector<uint64_t>& pending) {
    const uint32_t keep = path.keep;
    if (keep == path.len && path.view) {
      apply_step(path.view, path, keep - 1, slot, path.link);
      return path.steps[0].node;
    }
    uint64_t link = path.link;
    for (uint32_t j = path.len; j-- > keep;) {
      uint64_t copy = TRY(alloc());
      uint8_t* page = TRY(cache.copy_into(path.steps[j].node, copy));
      apply_step(page, path, j, slot, link);
      pending.push_back(path.steps[j].node);
      link = copy;
    }
    if (keep == 0) return link;
    uint8_t* page = TRY(cache.get_mut(path.steps[keep - 1].node));
    apply_step(page, path, keep - 1, slot, link);
    return path.steps[0].node;
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
