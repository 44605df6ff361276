// begin and rollback, and the per-transaction page lists.
#include "transaction/manager_impl.h"

namespace ambrik {

void TxnLists::clear() {
  savepoints.clear();
  pending_free.clear();
  // A fresh table: clearing one grown by a large transaction would cost
  // its whole capacity at every later boundary.
  txn_private = U64Map<bool>();
  reusable.clear();
  op_taken.clear();
}

std::vector<uint64_t> TxnLists::seal_for_savepoint() {
  pending_free.insert(pending_free.end(), reusable.begin(), reusable.end());
  reusable.clear();
  txn_private = U64Map<bool>();
  std::vector<uint64_t> taken = std::move(pending_free);
  pending_free.clear();
  return taken;
}

void TxnLists::forget_since_savepoint() {
  pending_free.clear();
  reusable.clear();
  txn_private = U64Map<bool>();
}

std::vector<uint64_t>& TxnLists::merge_for_commit() {
  for (SavepointRecord& sp : savepoints) {
    pending_free.insert(pending_free.end(), sp.pending_free.begin(), sp.pending_free.end());
    sp.pending_free.clear();
  }
  // Allocated but unreferenced: free them like any other released page.
  pending_free.insert(pending_free.end(), reusable.begin(), reusable.end());
  reusable.clear();
  return pending_free;
}

Status TransactionManagerImpl::begin(const LockPollFn& between_polls) {
  if (cache->io().read_only()) return Error::simple(ErrorKind::ReadOnlyMode);
  if (active) return Error::simple(ErrorKind::TransactionAlreadyActive);
  if (table) TRY(take_turn(between_polls));
  working = committed;
  recycle.on_begin();
  // The count first: a release between the two reads then shows as one at
  // the next begin.
  const uint64_t releases = pins->releases();
  recycle.set_held(pins->held(), releases);
  recycle.set_usable_range(superblock_count, committed_page_count);
  packer.reset();
  carry.begin();
  txn.clear();
  active = true;
  return ok_status();
}

Status TransactionManagerImpl::rollback() {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  cache->discard_dirty();
  cache->forget_from(committed_page_count);
  working = committed;
  TRY(recover_depths());
  recycle.on_rollback();
  packer.reset();
  carry.rollback();
  txn.clear();
  active = false;
  if (table) end_turn(nullptr);
  return ok_status();
}

}  // namespace ambrik
