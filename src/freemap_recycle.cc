#include "freemap_recycle.h"

#include <algorithm>
#include <utility>

namespace ambrik {

FreeMapTree FreemapRecycle::take_tree(const FreeMapRoot& fm) {
  return FreeMapTree(fm.root, fm.depth, std::move(fresh));
}

void FreemapRecycle::put_tree(FreeMapRoot& fm, FreeMapTree&& tree) {
  fm.root = tree.root;
  fm.depth = tree.depth;
  retired.insert(retired.end(), tree.replaced.begin(), tree.replaced.end());
  tree.replaced.clear();
  fresh = std::move(tree.fresh);
}

Result<uint64_t> FreemapRecycle::cow_alloc(PageCache& cache) {
  if (pool.empty()) return cache.new_page();
  uint64_t id = pool.back();
  pool.pop_back();
  TRY(cache.claim_page(id));
  return id;
}

Result<uint64_t> FreemapRecycle::cow_alloc_into(PageCache& cache, FreeMapTree& tree,
                                                bool allowed) {
  if (!allowed || tree.root == kNoPage) return cache.new_page();
  auto found = TRY(FreeMapTree::scan_node(cache, tree.root, tree.depth, 0, hint));
  if (!found) return cache.new_page();
  uint64_t p = *found;
  PageAllocFn node_alloc = [this, &cache]() { return cow_alloc(cache); };
  TRY(tree.cow_descend(cache, p, node_alloc, FreeMapBitOp::ClearBit));
  hint = p;
  TRY(cache.claim_page(p));
  return p;
}

Result<uint64_t> FreemapRecycle::alloc_page(PageCache& cache, FreeMapRoot& fm,
                                            bool recycling_allowed) {
  FreeMapTree tree = take_tree(fm);
  Result<uint64_t> r = cow_alloc_into(cache, tree, recycling_allowed);
  put_tree(fm, std::move(tree));
  return r;
}

PageAllocFn FreemapRecycle::allocator(PageCache& cache, FreeMapRoot& fm,
                                      bool recycling_allowed) {
  return [this, &cache, &fm, recycling_allowed]() {
    return alloc_page(cache, fm, recycling_allowed);
  };
}

Status FreemapRecycle::mark_free_committed_path(PageCache& cache, FreeMapRoot& fm, uint64_t p) {
  FreeMapTree tree = take_tree(fm);
  PageAllocFn node_alloc = [this, &cache]() { return cow_alloc(cache); };
  Status st = tree.grow_to_cover(cache, p, node_alloc);
  if (st.ok()) st = tree.cow_descend(cache, p, node_alloc, FreeMapBitOp::MarkFree);
  if (st.ok()) hint = std::min(hint, p);
  put_tree(fm, std::move(tree));
  return st;
}

void FreemapRecycle::on_begin() {
  fresh.clear();
  pool = next_pool;
  retired.clear();
}

void FreemapRecycle::on_commit() {
  fresh.clear();
  next_pool = std::move(retired);
  next_pool.insert(next_pool.end(), pool.begin(), pool.end());
  retired.clear();
  pool.clear();
}

void FreemapRecycle::on_rollback() {
  pool.clear();
  retired.clear();
  fresh.clear();
}

}  // namespace ambrik
