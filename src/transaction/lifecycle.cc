// begin and rollback.
#include "transaction/manager_impl.h"

namespace ambrik {

Status TransactionManagerImpl::begin() {
  if (cache->io().read_only()) return Error::simple(ErrorKind::ReadOnlyMode);
  if (active) return Error::simple(ErrorKind::TransactionAlreadyActive);
  working = committed;
  recycle.on_begin();
  packer.reset();
  reset_transaction_lists();
  active = true;
  return ok_status();
}

Status TransactionManagerImpl::rollback() {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  cache->discard_dirty();
  TRY(cache->truncate(committed_page_count));
  working = committed;
  // The membership index joins this recovery when tags exist.
  handle_depth = TRY(HandleTable::recover_depth(*cache, committed.handle_root));
  recycle.on_rollback();
  packer.reset();
  reset_transaction_lists();
  active = false;
  return ok_status();
}

void TransactionManagerImpl::reset_transaction_lists() {
  savepoint_depth = 0;
  pending_free.clear();
  txn_private.clear();
  reusable.clear();
}

}  // namespace ambrik
