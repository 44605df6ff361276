#include "freemap_tree.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <utility>

#include "cow_radix.h"
#include "page.h"

namespace ambrik {
namespace {

constexpr uint64_t kBitmapBytes = kFreeMapLeafBits / 8;  // 8168
static_assert(kBitmapBytes % 8 == 0);

struct NodeLevelHash {
  size_t operator()(const std::pair<uint64_t, uint32_t>& k) const {
    return std::hash<uint64_t>{}(k.first * 31 + k.second);
  }
};
using NodeLevelSet = std::unordered_set<std::pair<uint64_t, uint32_t>, NodeLevelHash>;

// Memo of sub-trees known to hold no free bit at all: once a scan of
// (node, level) with no effective lower bound has come back empty, any later
// visit of the same pair (only possible in a damaged tree that shares
// sub-trees) is answered without reading.
struct Scanner {
  PageCache& cache;
  NodeLevelSet empty;
  uint64_t found_leaf = 0;  // the leaf of the id last found

  Result<std::optional<uint64_t>> scan(uint64_t node, uint32_t level, uint64_t base,
                                       uint64_t bound) {
    // Without an effective bound the answer depends on (node, level) alone.
    bool unbounded = bound == 0 || bound < base;
    if (unbounded && empty.count({node, level})) return std::optional<uint64_t>{};
    auto found = TRY(scan_uncached(node, level, base, bound));
    if (unbounded && !found) empty.insert({node, level});
    return found;
  }

  Result<std::optional<uint64_t>> scan_uncached(uint64_t node, uint32_t level, uint64_t base,
                                                uint64_t bound) {
    const uint8_t* page = TRY(cache.get(node));
    if (level == 0) {
      if (page[0] != kPageFreeMapLeaf) return Error::corrupt_page(node);
      found_leaf = node;
      uint64_t off = bound > base ? bound - base : 0;
      if (off >= kFreeMapLeafBits) return std::optional<uint64_t>{};
      const uint8_t* bitmap = page + kFreeMapBodyOffset;
      uint64_t i = off / 8;
      unsigned first = bitmap[i] & static_cast<uint8_t>(0xFFu << (off % 8));
      if (first != 0) {
        return std::optional<uint64_t>{sat_add(base, 8 * i + std::countr_zero(first))};
      }
      // Eight bytes at a time: an allocation whose bound lies below a long
      // run of pages in use scans this rest of the leaf every time.
      uint64_t j = i + 1;
      for (; j < kBitmapBytes && j % 8 != 0; ++j) {
        if (bitmap[j] != 0) {
          return std::optional<uint64_t>{
              sat_add(base, 8 * j + std::countr_zero(unsigned{bitmap[j]}))};
        }
      }
      for (; j < kBitmapBytes; j += 8) {
        // Little-endian, so bit b of the word is bit b mod 8 of byte j + b div 8.
        if (uint64_t w = load_u64(bitmap + j)) {
          return std::optional<uint64_t>{sat_add(base, 8 * j + std::countr_zero(w))};
        }
      }
      return std::optional<uint64_t>{};
    }
    if (page[0] != kPageFreeMapInterior) return Error::corrupt_page(node);
    uint64_t span = freemap_span(level);
    for (auto [slot, child] : interior_children(page)) {
      uint64_t c = sat_add(base, sat_mul(slot, span));
      uint64_t e = sat_add(c, span);
      if (e <= bound) continue;
      auto found = TRY(scan(child, level - 1, c, bound));
      if (found) return found;
    }
    return std::optional<uint64_t>{};
  }
};

Status collect_walk(PageCache& cache, uint64_t node, uint32_t level,
                    std::unordered_set<uint64_t>& out, NodeLevelSet& visited) {
  if (!visited.insert({node, level}).second) return ok_status();
  out.insert(node);
  const uint8_t* page = TRY(cache.get(node));
  if (level == 0) {
    if (page[0] != kPageFreeMapLeaf) return Error::corrupt_page(node);
    return ok_status();
  }
  if (page[0] != kPageFreeMapInterior) return Error::corrupt_page(node);
  for (auto [slot, child] : interior_children(page)) {
    TRY(collect_walk(cache, child, level - 1, out, visited));
  }
  return ok_status();
}

}  // namespace

void freemap_clear_bit(uint8_t* leaf, uint64_t k) {
  if (k >= kFreeMapLeafBits) return;
  leaf[kFreeMapBodyOffset + k / 8] &= static_cast<uint8_t>(~(1u << (k % 8)));
}

void freemap_mark_free(uint8_t* leaf, uint64_t k) {
  if (k >= kFreeMapLeafBits) return;
  leaf[kFreeMapBodyOffset + k / 8] |= static_cast<uint8_t>(1u << (k % 8));
}

uint64_t freemap_span(uint32_t level) {
  return level == 0 ? 1 : radix_span(kFreeMapLeafBits, level - 1);
}

uint64_t freemap_coverage(uint32_t depth) { return radix_span(kFreeMapLeafBits, depth); }

namespace {

// The leaf that covers page `p` and p's bit index in it; nullopt when no
// leaf covers p (an absent sub-tree or a page past the tree's coverage).
// The leaf view is valid until the next call into the cache.
struct LeafAt {
  const uint8_t* leaf;
  uint64_t rel;
};

Result<std::optional<LeafAt>> leaf_covering(PageCache& cache, uint64_t root, uint32_t depth,
                                            uint64_t p) {
  using Found = std::optional<LeafAt>;
  if (root == kNoPage) return Found{};
  if (depth > kFreeMapMaxDepth) return Error::corrupt_page(root);
  if (p >= freemap_coverage(depth)) return Found{};
  uint64_t node = root;
  uint64_t rel = p;
  for (uint32_t level = depth; level > 0; --level) {
    const uint8_t* page = TRY(cache.get(node));
    if (page[0] != kPageFreeMapInterior) return Error::corrupt_page(node);
    uint64_t span = freemap_span(level);
    uint64_t i = rel / span;
    rel %= span;
    if (i >= kFreeMapFanout) return Found{};
    node = interior_child(page, i);
    if (node == 0) return Found{};
  }
  const uint8_t* leaf = TRY(cache.get(node));
  if (leaf[0] != kPageFreeMapLeaf) return Error::corrupt_page(node);
  return Found{LeafAt{leaf, rel}};
}

}  // namespace

Result<bool> is_marked_free(PageCache& cache, uint64_t root, uint32_t depth, uint64_t p) {
  std::optional<LeafAt> at = TRY(leaf_covering(cache, root, depth, p));
  if (!at) return false;
  return ((at->leaf[kFreeMapBodyOffset + at->rel / 8] >> (at->rel % 8)) & 1) != 0;
}

Result<std::optional<uint64_t>> find_free_run(PageCache& cache, uint64_t root, uint32_t depth,
                                              uint64_t p, uint64_t k, uint64_t end) {
  using Found = std::optional<uint64_t>;
  if (k == 0 || p >= end) return Found{};
  std::optional<LeafAt> at = TRY(leaf_covering(cache, root, depth, p));
  if (!at) return Found{};
  const uint8_t* leaf = at->leaf;
  const uint64_t rel = at->rel;
  const uint64_t base = p - rel;
  const uint64_t limit = std::min<uint64_t>(kFreeMapLeafBits, end - base);
  const uint8_t* bitmap = leaf + kFreeMapBodyOffset;
  uint64_t run_start = 0;
  uint64_t run_len = 0;
  for (uint64_t b = rel; b < limit;) {
    // Whole words at once where the word alone decides (little-endian: bit
    // j of the word is bit j mod 8 of byte j div 8).
    if (b % 64 == 0 && b + 64 <= limit) {
      const uint64_t word = load_u64(bitmap + b / 8);
      if (word == 0) {
        run_len = 0;
        b += 64;
        continue;
      }
      if (word == ~uint64_t{0}) {
        if (run_len == 0) run_start = b;
        run_len += 64;
        if (run_len >= k) return Found{base + run_start};
        b += 64;
        continue;
      }
    }
    if ((bitmap[b / 8] >> (b % 8)) & 1) {
      if (run_len == 0) run_start = b;
      if (++run_len >= k) return Found{base + run_start};
    } else {
      run_len = 0;
    }
    ++b;
  }
  return Found{};
}

Result<std::optional<uint64_t>> FreeMapTree::scan_node(PageCache& cache, uint64_t node,
                                                       uint32_t level, uint64_t base,
                                                       uint64_t bound, uint64_t* leaf) {
  if (level > kFreeMapMaxDepth) return Error::corrupt_page(node);
  Scanner scanner{cache, {}};
  auto found = TRY(scanner.scan(node, level, base, bound));
  if (found && leaf) *leaf = scanner.found_leaf;
  return found;
}

Result<std::optional<uint64_t>> FreeMapTree::find_free(PageCache& cache, uint64_t bound) const {
  if (root_ == kNoPage) return std::optional<uint64_t>{};
  return scan_node(cache, root_, depth_, 0, bound);
}

Status FreeMapTree::check_depth() const {
  if (depth_ > kFreeMapMaxDepth) return Error::corrupt_page(root_);
  return ok_status();
}

Result<uint64_t> FreeMapTree::cow_node(PageCache& cache, uint64_t node, uint8_t type,
                                       const PageAllocFn& alloc) {
  if (fresh_.count(node)) return node;
  const uint8_t* page = TRY(cache.get(node));
  if (page[0] != type) return Error::corrupt_page(node);
  uint64_t copy = TRY(alloc());
  TRY(cache.copy_page(node, copy));
  fresh_.insert(copy);
  replaced_.push_back(node);
  return copy;
}

Status FreeMapTree::init_fresh_node(PageCache& cache, uint64_t id, uint8_t type,
                                    uint64_t slot0) {
  uint8_t* page = TRY(cache.get_mut(id));
  std::memset(page, 0, kTrailerOffset);
  page[0] = type;
  if (slot0 != 0) set_interior_child(page, 0, slot0);
  fresh_.insert(id);
  return ok_status();
}

Status FreeMapTree::cow_descend(PageCache& cache, uint64_t p, const PageAllocFn& alloc,
                                FreeMapBitOp op) {
  TRY(check_depth());
  if (root_ == kNoPage || p >= freemap_coverage(depth_)) {
    return Error::internal("free-map descent outside the tree's coverage");
  }
  const uint8_t root_type = depth_ > 0 ? kPageFreeMapInterior : kPageFreeMapLeaf;
  root_ = TRY(cow_node(cache, root_, root_type, alloc));
  uint64_t node = root_;
  uint64_t rel = p;
  for (uint32_t level = depth_; level > 0; --level) {
    uint64_t span = freemap_span(level);
    uint64_t i = rel / span;
    rel %= span;
    if (i >= kFreeMapFanout) return Error::internal("free-map slot index out of range");
    uint8_t type = level == 1 ? kPageFreeMapLeaf : kPageFreeMapInterior;
    const uint8_t* page = TRY(cache.get(node));
    uint64_t child = interior_child(page, i);
    uint64_t copy;
    if (child != 0) {
      copy = TRY(cow_node(cache, child, type, alloc));
    } else {
      copy = TRY(alloc());
      TRY(init_fresh_node(cache, copy, type, 0));
    }
    if (copy != child) {
      uint8_t* parent = TRY(cache.get_mut(node));
      set_interior_child(parent, i, copy);
    }
    node = copy;
  }
  uint8_t* leaf = TRY(cache.get_mut(node));
  if (leaf[0] != kPageFreeMapLeaf) return Error::corrupt_page(node);
  if (op == FreeMapBitOp::ClearBit) {
    freemap_clear_bit(leaf, rel % kFreeMapLeafBits);
  } else {
    freemap_mark_free(leaf, rel % kFreeMapLeafBits);
  }
  return ok_status();
}

Status FreeMapTree::grow_to_cover(PageCache& cache, uint64_t p, const PageAllocFn& alloc) {
  if (root_ == kNoPage) {
    uint64_t leaf = TRY(alloc());
    TRY(init_fresh_node(cache, leaf, kPageFreeMapLeaf, 0));
    root_ = leaf;
    depth_ = 0;
  }
  while (depth_ < kFreeMapMaxDepth && p >= freemap_coverage(depth_)) {
    uint64_t top = TRY(alloc());
    TRY(init_fresh_node(cache, top, kPageFreeMapInterior, root_));
    root_ = top;
    depth_ += 1;
  }
  return ok_status();
}

Status FreeMapTree::collect_reachable(PageCache& cache, uint64_t node, uint32_t level,
                                      std::unordered_set<uint64_t>& out) {
  if (level > kFreeMapMaxDepth) return Error::corrupt_page(node);
  NodeLevelSet visited;
  return collect_walk(cache, node, level, out, visited);
}

}  // namespace ambrik
