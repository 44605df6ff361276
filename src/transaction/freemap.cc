// Defragmentation, part two: free-map pages that are neither in the working
// free-map tree, nor marked free, nor held by the recycling pools (pools are
// kept in memory only, so closing the database orphans what they held).
#include <unordered_set>

#include "freemap_tree.h"
#include "transaction/manager_impl.h"

namespace ambrik {

Status TransactionManagerImpl::reclaim_orphaned_freemap_pages() {
  std::unordered_set<uint64_t> known;
  for (const auto* list : {&recycle.pool, &recycle.retired, &recycle.next_pool})
    known.insert(list->begin(), list->end());
  std::unordered_set<uint64_t> reachable;
  TRY(FreeMapTree::collect_reachable(*cache, working.freemap.root, working.freemap.depth,
                                     reachable));

  std::vector<uint64_t> orphans;
  const uint64_t end = cache->next_page_id();
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
