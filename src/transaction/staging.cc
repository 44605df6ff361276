// Storage of value bytes: data pages for small values, overflow chains for
// large ones, and the page allocators the trees and chains use.
#include <algorithm>
#include <unordered_set>

#include "overflow.h"
#include "transaction/manager_impl.h"

namespace ambrik {

Result<uint64_t> TransactionManagerImpl::alloc_recycled() {
  uint64_t id;
  if (!txn.reusable.empty()) {
    id = txn.reusable.back();
    TRY(cache->claim_page(id));
    txn.reusable.pop_back();
  } else {
    id = TRY(recycle.alloc_page(*cache, working.freemap));
  }
  txn.txn_private.get_or_insert(id);
  if (txn.op_depth != 0) txn.op_taken.push_back(id);
  return id;
}

void TransactionManagerImpl::give_back_taken(size_t taken_from, size_t pending_from) {
  if (taken_from >= txn.op_taken.size()) return;
  std::unordered_set<uint64_t> referenced(txn.pending_free.begin() + pending_from,
                                          txn.pending_free.end());
  referenced.insert(txn.reusable.begin(), txn.reusable.end());
  if (auto current = packer.current_page()) referenced.insert(*current);
  for (size_t i = taken_from; i < txn.op_taken.size(); ++i) {
    const uint64_t p = txn.op_taken[i];
    if (packer.working_counts().count(p) || !referenced.insert(p).second) continue;
    txn.reusable.push_back(p);
  }
}

Status TransactionManagerImpl::alloc_chain_pages(uint64_t n, std::vector<uint64_t>& out) {
  const size_t start = out.size();
  if (txn.reusable.size() < n) {
    // A run of free pages makes the chain one stretch of the file, read
    // back in order.
    if (auto first = TRY(recycle.alloc_run(*cache, working.freemap, n))) {
      for (uint64_t j = 0; j < n; ++j) {
        out.push_back(*first + j);
        txn.txn_private.get_or_insert(*first + j);
        if (txn.op_depth != 0) txn.op_taken.push_back(*first + j);
      }
      return ok_status();
    }
  }
  // Otherwise the pages other structures would get, one by one. They are
  // mostly consecutive (a superseded chain, first-fit free pages, the end of
  // the file): in ascending order the chain follows them through the file.
  for (uint64_t j = 0; j < n; ++j) out.push_back(TRY(alloc_recycled()));
  std::sort(out.begin() + start, out.end());
  return ok_status();
}

void TransactionManagerImpl::retire_all(const std::vector<uint64_t>& superseded) {
  for (uint64_t id : superseded) {
    if (txn.txn_private.contains(id)) txn.reusable.push_back(id);
    else txn.pending_free.push_back(id);
  }
}

Status TransactionManagerImpl::store_value(std::span<const uint8_t> value, uint32_t tag,
                                          StoredValue& out) {
  if (value.size() > kMaxSmallValue) {
    auto alloc = [this](uint64_t n, std::vector<uint64_t>& pages) {
      return alloc_chain_pages(n, pages);
    };
    out.location = TRY(Overflow::write(*cache, value, alloc));
    out.slot = 0;
    out.kind = ValueKind::Overflow;
    return ok_status();
  }
  DataSlot ds = TRY(packer.insert_into_data_page(
      *cache, value, recycling_allocator(), tag != 0 ? PackLane::Tagged : PackLane::Untagged));
  out.location = ds.page;
  out.slot = ds.slot;
  out.kind = ValueKind::Inline;
  return ok_status();
}

Result<bool> TransactionManagerImpl::carry_for(uint64_t handle, uint64_t value_size,
                                               bool appended) {
  if (value_size > kMaxSmallValue || packer.current_page()) return false;
  const auto which = carry.find(handle, appended);
  if (!which) return false;
  OpScope scope(*this);
  auto carried = TRY(carry.run(*which, *cache, packer, working.handle_root, handle_depth,
                               recycling_allocator(), value_size));
  if (!carried) return false;
  working.handle_root = carried->handle_root;
  handle_depth = carried->handle_depth;
  retire(carried->superseded);
  scope.done();
  return true;
}

void TransactionManagerImpl::unstore_value(const StoredValue& stored) {
  // An overflow chain written for a failed operation stays unreferenced; a
  // data-page slot must give its live count back or the page never retires.
  if (stored.kind == ValueKind::Inline) packer.release_data_slot(stored.location, txn.pending_free);
}

}  // namespace ambrik
