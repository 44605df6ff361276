// commit and the single superblock writer.
#include <cstring>

#include "transaction/manager_impl.h"

namespace ambrik {

Status TransactionManagerImpl::write_superblock(const StateRecord& state, uint64_t page_count,
                                                const std::optional<CryptoHeader>& header) {
  // Never overwrite the slot the database stands on: if the write tears,
  // that slot must still be there to fall back to. Generations only need to
  // increase, so skipping one is harmless.
  uint64_t generation = TRY(next_generation(txn_counter));
  txn_counter = generation;
  if (slot_for_generation(generation, superblock_count) == current_slot) {
    generation = TRY(next_generation(txn_counter));
    txn_counter = generation;
  }
  const uint64_t slot = slot_for_generation(generation, superblock_count);

  Superblock sb;
  sb.format_version = header ? kFormatVersionEncrypted : kFormatVersionPlain;
  sb.generation = generation;
  sb.handle_root = state.handle_root;
  sb.freemap_root = state.freemap.root;
  sb.freemap_depth = state.freemap.depth;
  sb.page_count = page_count;
  sb.next_handle = state.next_handle;
  sb.named_roots = state.named_roots;
  sb.superblock_count = superblock_count;
  sb.membership_root = state.membership_root;
  sb.encryption = header;

  PageIo& io = cache->io();
  std::vector<uint8_t> unit(io.stride(), 0);
  if (header) {
    auto bytes = TRY(serialize_encrypted(sb, cache->cipher()->key()));
    std::memcpy(unit.data(), bytes.data(), kPageSize);
  } else {
    auto bytes = serialize(sb);
    std::memcpy(unit.data(), bytes.data(), kPageSize);
  }
  TRY(io.write_page_unit(slot, unit.data(), unit.size()));
  TRY(io.sync());
  current_slot = slot;
  return ok_status();
}

Status TransactionManagerImpl::commit() {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  for (SavepointRecord& sp : savepoints) {
    pending_free.insert(pending_free.end(), sp.pending_free.begin(), sp.pending_free.end());
    sp.pending_free.clear();
  }
  // Allocated but unreferenced: free them like any other released page.
  pending_free.insert(pending_free.end(), reusable.begin(), reusable.end());
  reusable.clear();
  // From the first flush on, any error leaves the file in a state that no
  // superblock describes and the in-memory state half-advanced: poison.
  auto durable = [&]() -> Result<uint64_t> {
    TRY(cache->flush());
    for (uint64_t page : pending_free)
      TRY(recycle.mark_free_committed_path(*cache, working.freemap, page));
    TRY(cache->flush());
    const uint64_t page_count = cache->io().page_count();
    TRY(write_superblock(working, page_count, crypto));
    return page_count;
  };
  auto written = durable();
  if (!written.ok()) {
    poisoned = true;
    return std::move(written).error();
  }
  const uint64_t page_count = written.value();
  working.page_count = page_count;
  committed = working;
  committed_page_count = page_count;
  packer.commit();
  recycle.on_commit();
  reset_transaction_lists();
  active = false;
  return ok_status();
}

}  // namespace ambrik
