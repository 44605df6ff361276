// Savepoints: named points inside the running transaction.
//
// Every page written after a savepoint is either at or beyond the frontier
// saved in it, or a page that was free in the saved free map (or held by the
// saved free-map node pool); none of them is part of the saved state. So
// returning to it is: forget every page from its frontier on, restore the
// saved roots (the free-map root with them, which frees again the pages
// taken since), the recycling state and the packer.
#include <algorithm>

#include "transaction/manager_impl.h"

namespace ambrik {

namespace {

std::vector<SavepointRecord>::iterator find_savepoint(std::vector<SavepointRecord>& list,
                                                      const std::string& name) {
  return std::find_if(list.begin(), list.end(),
                      [&](const SavepointRecord& sp) { return sp.name == name; });
}

}  // namespace

Status TransactionManagerImpl::recover_depths() {
  membership_depth = TRY(membership_recover_depth(*cache, working.membership_root));
  handle_depth = TRY(HandleTable::recover_depth(*cache, working.handle_root));
  return ok_status();
}

Status TransactionManagerImpl::savepoint(const std::string& name) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  if (find_savepoint(txn.savepoints, name) != txn.savepoints.end())
    return Error::duplicate_savepoint(name);
  SavepointRecord sp;
  sp.packer = packer.snapshot();
  sp.carry = carry.savepoint();
  sp.name = name;
  sp.pending_free = txn.seal_for_savepoint();
  sp.working = working;
  sp.frontier = cache->next_page_id();
  sp.recycle = recycle.mark();
  txn.savepoints.push_back(std::move(sp));
  return ok_status();
}

Status TransactionManagerImpl::rollback_to(const std::string& name) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  auto it = find_savepoint(txn.savepoints, name);
  if (it == txn.savepoints.end()) return Error::savepoint_not_found(name);
  cache->forget_from(it->frontier);
  working = it->working;
  recycle.return_to(it->recycle);
  TRY(recover_depths());
  packer.restore(it->packer);
  carry.restore(it->carry);
  txn.savepoints.erase(it + 1, txn.savepoints.end());
  txn.forget_since_savepoint();
  return ok_status();
}

Status TransactionManagerImpl::release(const std::string& name) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  auto it = find_savepoint(txn.savepoints, name);
  if (it == txn.savepoints.end()) return Error::savepoint_not_found(name);
  std::vector<uint64_t> merged;
  for (auto sp = it; sp != txn.savepoints.end(); ++sp)
    merged.insert(merged.end(), sp->pending_free.begin(), sp->pending_free.end());
  merged.insert(merged.end(), txn.pending_free.begin(), txn.pending_free.end());
  txn.savepoints.erase(it, txn.savepoints.end());
  txn.pending_free = std::move(merged);
  return ok_status();
}

}  // namespace ambrik
