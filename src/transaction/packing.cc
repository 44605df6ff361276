// Defragmentation, part one: rewriting the live values of sparse data pages
// so that those pages lose their last value and are freed at commit.
#include <cmath>
#include <unordered_set>

#include "transaction/manager_impl.h"

namespace ambrik {

Result<DefragResult> TransactionManagerImpl::defrag(const DefragSettings& settings) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  DefragResult result;
  if (working.handle_root == kNoPage) return result;
  if (poisoned) return Error::simple(ErrorKind::Poisoned);
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
      if (poisoned) return Error::simple(ErrorKind::Poisoned);
      auto entry = TRY(HandleTable::lookup(handle_depth, *cache, working.handle_root, h));
      if (!entry || entry->kind != ValueKind::Inline || !sparse.count(entry->location)) continue;
      examined.insert(entry->location);
      std::vector<uint8_t> value = TRY(read(h));
      TRY(update(h, value));
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

}  // namespace ambrik
