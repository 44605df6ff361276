// commit, the single superblock writer and the durable steps.
#include "transaction/manager_impl.h"

namespace ambrik {

Status TransactionManagerImpl::write_superblock(const StateRecord& state, uint64_t page_count,
                                                const std::optional<CryptoHeader>& header,
                                                bool sync) {
  // Overwrite the slot the database stands on only when another slot holds
  // the same committed state to fall back to if the write tears (as every
  // initial slot does after creation). Otherwise skip one generation:
  // generations only need to increase.
  uint64_t generation = TRY(next_generation(txn_counter));
  txn_counter = generation;
  if (slot_for_generation(generation, superblock_count) == current_slot &&
      !current_state_elsewhere) {
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
  const uint8_t* data_key = header ? cache->cipher()->key() : nullptr;
  std::vector<uint8_t> unit = TRY(encode_superblock_unit(sb, io.stride(), data_key));
  TRY(io.write_page_unit(slot, unit.data(), unit.size()));
  if (sync) TRY(io.sync());
  current_slot = slot;
  current_state_elsewhere = false;
  return ok_status();
}

Result<uint64_t> TransactionManagerImpl::persist(const std::function<Status()>& before_superblock,
                                                 const StateRecord& state,
                                                 const std::optional<CryptoHeader>& header,
                                                 bool one_sync) {
  auto steps = [&]() -> Result<uint64_t> {
    // A commit's mark-free pass changes the free-map pages again and its
    // second flush writes them: the first flush leaves them for that one.
    TRY(cache->flush(/*hold_free_map=*/static_cast<bool>(before_superblock), !one_sync));
    if (before_superblock) TRY(before_superblock());
    // What the committed pages need, never the file's length: a file left
    // longer by a crash or grown ahead holds nothing the state refers to.
    const uint64_t page_count = cache->next_page_id();
    TRY(write_superblock(state, page_count, header, !one_sync));
    return page_count;
  };
  auto written = steps();
  if (!written.ok()) poison();
  return written;
}

Status TransactionManagerImpl::commit() {
  if (!active) return Error::simple(ErrorKind::NoActiveTransaction);
  // Pages that records held for readers no pin needs any more are released
  // now; in shared mode the pages this transaction released are recorded
  // instead of being marked free (pending_free.h).
  // In the ordered mode the superblock of the last commit may not be
  // durable yet: a power failure falls back to the one before, whose pages
  // the next transaction must not overwrite. The pages this commit releases
  // cool for one transaction (FreemapRecycle::cool_released): the next
  // commit's sync makes this commit's superblock durable before the
  // transaction after it can write them.
  const bool ordered = durability == Durability::Ordered;
  const bool record = table != nullptr;
  std::vector<uint64_t> to_free;
  std::vector<PendingFree::Record> next_records;
  const uint64_t bound = table ? table->oldest_pinned(txn_counter) : ~uint64_t{0};
  Status settled = settle_pending_free(bound, record, to_free, next_records);
  if (!settled.ok()) {
    // The records and the transaction's lists are half rewritten.
    poison();
    return settled;
  }
  if (record) {
    // Made by this transaction and superseded by it: never in a state a
    // reader can pin, nor in one a power failure falls back to.
    to_free.insert(to_free.end(), txn.reusable.begin(), txn.reusable.end());
    txn.reusable.clear();
    if (table) table->publish_commit_start(txn_counter + 1);
  } else {
    std::vector<uint64_t>& released = txn.merge_for_commit();
    if (to_free.empty()) to_free.swap(released);  // the usual case: no records
    else to_free.insert(to_free.end(), released.begin(), released.end());
  }
  auto mark_free_pass = [&]() -> Status {
    for (uint64_t page : to_free)
      TRY(recycle.mark_free_committed_path(*cache, working.freemap, page));
    TRY(recycle.settle(*cache, working.freemap));
    return cache->flush();  // the ordered mode's one sync
  };
  const uint64_t page_count = TRY(persist(mark_free_pass, working, crypto, ordered));
  working.page_count = page_count;
  committed = working;
  committed_page_count = page_count;
  pending.set(std::move(next_records));
  // Only now: a snapshot opened from here on shows this commit, and the
  // pages it freed are in no state an older snapshot cannot reach.
  if (!table) pins->note_commit(txn_counter, to_free);
  recycle.cool_released(to_free);
  carry.commit(packer.current_page(), packer);
  std::vector<std::pair<uint64_t, uint32_t>> changed;
  if (table) changed = packer.changed_counts();
  packer.commit();
  recycle.on_commit();
  txn.clear();
  active = false;
  if (table) end_turn(&changed);
  return ok_status();
}

Status TransactionManagerImpl::sync() {
  PageIo& io = cache->io();
  // Every returned commit is durable already: count the call, as a memory
  // image does.
  if (durability == Durability::Full || io.read_only()) {
    io.count_sync();
    return ok_status();
  }
  return io.sync();
}

}  // namespace ambrik
