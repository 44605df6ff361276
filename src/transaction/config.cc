// Settings that may change on an open database, only between transactions
// so that a running transaction never sees its budgets move.
#include "transaction/manager_impl.h"

namespace ambrik {

Status TransactionManagerImpl::set_cache_max_bytes(uint64_t bytes) {
  if (active) return Error::simple(ErrorKind::TransactionInProgress);
  cache->set_cache_max_bytes(bytes);
  return ok_status();
}

Status TransactionManagerImpl::set_spillway_max_bytes(uint64_t bytes) {
  if (active) return Error::simple(ErrorKind::TransactionInProgress);
  cache->set_spillway_max_bytes(bytes);
  return ok_status();
}

Status TransactionManagerImpl::set_drain_insertion(DrainInsertion policy) {
  if (active) return Error::simple(ErrorKind::TransactionInProgress);
  cache->set_drain_insertion(policy);
  return ok_status();
}

}  // namespace ambrik
