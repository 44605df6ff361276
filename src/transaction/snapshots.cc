// Snapshots of the last commit, and closing them with the database.
#include <algorithm>

#include "transaction/manager_impl.h"

namespace ambrik {

Result<std::unique_ptr<Snapshot>> TransactionManagerImpl::snapshot() {
  // Shared mode: the newest commit in the file, pinned in the reader table
  // before anything of it is read (inside a transaction this object holds
  // the write lock, and its committed state is the newest).
  uint64_t pinned = 0;
  if (table) pinned = active ? pins->pin_newest() : TRY(pin_reads());
  Snapshot::Source src;
  src.pinned_generation = pinned;
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
