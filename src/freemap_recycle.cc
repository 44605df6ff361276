#include "freemap_recycle.h"

#include <algorithm>
#include <utility>

#include "check.h"

namespace ambrik {

FreeMapTree FreemapRecycle::take_tree(const FreeMapRoot& fm) {
  return FreeMapTree(fm.root, fm.depth, std::move(fresh_));
}

void FreemapRecycle::put_tree(FreeMapRoot& fm, FreeMapTree&& tree) {
  fm.root = tree.root();
  fm.depth = tree.depth();
  const std::vector<uint64_t> replaced = tree.take_replaced();
  retired_.insert(retired_.end(), replaced.begin(), replaced.end());
  fresh_ = tree.take_fresh();
}

Result<uint64_t> FreemapRecycle::cow_alloc(PageCache& cache) {
  if (pool_.empty()) return cache.new_page();
  uint64_t id = pool_.back();
  TRY(cache.claim_page(id));
  pool_.pop_back();
  claimed_.push_back(id);
  return id;
}

Result<uint64_t> FreemapRecycle::cow_alloc_into(PageCache& cache, FreeMapTree& tree) {
  if (tree.root() == kNoPage || hint_ >= bare_from_) return cache.new_page();
  uint64_t leaf = 0;
  auto found = TRY(FreeMapTree::scan_node(cache, tree.root(), tree.depth(), 0, hint_, &leaf));
  while (found && reserved(*found))
    found = TRY(FreeMapTree::scan_node(cache, tree.root(), tree.depth(), 0, *found + 1, &leaf));
  if (!found) {
    bare_from_ = hint_;
    return cache.new_page();
  }
  uint64_t p = *found;
  // Taking such a page would overwrite a superblock or stretch the file to
  // wherever the damaged bit points.
  if (p < usable_first_ || p >= usable_end_) return Error::corrupt_page(leaf);
  // Claimed before its bit is cleared, so that either failure leaves the
  // page free and nothing else behind.
  TRY(cache.claim_page(p));
  PageAllocFn node_alloc = [this, &cache]() { return cow_alloc(cache); };
  Status st = tree.cow_descend(cache, p, node_alloc, FreeMapBitOp::ClearBit);
  if (!st.ok()) {
    cache.unclaim(p);
    return std::move(st).error();
  }
  hint_ = p;
  return p;
}

Result<uint64_t> FreemapRecycle::alloc_page(PageCache& cache, FreeMapRoot& fm) {
  FreeMapTree tree = take_tree(fm);
  Result<uint64_t> r = cow_alloc_into(cache, tree);
  put_tree(fm, std::move(tree));
  return r;
}

Result<std::optional<uint64_t>> FreemapRecycle::alloc_run(PageCache& cache, FreeMapRoot& fm,
                                                          uint64_t k) {
  using Found = std::optional<uint64_t>;
  if (fm.root == kNoPage || k == 0 || hint_ >= bare_from_) return Found{};
  uint64_t leaf = 0;
  auto first = TRY(FreeMapTree::scan_node(cache, fm.root, fm.depth, 0, hint_, &leaf));
  if (!first) {
    bare_from_ = hint_;
    return Found{};
  }
  if (*first < usable_first_ || *first >= usable_end_) return Error::corrupt_page(leaf);
  auto run = TRY(find_free_run(cache, fm.root, fm.depth, *first, k, usable_end_));
  if (!run) return Found{};
  if (!reserved_.empty() || held_)
    for (uint64_t p = *run; p < *run + k; ++p)
      if (reserved(p)) return Found{};
  for (uint64_t p = *run; p < *run + k; ++p) {
    Status claimed = cache.claim_page(p);
    if (!claimed.ok()) {
      for (uint64_t q = *run; q < p; ++q) cache.unclaim(q);
      return std::move(claimed).error();
    }
  }
  FreeMapTree tree = take_tree(fm);
  PageAllocFn node_alloc = [this, &cache]() { return cow_alloc(cache); };
  // One leaf holds the whole run, so its path is copied once and the later
  // bits are flipped in that private leaf. The first failure leaves every
  // bit set; a later one (only an I/O error reading back that leaf from
  // the spill file) strands the pages cleared before it.
  Status st = ok_status();
  uint64_t cleared = 0;
  for (uint64_t p = *run; st.ok() && p < *run + k; ++p, ++cleared)
    st = tree.cow_descend(cache, p, node_alloc, FreeMapBitOp::ClearBit);
  put_tree(fm, std::move(tree));
  if (!st.ok()) {
    for (uint64_t p = *run + (cleared == 0 ? 0 : cleared - 1); p < *run + k; ++p) cache.unclaim(p);
    return std::move(st).error();
  }
  return run;
}

Status FreemapRecycle::mark_free_committed_path(PageCache& cache, FreeMapRoot& fm, uint64_t p) {
  FreeMapTree tree = take_tree(fm);
  PageAllocFn node_alloc = [this, &cache]() { return cow_alloc(cache); };
  Status st = tree.grow_to_cover(cache, p, node_alloc);
  if (st.ok()) st = tree.cow_descend(cache, p, node_alloc, FreeMapBitOp::MarkFree);
  if (st.ok()) hint_ = std::min(hint_, p);
  // Set or not (a failed change leaves some of the path changed), p's bit
  // may be free now.
  if (p >= bare_from_) bare_from_ = sat_add(p, 1);
  put_tree(fm, std::move(tree));
  return st;
}

Status FreemapRecycle::settle(PageCache& cache, FreeMapRoot& fm) {
  size_t cleared = 0, freed = 0;
  while (cleared < claimed_.size() || freed < retired_.size()) {
    // A node copied before a savepoint and again after it is both claimed
    // and retired: its bit is cleared before it is set, so it ends free.
    for (; cleared < claimed_.size(); ++cleared) {
      FreeMapTree tree = take_tree(fm);
      PageAllocFn node_alloc = [this, &cache]() { return cow_alloc(cache); };
      Status st = tree.cow_descend(cache, claimed_[cleared], node_alloc, FreeMapBitOp::ClearBit);
      put_tree(fm, std::move(tree));
      if (!st.ok()) return std::move(st).error();
    }
    for (; freed < retired_.size(); ++freed)
      TRY(mark_free_committed_path(cache, fm, retired_[freed]));
  }
  return ok_status();
}

void FreemapRecycle::on_begin() {
  fresh_.clear();
  pool_ = next_pool_;
  reserved_.clear();
  reserved_.insert(next_pool_.begin(), next_pool_.end());
  reserved_.insert(cooling_.begin(), cooling_.end());
  reserved_.insert(cooling_pages_.begin(), cooling_pages_.end());
  retired_.clear();
  claimed_.clear();
}

void FreemapRecycle::on_commit() {
  fresh_.clear();
  if (cooling_on_) {
    next_pool_ = std::move(cooling_);
    cooling_ = std::move(retired_);
    cooling_pages_ = std::move(released_);
    released_.clear();
  } else {
    next_pool_ = std::move(retired_);
  }
  next_pool_.insert(next_pool_.end(), pool_.begin(), pool_.end());
  // All of them are marked free: the excess simply stays free for anyone.
  if (next_pool_.size() > kMaxPool) next_pool_.resize(kMaxPool);
  retired_.clear();
  pool_.clear();
  claimed_.clear();
  reserved_.clear();
}

void FreemapRecycle::collect_held(std::unordered_set<uint64_t>& out) const {
  for (const auto* list : {&pool_, &retired_, &next_pool_, &cooling_, &cooling_pages_})
    out.insert(list->begin(), list->end());
}

RecycleMark FreemapRecycle::mark() {
  fresh_.clear();
  return RecycleMark{pool_, retired_.size(), claimed_.size(), hint_};
}

void FreemapRecycle::return_to(const RecycleMark& m) {
  AMBRIK_DCHECK(m.retired_len <= retired_.size());
  pool_ = m.pool;
  retired_.resize(m.retired_len);
  claimed_.resize(m.claimed_len);
  hint_ = m.hint;
  bare_from_ = kNoPage;
  fresh_.clear();
}

void FreemapRecycle::on_rollback() {
  bare_from_ = kNoPage;
  pool_.clear();
  retired_.clear();
  claimed_.clear();
  reserved_.clear();
  fresh_.clear();
}

}  // namespace ambrik
