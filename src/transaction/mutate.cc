// Operations that change the working state. Each one either completes or
// leaves the working state exactly as it was: new roots are computed into
// locals and stored only once every fallible step has succeeded (pages
// obtained on the way stay unreferenced, and the operation's OpScope gives
// them back). Pages the transaction created since its newest savepoint are
// changed where they lie; such a change is visible at once, so each
// operation lets only its last fallible step make one, and runs every
// earlier tree change by copying.
#include "named_roots.h"
#include "overflow.h"
#include "transaction/manager_impl.h"

namespace ambrik {

Result<uint64_t> TransactionManagerImpl::allocate(std::span<const uint8_t> value, uint32_t tag) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  OpScope scope(*this);
  const uint64_t handle = working.next_handle;
  // The tail-page carry serves the untagged lane only: a tagged value opens
  // or fills the tagged lane's own page.
  if (tag == 0) TRY(carry_for(handle, value.size(), /*appended=*/true));
  StoredValue stored;
  TRY(store_value(value, tag, stored));
  HandleEntry entry{stored.location, tag, stored.slot, 0, stored.kind};

  uint32_t depth = handle_depth;
  MembershipRoot index = working_membership();
  std::vector<uint64_t> pending;
  std::vector<uint64_t> index_pending;
  auto link = [&]() -> Result<uint64_t> {
    // With a tag the index change comes last; the table's is then copied.
    uint64_t new_root =
        TRY(HandleTable::insert(depth, *cache, working.handle_root, handle, entry,
                                recycling_allocator(), pending, tag == 0 ? &in_place : nullptr));
    if (tag != 0)
      TRY(membership_add(*cache, index, handle, tag, recycling_allocator(), index_pending,
                         &in_place));
    return new_root;
  };
  auto new_root = link();
  if (!new_root.ok()) {
    // Includes a failure to create the first table node: the slot taken
    // above must be released or its page's live count stays one too high.
    unstore_value(stored);
    return std::move(new_root).error();
  }
  working.next_handle += 1;
  working.handle_root = new_root.value();
  handle_depth = depth;
  working.membership_root = index.root;
  membership_depth = index.depth;
  retire(pending);
  retire(index_pending);
  if (tag == 0 && stored.kind == ValueKind::Inline) carry.note_stored(handle, stored.location);
  scope.done();
  return handle;
}

Status TransactionManagerImpl::update_value(uint64_t handle, std::span<const uint8_t> value,
                                            bool may_carry) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  OpScope scope(*this);
  HandleEntry old = TRY(lookup_live(handle));
  // A carry moves the old value too, when it lay in the carried page.
  if (may_carry && old.tag == 0 && TRY(carry_for(handle, value.size(), /*appended=*/false)))
    old = TRY(lookup_live(handle));
  StoredValue stored;
  TRY(store_value(value, old.tag, stored));
  HandleEntry entry{stored.location, old.tag, stored.slot, old.client_byte, stored.kind};

  uint32_t depth = handle_depth;
  std::vector<uint64_t> pending;
  std::vector<uint64_t> old_chain;
  auto relink = [&]() -> Result<uint64_t> {
    if (old.kind == ValueKind::Overflow)
      old_chain = TRY(Overflow::collect_chain_pages(*cache, old.location));
    return HandleTable::insert(depth, *cache, working.handle_root, handle, entry,
                               recycling_allocator(), pending, &in_place);
  };
  auto new_root = relink();
  if (!new_root.ok()) {
    unstore_value(stored);
    return std::move(new_root).error();
  }
  working.handle_root = new_root.value();
  handle_depth = depth;
  retire(pending);
  if (old.kind == ValueKind::Inline) packer.release_data_slot(old.location, txn.pending_free);
  else retire(old_chain);
  if (old.tag == 0 && stored.kind == ValueKind::Inline)
    carry.note_stored(handle, stored.location);
  scope.done();
  return ok_status();
}

Status TransactionManagerImpl::delete_inner(uint64_t handle) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  OpScope scope(*this);
  // The entry is looked up first so that the chain is read before any
  // change, and the change that may be made in place is the last one.
  auto found = TRY(HandleTable::lookup(handle_depth, *cache, working.handle_root, handle));
  if (!found) return Error::invalid_handle(handle);
  const HandleEntry old = *found;
  std::vector<uint64_t> old_chain;
  if (old.kind == ValueKind::Overflow)
    old_chain = TRY(Overflow::collect_chain_pages(*cache, old.location));
  std::vector<uint64_t> pending;
  HandleDeleteResult del =
      TRY(HandleTable::remove(handle_depth, *cache, working.handle_root, handle,
                              recycling_allocator(), pending, old.tag == 0 ? &in_place : nullptr));
  if (!del.removed) return Error::invalid_handle(handle);
  MembershipRoot index = working_membership();
  std::vector<uint64_t> index_pending;
  if (old.tag != 0)
    TRY(membership_remove(*cache, index, handle, old.tag, recycling_allocator(), index_pending,
                          &in_place));

  working.handle_root = del.node;
  working.membership_root = index.root;
  membership_depth = index.depth;
  retire(pending);
  retire(index_pending);
  if (old.kind == ValueKind::Inline) packer.release_data_slot(old.location, txn.pending_free);
  else retire(old_chain);
  scope.done();
  return ok_status();
}

Status TransactionManagerImpl::delete_many(std::span<const uint64_t> handles) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  for (uint64_t h : handles) TRY(delete_inner(h));
  return ok_status();
}

Status TransactionManagerImpl::delete_tagged(uint64_t handle, uint32_t tag) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  HandleEntry entry = TRY(lookup_live(handle));
  if (entry.tag != tag) return Error::tag_mismatch(tag, entry.tag, handle);
  return delete_inner(handle);
}

Result<DeletedWithTag> TransactionManagerImpl::delete_with_tag(uint32_t tag, uint64_t max) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  DeletedWithTag out;
  if (max == 0) return out;
  // One more than asked for tells whether any would remain.
  const uint64_t limit = sat_add(max, 1);
  std::vector<uint64_t> candidates =
      TRY(membership_handles(*cache, working_membership(), tag, limit));
  out.complete = candidates.size() <= max;
  const size_t n = std::min<uint64_t>(candidates.size(), max);
  for (size_t i = 0; i < n; ++i) {
    TRY(delete_inner(candidates[i]));
    out.deleted.push_back(candidates[i]);
  }
  return out;
}

Status TransactionManagerImpl::set_client_byte(uint64_t handle, uint8_t byte) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  HandleEntry entry = TRY(lookup_live(handle));
  entry.client_byte = byte;
  OpScope scope(*this);
  uint32_t depth = handle_depth;
  std::vector<uint64_t> pending;
  uint64_t new_root = TRY(HandleTable::insert(depth, *cache, working.handle_root, handle, entry,
                                              recycling_allocator(), pending, &in_place));
  working.handle_root = new_root;
  handle_depth = depth;
  retire(pending);
  scope.done();
  return ok_status();
}

Status TransactionManagerImpl::set_root_name(std::string_view name, uint64_t handle) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  TRY(validate_root_name(name));
  return bind_root(working.named_roots, name, handle);
}

Status TransactionManagerImpl::clear_root_name(std::string_view name) {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  TRY(validate_root_name(name));
  clear_root(working.named_roots, name);
  return ok_status();
}

}  // namespace ambrik
