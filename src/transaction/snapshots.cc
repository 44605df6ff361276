// Snapshots of the last commit, and closing them with the database.
#include <algorithm>

#include "transaction/manager_impl.h"

namespace ambrik {

Result<std::unique_ptr<Snapshot>> TransactionManagerImpl::snapshot() {
  Snapshot::Source src;
  src.fd = cache->io().descriptor();
  src.data_key = crypto ? cache->cipher()->key() : nullptr;
  src.handle_root = committed.handle_root;
  src.membership_root = committed.membership_root;
  src.page_count = committed_page_count;
  src.named_roots = committed.named_roots;
  src.generation = txn_counter;
  src.pins = pins;
  auto snap = TRY(Snapshot::open(src));
  std::erase_if(snapshots, [](const std::weak_ptr<SnapshotState>& w) { return w.expired(); });
  snapshots.push_back(snap->state());
  return snap;
}

void TransactionManagerImpl::close_snapshots() {
  for (const auto& w : snapshots)
    if (auto s = w.lock()) Snapshot::close_state(*s);
  snapshots.clear();
}

}  // namespace ambrik
