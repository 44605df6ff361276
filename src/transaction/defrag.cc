// Defragmentation. First, the live values of sparse data pages are
// rewritten so that those pages lose their last value and are freed at
// commit. Then free-map pages that are neither in the working free-map
// tree, nor marked free, nor held by the recycling pools (pools are kept in
// memory only, so closing the database orphans what they held) are marked
// free.
#include <algorithm>
#include <cmath>
#include <unordered_set>

#include "freemap_tree.h"
#include "transaction/manager_impl.h"

namespace ambrik {

Result<DefragResult> TransactionManagerImpl::defrag(const DefragSettings& settings) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  // A poisoned database has no state to report on, empty or not.
  if (poisoned) return Error::simple(ErrorKind::Poisoned);
  DefragResult result;
  if (working.handle_root == kNoPage) return result;
  // 0 means no limit: the budget wraps to the largest value.
  const uint64_t budget = settings.max_values - 1;
  const double threshold = settings.sparse_threshold;

  std::unordered_set<uint64_t> sparse;
  if (threshold > 0 && !packer.working_counts().empty()) {
    for (const auto& [page, live] : packer.working_counts()) {
      if (live == 0) continue;
      const uint8_t* bytes = TRY(cache->get(page));
      const uint16_t slots = load_u16(bytes + 2);
      if (slots > 0 && static_cast<double>(live) / slots < threshold) sparse.insert(page);
    }
  }

  if (!sparse.empty()) {
    const std::unordered_set<uint64_t> before = packer.data_page_ids_snapshot();
    std::unordered_set<uint64_t> examined;
    const std::vector<uint64_t> live = TRY(handles());
    for (uint64_t h : live) {
      if (budget < result.values_moved) break;
      auto entry = TRY(HandleTable::lookup(handle_depth, *cache, working.handle_root, h));
      if (!entry || entry->kind != ValueKind::Inline || !sparse.count(entry->location)) continue;
      examined.insert(entry->location);
      std::vector<uint8_t> value = TRY(read(h));
      TRY(update_value(h, value, /*may_carry=*/false));
      result.values_moved += 1;
    }
    const std::unordered_set<uint64_t> after = packer.data_page_ids_snapshot();
    for (uint64_t page : before)
      if (!after.count(page)) result.pages_freed += 1;
    result.pages_examined = examined.size();
  }

  if (!savepoint_open() && working.freemap.root != kNoPage)
    TRY(reclaim_orphaned_freemap_pages());
  return result;
}

Status TransactionManagerImpl::reclaim_orphaned_freemap_pages() {
  std::unordered_set<uint64_t> known;
  recycle.collect_held(known);
  std::unordered_set<uint64_t> reachable;
  TRY(FreeMapTree::collect_reachable(*cache, working.freemap.root, working.freemap.depth,
                                     reachable));

  std::vector<uint64_t> orphans;
  // Pages this transaction created are left to a later pass: a free bit
  // beyond the committed page count is taken for damage.
  const uint64_t end = std::min(cache->next_page_id(), committed_page_count);
  for (uint64_t p = superblock_count; p < end; ++p) {
    if (reachable.count(p) || known.count(p)) continue;
    auto page = cache->get(p);
    if (!page.ok()) {
      // A page that does not verify is no free-map page of ours.
      ErrorKind k = page.error().kind();
      if (k == ErrorKind::ChecksumMismatch || k == ErrorKind::CorruptPage) continue;
      return std::move(page).error();
    }
    const uint8_t type = page.value()[0];
    if (type != kPageFreeMapLeaf && type != kPageFreeMapInterior) continue;
    if (TRY(is_marked_free(*cache, working.freemap.root, working.freemap.depth, p))) continue;
    orphans.push_back(p);
  }
  for (uint64_t p : orphans) TRY(recycle.mark_free_committed_path(*cache, working.freemap, p));
  return ok_status();
}

}  // namespace ambrik
