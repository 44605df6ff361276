// The pending-free records at commit (see pending_free.h).
#include "transaction/pending_free.h"

#include <algorithm>

#include "transaction/manager_impl.h"

namespace ambrik {

uint64_t PendingFree::Record::page_count() const {
  uint64_t n = 0;
  for (const PendingGroup& g : groups) n += g.pages.size();
  return n;
}

uint64_t PendingFree::Record::newest_generation() const {
  uint64_t g = 0;
  for (const PendingGroup& group : groups) g = std::max(g, group.generation);
  return g;
}

Status TransactionManagerImpl::load_pending_records() {
  std::vector<PendingFree::Record> records;
  for (uint64_t handle : TRY(handles_with_tag(kPendingFreeTag))) {
    std::vector<uint8_t> bytes = TRY(read(handle));
    auto groups = decode_pending_record(bytes);
    if (!groups) continue;  // a user's value under the tag, from an older build
    for (const PendingGroup& g : *groups)
      for (uint64_t page : g.pages)
        if (page < superblock_count || page >= committed_page_count)
          return Error::corrupt_page(page);
    records.push_back({handle, std::move(*groups)});
  }
  pending.set(std::move(records));
  return ok_status();
}

Status TransactionManagerImpl::settle_pending_free(uint64_t bound, bool record_released,
                                                   std::vector<uint64_t>& release,
                                                   std::vector<PendingFree::Record>& next) {
  next.clear();
  if (!pending.loaded()) TRY(load_pending_records());
  const std::vector<PendingFree::Record>& records = pending.records();
  if (records.empty() && !record_released) return ok_status();

  // The savepoints' lists join the transaction's: all of them are recorded.
  for (SavepointRecord& sp : txn.savepoints) {
    txn.pending_free.insert(txn.pending_free.end(), sp.pending_free.begin(),
                            sp.pending_free.end());
    sp.pending_free.clear();
  }

  PendingFree::Record target;  // handle 0: none yet
  std::vector<uint64_t> dropped;
  for (size_t i = 0; i < records.size(); ++i) {
    const PendingFree::Record& r = records[i];
    if (r.newest_generation() > bound) {
      next.push_back(r);
      continue;
    }
    for (const PendingGroup& g : r.groups) release.insert(release.end(), g.pages.begin(), g.pages.end());
    // The newest record's value is rewritten rather than deleted and made
    // again: one handle-table entry changes instead of two, and no index.
    if (record_released && i + 1 == records.size()) target.handle = r.handle;
    else dropped.push_back(r.handle);
  }
  if (record_released && target.handle == 0 && !next.empty() &&
      next.back().page_count() < PendingFree::kRecordPages &&
      next.back().groups.size() < PendingFree::kRecordGroups) {
    target = std::move(next.back());
    next.pop_back();
  }
  for (uint64_t handle : dropped) TRY(delete_inner(handle));
  if (!record_released) return ok_status();

  // Writing the record releases pages of its own (the old value's slot, a
  // handle-table leaf): write until the list it holds is the whole list.
  // Later rounds change only pages this transaction made, which release
  // nothing of the committed state, so this ends after a round or two.
  const uint64_t generation = txn_counter + 1;  // or below the commit's, never above
  for (int round = 0;; ++round) {
    if (round == 8) return Error::internal("pending-free record did not settle");
    const size_t n = txn.pending_free.size();
    if (n == 0 && target.handle == 0) return ok_status();
    PendingFree::Record r = target;
    PendingGroup group{generation, {txn.pending_free.begin(), txn.pending_free.begin() + n}};
    std::sort(group.pages.begin(), group.pages.end());
    r.groups.push_back(std::move(group));
    const std::vector<uint8_t> bytes = encode_pending_record(r.groups);
    if (target.handle == 0) target.handle = TRY(allocate(bytes, kPendingFreeTag));
    else TRY(update(target.handle, bytes));
    r.handle = target.handle;
    // A data page the record's earlier round filled and this one emptied
    // was never in a committed state: it is free at once, not held.
    for (size_t i = txn.pending_free.size(); i-- > n;) {
      if (!txn.txn_private.contains(txn.pending_free[i])) continue;
      release.push_back(txn.pending_free[i]);
      txn.pending_free.erase(txn.pending_free.begin() + static_cast<std::ptrdiff_t>(i));
    }
    if (txn.pending_free.size() == n) {
      next.push_back(std::move(r));
      return ok_status();
    }
  }
}

}  // namespace ambrik
