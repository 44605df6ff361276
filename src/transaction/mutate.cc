// Value operations that change the working state. Each one either completes
// or leaves the working roots exactly as they were (pages it obtained on the
// way stay unreferenced and are dropped by the next rollback or ignored).
#include "overflow.h"
#include "transaction/manager_impl.h"

namespace ambrik {

Result<uint64_t> TransactionManagerImpl::allocate(std::span<const uint8_t> value, uint32_t tag) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  const uint64_t handle = working.next_handle;
  StoredValue stored = TRY(store_value(value));
  HandleEntry entry{stored.location, tag, stored.slot, 0, stored.kind};

  const uint32_t saved_depth = handle_depth;
  std::vector<uint64_t> pending;
  auto insert = [&]() -> Result<uint64_t> {
    uint64_t root = working.handle_root;
    if (root == kNoPage) {
      root = TRY(HandleTable::create_root_leaf(*cache));
      txn_private.insert(root);
      handle_depth = 0;
    }
    return HandleTable::insert(handle_depth, *cache, root, handle, entry, recycling_allocator(),
                               pending);
  };
  auto new_root = insert();
  if (!new_root.ok()) {
    // Includes a failure to create the first table node: the slot taken
    // above must be released or its page's live count stays one too high.
    handle_depth = saved_depth;
    unstore_value(stored);
    return std::move(new_root).error();
  }
  working.next_handle += 1;
  working.handle_root = new_root.value();
  retire(pending);
  return handle;
}

Status TransactionManagerImpl::update(uint64_t handle, std::span<const uint8_t> value) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  HandleEntry old = TRY(lookup_live(handle));
  StoredValue stored = TRY(store_value(value));
  HandleEntry entry{stored.location, old.tag, stored.slot, old.client_byte, stored.kind};

  const uint32_t saved_depth = handle_depth;
  std::vector<uint64_t> pending;
  auto new_root = HandleTable::insert(handle_depth, *cache, working.handle_root, handle, entry,
                                      recycling_allocator(), pending);
  if (!new_root.ok()) {
    handle_depth = saved_depth;
    unstore_value(stored);
    return std::move(new_root).error();
  }
  std::vector<uint64_t> old_chain;
  if (old.kind == ValueKind::Overflow) {
    auto chain = Overflow::collect_chain_pages(*cache, old.location);
    if (!chain.ok()) {
      handle_depth = saved_depth;
      unstore_value(stored);
      return std::move(chain).error();
    }
    old_chain = std::move(chain).value();
  }
  working.handle_root = new_root.value();
  retire(pending);
  if (old.kind == ValueKind::Inline) packer.release_data_slot(old.location, pending_free);
  else pending_free.insert(pending_free.end(), old_chain.begin(), old_chain.end());
  return ok_status();
}

Status TransactionManagerImpl::delete_inner(uint64_t handle) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  if (working.handle_root == kNoPage || !HandleTable::admits(handle_depth, handle))
    return Error::invalid_handle(handle);
  std::vector<uint64_t> pending;
  HandleDeleteResult del =
      TRY(HandleTable::delete_recursive(*cache, working.handle_root, handle, handle_depth,
                                        recycling_allocator(), pending));
  if (!del.removed) return Error::invalid_handle(handle);
  const HandleEntry& old = *del.removed;
  std::vector<uint64_t> old_chain;
  if (old.kind == ValueKind::Overflow)
    old_chain = TRY(Overflow::collect_chain_pages(*cache, old.location));
  working.handle_root = del.node;
  retire(pending);
  if (old.kind == ValueKind::Inline) packer.release_data_slot(old.location, pending_free);
  else pending_free.insert(pending_free.end(), old_chain.begin(), old_chain.end());
  return ok_status();
}

Status TransactionManagerImpl::delete_many(std::span<const uint64_t> handles) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  for (uint64_t h : handles) TRY(delete_inner(h));
  return ok_status();
}

}  // namespace ambrik
