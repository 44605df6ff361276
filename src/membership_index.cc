#include "membership_index.h"

#include <cstring>
#include <unordered_set>

namespace ambrik {
namespace {

constexpr uint64_t kBodyOffset = 16;

uint64_t slot_at(const uint8_t* page, uint64_t i) { return load_u64(page + kBodyOffset + 8 * i); }

// A node's page type must match its level.
Status check_node(const uint8_t* page, uint64_t id, uint32_t depth) {
  uint8_t want = depth == 0 ? kPageMemberLeaf : kPageMemberInternal;
  if (page[0] != want) return Error::corrupt_page(id);
  return ok_status();
}

// Keys under one child of an internal node of `depth` >= 1: 1021^depth,
// which for depth <= 6 never saturates.
uint64_t child_span(uint32_t depth) { return RadixU64::capacity(depth - 1); }

// The non-zero children of an internal node, copied out of the view before
// any further cache call can invalidate it.
std::vector<std::pair<uint64_t, uint64_t>> children_of(const uint8_t* page) {
  std::vector<std::pair<uint64_t, uint64_t>> children;
  for (uint64_t i = 0; i < kRadixSlots; ++i) {
    if (uint64_t c = slot_at(page, i)) children.emplace_back(i, c);
  }
  return children;
}

using SeenSet = std::unordered_set<uint64_t>;

Result<const uint8_t*> visit(PageCache& cache, uint64_t node, uint32_t depth, SeenSet& seen) {
  if (!seen.insert(node).second) return Error::corrupt_page(node);
  const uint8_t* page = TRY(cache.get(node));
  TRY(check_node(page, node, depth));
  return page;
}

Status iter_walk(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth, uint64_t limit,
                 RadixList& out, SeenSet& seen) {
  const uint8_t* page = TRY(visit(cache, node, depth, seen));
  if (depth == 0) {
    for (uint64_t i = 0; i < kRadixSlots && out.size() < limit; ++i) {
      if (uint64_t v = slot_at(page, i)) out.emplace_back(sat_add(base, i), v);
    }
    return ok_status();
  }
  uint64_t span = child_span(depth);
  for (auto [i, child] : children_of(page)) {
    if (out.size() >= limit) break;
    TRY(iter_walk(cache, child, sat_add(base, sat_mul(i, span)), depth - 1, limit, out, seen));
  }
  return ok_status();
}

Result<bool> any_walk(PageCache& cache, uint64_t node, uint32_t depth, SeenSet& seen) {
  const uint8_t* page = TRY(visit(cache, node, depth, seen));
  if (depth == 0) {
    for (uint64_t i = 0; i < kRadixSlots; ++i) {
      if (slot_at(page, i) != 0) return true;
    }
    return false;
  }
  for (auto [i, child] : children_of(page)) {
    bool found = TRY(any_walk(cache, child, depth - 1, seen));
    if (found) return true;
  }
  return false;
}

// Leaves are read too: a damaged child id must not hand a page of some
// other structure to the free list.
Status free_walk(PageCache& cache, uint64_t node, uint32_t depth, std::vector<uint64_t>& pending,
                 SeenSet& seen) {
  const uint8_t* page = TRY(visit(cache, node, depth, seen));
  if (depth > 0) {
    for (auto [i, child] : children_of(page)) {
      TRY(free_walk(cache, child, depth - 1, pending, seen));
    }
  }
  pending.push_back(node);
  return ok_status();
}

}  // namespace

uint64_t RadixU64::capacity(uint32_t depth) {
  uint64_t c = kRadixSlots;
  for (uint32_t d = 0; d < depth && c != kNoPage; ++d) c = sat_mul(c, kRadixSlots);
  return c;
}

bool RadixU64::admits(uint32_t depth, uint64_t key) {
  uint64_t c = capacity(depth);
  return c == kNoPage || key < c;
}

void RadixU64::format_node(uint8_t* page, bool leaf) {
  std::memset(page, 0, kTrailerOffset);
  page[0] = leaf ? kPageMemberLeaf : kPageMemberInternal;
  page_trailer_set(page);
}

void RadixU64::write_slot(uint8_t* page, uint64_t index, uint64_t value) {
  store_u64(page + kBodyOffset + 8 * index, value);
}

Result<uint64_t> RadixU64::create_empty_leaf(PageCache& cache, const PageAllocFn& alloc) {
  uint64_t id = TRY(alloc());
  uint8_t* page = TRY(cache.get_mut(id));
  format_node(page, true);
  return id;
}

Result<uint64_t> RadixU64::lookup(uint32_t depth, PageCache& cache, uint64_t root,
                                  uint64_t key) {
  if (root == kNoPage || !admits(depth, key)) return uint64_t{0};
  if (depth > kRadixMaxDepth) return Error::corrupt_page(root);
  uint64_t node = root;
  uint64_t rem = key;
  for (uint32_t d = depth; d > 0; --d) {
    const uint8_t* page = TRY(cache.get(node));
    TRY(check_node(page, node, d));
    uint64_t span = child_span(d);
    uint64_t i = rem / span;
    if (i >= kRadixSlots) return uint64_t{0};
    node = slot_at(page, i);
    if (node == 0) return uint64_t{0};
    rem %= span;
  }
  const uint8_t* leaf = TRY(cache.get(node));
  TRY(check_node(leaf, node, 0));
  return slot_at(leaf, rem % kRadixSlots);
}

Result<uint64_t> RadixU64::insert(uint32_t& depth, PageCache& cache, uint64_t root, uint64_t key,
                                  uint64_t value, const PageAllocFn& alloc,
                                  std::vector<uint64_t>& pending) {
  if (value == 0) return Error::internal("a radix tree value must be non-zero");
  // A local depth, so that a failure leaves the caller's matching the old
  // root it keeps.
  uint32_t d = depth;
  if (root == kNoPage) {
    root = TRY(create_empty_leaf(cache, alloc));
    d = 0;
  }
  if (d > kRadixMaxDepth) return Error::corrupt_page(root);
  while (!admits(d, key)) {
    uint64_t top = TRY(alloc());
    uint8_t* page = TRY(cache.get_mut(top));
    format_node(page, false);
    write_slot(page, 0, root);
    page_trailer_set(page);
    root = top;
    d += 1;
  }
  uint64_t new_root = TRY(insert_recursive(cache, root, key, value, d, alloc, pending));
  depth = d;
  return new_root;
}

Result<uint64_t> RadixU64::insert_recursive(PageCache& cache, uint64_t node, uint64_t rem,
                                            uint64_t value, uint32_t depth,
                                            const PageAllocFn& alloc,
                                            std::vector<uint64_t>& pending) {
  if (depth > kRadixMaxDepth) return Error::corrupt_page(node);
  uint64_t copy = TRY(alloc());
  TRY(cache.copy_page(node, copy));
  if (depth == 0) {
    uint8_t* page = TRY(cache.get_mut(copy));
    TRY(check_node(page, node, 0));
    pending.push_back(node);
    write_slot(page, rem % kRadixSlots, value);
    page_trailer_set(page);
    return copy;
  }
  const uint8_t* page = TRY(cache.get(copy));
  TRY(check_node(page, node, depth));
  pending.push_back(node);
  uint64_t span = child_span(depth);
  uint64_t i = rem / span;
  if (i >= kRadixSlots) return Error::internal("key routed outside the radix tree's capacity");
  uint64_t child = slot_at(page, i);
  if (child == 0) {
    child = TRY(alloc());
    uint8_t* fresh = TRY(cache.get_mut(child));
    format_node(fresh, depth == 1);
  }
  uint64_t new_child =
      TRY(insert_recursive(cache, child, rem % span, value, depth - 1, alloc, pending));
  uint8_t* out = TRY(cache.get_mut(copy));
  write_slot(out, i, new_child);
  page_trailer_set(out);
  return copy;
}

Result<RadixRemoveResult> RadixU64::remove(uint32_t depth, PageCache& cache, uint64_t root,
                                           uint64_t key, const PageAllocFn& alloc,
                                           std::vector<uint64_t>& pending) {
  if (root == kNoPage || !admits(depth, key)) return RadixRemoveResult{root, 0};
  return delete_recursive(cache, root, key, depth, alloc, pending);
}

Result<RadixRemoveResult> RadixU64::delete_recursive(PageCache& cache, uint64_t node,
                                                     uint64_t rem, uint32_t depth,
                                                     const PageAllocFn& alloc,
                                                     std::vector<uint64_t>& pending) {
  if (depth > kRadixMaxDepth) return Error::corrupt_page(node);
  const uint8_t* page = TRY(cache.get(node));
  TRY(check_node(page, node, depth));
  uint64_t index;
  RadixRemoveResult below{0, 0};
  if (depth == 0) {
    index = rem % kRadixSlots;
    below.removed = slot_at(page, index);
    if (below.removed == 0) return RadixRemoveResult{node, 0};
  } else {
    uint64_t span = child_span(depth);
    index = rem / span;
    if (index >= kRadixSlots) return RadixRemoveResult{node, 0};
    uint64_t child = slot_at(page, index);
    if (child == 0) return RadixRemoveResult{node, 0};
    below = TRY(delete_recursive(cache, child, rem % span, depth - 1, alloc, pending));
    if (below.removed == 0) return RadixRemoveResult{node, 0};
  }
  uint64_t copy = TRY(alloc());
  TRY(cache.copy_page(node, copy));
  pending.push_back(node);
  uint8_t* out = TRY(cache.get_mut(copy));
  write_slot(out, index, below.node);  // 0 at a leaf: the slot is cleared
  page_trailer_set(out);
  return RadixRemoveResult{copy, below.removed};
}

Result<bool> RadixU64::any_recursive(PageCache& cache, uint64_t node, uint32_t depth) {
  if (depth > kRadixMaxDepth) return Error::corrupt_page(node);
  SeenSet seen;
  return any_walk(cache, node, depth, seen);
}

Status RadixU64::free_subtree(PageCache& cache, uint64_t node, uint32_t depth,
                              std::vector<uint64_t>& pending) {
  if (node == kNoPage) return ok_status();
  if (depth > kRadixMaxDepth) return Error::corrupt_page(node);
  SeenSet seen;
  return free_walk(cache, node, depth, pending, seen);
}

Status RadixU64::iter_recursive(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth,
                                RadixList& out) {
  return iter_bounded_recursive(cache, node, base, depth, kNoPage, out);
}

Status RadixU64::iter_bounded_recursive(PageCache& cache, uint64_t node, uint64_t base,
                                        uint32_t depth, uint64_t limit, RadixList& out) {
  if (depth > kRadixMaxDepth) return Error::corrupt_page(node);
  SeenSet seen;
  return iter_walk(cache, node, base, depth, limit, out, seen);
}

Result<uint32_t> RadixU64::recover_depth(PageCache& cache, uint64_t root) {
  if (root == kNoPage) return uint32_t{0};
  uint32_t depth = 0;
  uint64_t node = root;
  for (;;) {
    const uint8_t* page = TRY(cache.get(node));
    if (page[0] != kPageMemberInternal) return depth;
    if (depth == kRadixMaxDepth) return Error::corrupt_page(node);
    depth += 1;
    node = slot_at(page, 0);
    if (node == 0) return depth;
  }
}

// --- the two-level tag index

namespace {

// Where a tag's handle set lives; root 0 means the tag is not in use.
struct HandleSet {
  uint64_t root = 0;
  uint32_t depth = 0;
};

Result<HandleSet> decode_set(uint64_t value) {
  uint64_t page = value & kMemberPageMask;
  uint64_t depth = value >> kMemberDepthShift;
  if (page == 0) return HandleSet{};
  if (depth > kRadixMaxDepth) return Error::corrupt_page(page);
  return HandleSet{page, static_cast<uint32_t>(depth)};
}

Result<uint64_t> encode_set(const HandleSet& set) {
  if ((set.root & ~kMemberPageMask) != 0) {
    return Error::internal("handle-set page id does not fit in 58 bits");
  }
  return (uint64_t{set.depth} << kMemberDepthShift) | set.root;
}

Result<HandleSet> find_set(PageCache& cache, const MembershipRoot& index, uint32_t tag) {
  if (index.root == kNoPage) return HandleSet{};
  uint64_t value = TRY(RadixU64::lookup(index.depth, cache, index.root, tag));
  return decode_set(value);
}

}  // namespace

Status membership_add(PageCache& cache, MembershipRoot& working, uint64_t handle, uint32_t tag,
                      const PageAllocFn& alloc, std::vector<uint64_t>& pending) {
  // Superseded ids are collected apart so that a failure hands nothing of
  // the still-current trees to the free list.
  std::vector<uint64_t> superseded;
  MembershipRoot index = working;
  if (index.root == kNoPage) {
    index.root = TRY(RadixU64::create_empty_leaf(cache, alloc));
    index.depth = 0;
  }
  HandleSet set = TRY(find_set(cache, index, tag));
  if (set.root == 0) {
    set.root = TRY(RadixU64::create_empty_leaf(cache, alloc));
    set.depth = 0;
  }
  set.root = TRY(RadixU64::insert(set.depth, cache, set.root, handle, 1, alloc, superseded));
  uint64_t value = TRY(encode_set(set));
  index.root = TRY(RadixU64::insert(index.depth, cache, index.root, tag, value, alloc, superseded));
  pending.insert(pending.end(), superseded.begin(), superseded.end());
  working = index;
  return ok_status();
}

Status membership_remove(PageCache& cache, MembershipRoot& working, uint64_t handle,
                         uint32_t tag, const PageAllocFn& alloc,
                         std::vector<uint64_t>& pending) {
  HandleSet set = TRY(find_set(cache, working, tag));
  if (set.root == 0 || !RadixU64::admits(set.depth, handle)) return ok_status();
  std::vector<uint64_t> superseded;
  auto cut = TRY(RadixU64::delete_recursive(cache, set.root, handle, set.depth, alloc,
                                            superseded));
  if (cut.removed == 0) return ok_status();
  MembershipRoot index = working;
  bool members_left = TRY(RadixU64::any_recursive(cache, cut.node, set.depth));
  if (members_left) {
    uint64_t value = TRY(encode_set(HandleSet{cut.node, set.depth}));
    index.root =
        TRY(RadixU64::insert(index.depth, cache, index.root, tag, value, alloc, superseded));
  } else {
    TRY(RadixU64::free_subtree(cache, cut.node, set.depth, superseded));
    auto gone = TRY(RadixU64::remove(index.depth, cache, index.root, tag, alloc, superseded));
    index.root = gone.node;
  }
  pending.insert(pending.end(), superseded.begin(), superseded.end());
  working = index;
  return ok_status();
}

Result<std::vector<uint64_t>> membership_handles(PageCache& cache, const MembershipRoot& index,
                                                 uint32_t tag, uint64_t limit) {
  std::vector<uint64_t> handles;
  HandleSet set = TRY(find_set(cache, index, tag));
  if (set.root == 0) return handles;
  RadixList members;
  TRY(RadixU64::iter_bounded_recursive(cache, set.root, 0, set.depth, limit, members));
  handles.reserve(members.size());
  for (const auto& [handle, one] : members) handles.push_back(handle);
  return handles;
}

Result<uint32_t> membership_recover_depth(PageCache& cache, uint64_t root) {
  return RadixU64::recover_depth(cache, root);
}

}  // namespace ambrik
