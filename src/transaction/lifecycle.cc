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
  TRY(recover_depths());
  recycle.on_rollback();
  packer.reset();
  reset_transaction_lists();
  active = false;
  return ok_status();
}

void TransactionManagerImpl::reset_transaction_lists() {
  savepoints.clear();
  pending_free.clear();
  // A fresh table: clearing one grown by a large transaction would cost
  // its whole capacity at every later boundary.
  txn_private = U64Map<bool>();
  reusable.clear();
}

}  // namespace ambrik
