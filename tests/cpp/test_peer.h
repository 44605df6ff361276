// TestPeer: the one door through which tests look inside the engine's
// classes (each names it a friend). Read access only, except where a test
// has to set up a state that no public call produces.
#pragma once

#include <cstdint>
#include <unordered_set>
#include <vector>

#include "freemap_recycle.h"
#include "transaction/manager_impl.h"

namespace ambrik {

struct TestPeer {
  // TransactionManagerImpl
  static PageCache& cache(TransactionManagerImpl& m) { return *m.cache; }
  static const StateRecord& working(const TransactionManagerImpl& m) { return m.working; }
  static const StateRecord& committed(const TransactionManagerImpl& m) { return m.committed; }
  static const SlotPacker& packer(const TransactionManagerImpl& m) { return m.packer; }
  static const FreemapRecycle& recycle(const TransactionManagerImpl& m) { return m.recycle; }
  static const TxnLists& txn(const TransactionManagerImpl& m) { return m.txn; }
  // Shared mode over storage a test supplies (open_storage knows no path).
  static void share(TransactionManagerImpl& m, std::unique_ptr<ReaderTable> table) {
    m.table = std::move(table);
    m.pins->attach(m.table.get());
    m.counts_generation = m.txn_counter;
  }
  static const PendingFree& pending(const TransactionManagerImpl& m) { return m.pending; }

  // FreemapRecycle
  static const std::vector<uint64_t>& pool(const FreemapRecycle& r) { return r.pool_; }
  static const std::vector<uint64_t>& retired(const FreemapRecycle& r) { return r.retired_; }
  static const std::vector<uint64_t>& next_pool(const FreemapRecycle& r) { return r.next_pool_; }
  static const std::unordered_set<uint64_t>& fresh(const FreemapRecycle& r) { return r.fresh_; }
  static uint64_t hint(const FreemapRecycle& r) { return r.hint_; }
};

}  // namespace ambrik
