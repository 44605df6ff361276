#include "handle_table.h"

#include <cstring>
#include <unordered_set>

namespace ambrik {
namespace {

constexpr uint64_t kBodyOffset = 16;
constexpr uint64_t kEntrySize = 16;

uint8_t* entry_at(uint8_t* page, uint64_t i) { return page + kBodyOffset + kEntrySize * i; }
const uint8_t* entry_at(const uint8_t* page, uint64_t i) {
  return page + kBodyOffset + kEntrySize * i;
}
uint64_t child_at(const uint8_t* page, uint64_t i) { return load_u64(page + kBodyOffset + 8 * i); }
void set_child(uint8_t* page, uint64_t i, uint64_t id) { store_u64(page + kBodyOffset + 8 * i, id); }

// A node must be a handle-table page whose node type matches its level.
Status check_node(const uint8_t* page, uint64_t id, uint32_t depth) {
  uint8_t want = depth == 0 ? kHandleNodeLeaf : kHandleNodeInternal;
  if (page[0] != kPageHandleNode || page[1] != want) return Error::corrupt_page(id);
  return ok_status();
}

// Child index and remainder of `rem` at an internal node of `depth` >= 1.
std::pair<uint64_t, uint64_t> route(uint64_t rem, uint32_t depth) {
  uint64_t below = HandleTable::span(depth - 1);
  return {rem / below, rem % below};
}

Status iter_walk(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth, HandleList& out,
                 std::unordered_set<uint64_t>& seen) {
  if (!seen.insert(node).second) return Error::corrupt_page(node);
  const uint8_t* page = TRY(cache.get(node));
  TRY(check_node(page, node, depth));
  if (depth == 0) {
    for (uint64_t i = 0; i < kHandlesPerLeaf; ++i) {
      if (auto e = decode_handle_entry(entry_at(page, i))) out.emplace_back(sat_add(base, i), *e);
    }
    return ok_status();
  }
  std::vector<std::pair<uint64_t, uint64_t>> children;
  for (uint64_t i = 0; i < kHandleFanout; ++i) {
    if (uint64_t c = child_at(page, i)) children.emplace_back(i, c);
  }
  uint64_t below = HandleTable::span(depth - 1);
  for (auto [i, child] : children) {
    TRY(iter_walk(cache, child, sat_add(base, sat_mul(i, below)), depth - 1, out, seen));
  }
  return ok_status();
}

}  // namespace

std::optional<HandleEntry> decode_handle_entry(const uint8_t* p) {
  uint8_t kind = p[10];
  if (kind != 1 && kind != 2) return std::nullopt;
  HandleEntry e;
  e.location = load_u64(p);
  e.slot = load_u16(p + 8);
  e.kind = kind == 1 ? ValueKind::Inline : ValueKind::Overflow;
  e.tag = load_u32(p + 11);
  e.client_byte = p[15];
  return e;
}

void encode_handle_entry(uint8_t* p, const HandleEntry& e) {
  store_u64(p, e.location);
  store_u16(p + 8, e.slot);
  p[10] = static_cast<uint8_t>(e.kind);
  store_u32(p + 11, e.tag);
  p[15] = e.client_byte;
}

uint64_t HandleTable::span(uint32_t depth) {
  uint64_t s = kHandlesPerLeaf;
  for (uint32_t d = 0; d < depth && s != kNoPage; ++d) s = sat_mul(s, kHandleFanout);
  return s;
}

bool HandleTable::admits(uint32_t depth, uint64_t handle) {
  uint64_t s = span(depth);
  return s == kNoPage || handle < s;
}

void HandleTable::format_node(uint8_t* page, bool leaf) {
  std::memset(page, 0, kTrailerOffset);
  page[0] = kPageHandleNode;
  page[1] = leaf ? kHandleNodeLeaf : kHandleNodeInternal;
  page_trailer_set(page);
}

Result<uint64_t> HandleTable::create_root_leaf(PageCache& cache) {
  uint64_t id = TRY(cache.new_page());
  uint8_t* page = TRY(cache.get_mut(id));
  format_node(page, true);
  return id;
}

Result<std::optional<HandleEntry>> HandleTable::lookup(uint32_t depth, PageCache& cache,
                                                       uint64_t root, uint64_t handle) {
  if (root == kNoPage || !admits(depth, handle)) return std::optional<HandleEntry>{};
  if (depth > kHandleMaxDepth) return Error::corrupt_page(root);
  uint64_t node = root;
  uint64_t rem = handle;
  for (uint32_t d = depth; d > 0; --d) {
    const uint8_t* page = TRY(cache.get(node));
    TRY(check_node(page, node, d));
    auto [i, r] = route(rem, d);
    if (i >= kHandleFanout) return std::optional<HandleEntry>{};
    node = child_at(page, i);
    if (node == 0) return std::optional<HandleEntry>{};
    rem = r;
  }
  const uint8_t* leaf = TRY(cache.get(node));
  TRY(check_node(leaf, node, 0));
  return decode_handle_entry(entry_at(leaf, rem % kHandlesPerLeaf));
}

Result<uint64_t> HandleTable::insert(uint32_t& depth, PageCache& cache, uint64_t root,
                                     uint64_t handle, const HandleEntry& entry,
                                     const PageAllocFn& alloc, std::vector<uint64_t>& pending) {
  if (depth > kHandleMaxDepth) return Error::corrupt_page(root);
  // Work on a local depth so that a failure leaves the caller's unchanged,
  // matching the old root it keeps.
  uint32_t d = depth;
  while (!admits(d, handle)) {
    uint64_t top = TRY(alloc());
    uint8_t* page = TRY(cache.get_mut(top));
    format_node(page, false);
    set_child(page, 0, root);
    page_trailer_set(page);
    root = top;
    d += 1;
  }
  uint64_t new_root = TRY(insert_recursive(cache, root, handle, entry, d, alloc, pending));
  depth = d;
  return new_root;
}

Result<uint64_t> HandleTable::insert_recursive(PageCache& cache, uint64_t node, uint64_t rem,
                                               const HandleEntry& entry, uint32_t depth,
                                               const PageAllocFn& alloc,
                                               std::vector<uint64_t>& pending) {
  uint64_t copy = TRY(alloc());
  TRY(cache.copy_page(node, copy));
  pending.push_back(node);
  if (depth == 0) {
    uint8_t* page = TRY(cache.get_mut(copy));
    TRY(check_node(page, node, 0));
    encode_handle_entry(entry_at(page, rem % kHandlesPerLeaf), entry);
    page_trailer_set(page);
    return copy;
  }
  const uint8_t* page = TRY(cache.get(copy));
  TRY(check_node(page, node, depth));
  auto [i, r] = route(rem, depth);
  if (i >= kHandleFanout) return Error::internal("handle routed outside the table's span");
  uint64_t child = child_at(page, i);
  if (child == 0) {
    child = TRY(alloc());
    uint8_t* fresh = TRY(cache.get_mut(child));
    format_node(fresh, depth == 1);
  }
  uint64_t new_child = TRY(insert_recursive(cache, child, r, entry, depth - 1, alloc, pending));
  uint8_t* out = TRY(cache.get_mut(copy));
  set_child(out, i, new_child);
  page_trailer_set(out);
  return copy;
}

Result<HandleDeleteResult> HandleTable::delete_recursive(PageCache& cache, uint64_t node,
                                                         uint64_t rem, uint32_t depth,
                                                         const PageAllocFn& alloc,
                                                         std::vector<uint64_t>& pending) {
  if (depth > kHandleMaxDepth) return Error::corrupt_page(node);
  const uint8_t* page = TRY(cache.get(node));
  TRY(check_node(page, node, depth));
  if (depth == 0) {
    auto removed = decode_handle_entry(entry_at(page, rem % kHandlesPerLeaf));
    if (!removed) return HandleDeleteResult{node, std::nullopt};
    uint64_t copy = TRY(alloc());
    TRY(cache.copy_page(node, copy));
    pending.push_back(node);
    uint8_t* out = TRY(cache.get_mut(copy));
    std::memset(entry_at(out, rem % kHandlesPerLeaf), 0, kEntrySize);
    page_trailer_set(out);
    return HandleDeleteResult{copy, removed};
  }
  auto [i, r] = route(rem, depth);
  if (i >= kHandleFanout) return HandleDeleteResult{node, std::nullopt};
  uint64_t child = child_at(page, i);
  if (child == 0) return HandleDeleteResult{node, std::nullopt};
  auto below = TRY(delete_recursive(cache, child, r, depth - 1, alloc, pending));
  if (!below.removed) return HandleDeleteResult{node, std::nullopt};
  uint64_t copy = TRY(alloc());
  TRY(cache.copy_page(node, copy));
  pending.push_back(node);
  uint8_t* out = TRY(cache.get_mut(copy));
  set_child(out, i, below.node);
  page_trailer_set(out);
  return HandleDeleteResult{copy, below.removed};
}

Result<HandleList> HandleTable::iter_live(uint32_t depth, PageCache& cache, uint64_t root) {
  HandleList out;
  if (root == kNoPage) return out;
  TRY(iter_recursive(cache, root, 0, depth, out));
  return out;
}

Status HandleTable::iter_recursive(PageCache& cache, uint64_t node, uint64_t base, uint32_t depth,
                                   HandleList& out) {
  if (depth > kHandleMaxDepth) return Error::corrupt_page(node);
  std::unordered_set<uint64_t> seen;
  return iter_walk(cache, node, base, depth, out, seen);
}

Result<uint32_t> HandleTable::recover_depth(PageCache& cache, uint64_t root) {
  if (root == kNoPage) return uint32_t{0};
  uint32_t depth = 0;
  uint64_t node = root;
  for (;;) {
    const uint8_t* page = TRY(cache.get(node));
    if (page[1] != kHandleNodeInternal) return depth;
    if (page[0] != kPageHandleNode || depth == kHandleMaxDepth) return Error::corrupt_page(node);
    depth += 1;
    node = child_at(page, 0);
    if (node == 0) return depth;
  }
}

}  // namespace ambrik
