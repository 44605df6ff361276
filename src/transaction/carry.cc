// The tail-page carry: a transaction's first small value joins the values of
// the page that received the last commit's small values, so that a stream of
// small commits fills pages instead of starting one per commit.
#include <algorithm>
#include <array>
#include <cstring>

#include "transaction/manager_impl.h"

namespace ambrik {

void TransactionManagerImpl::note_stored(uint64_t handle, const StoredValue& stored) {
  if (stored.kind != ValueKind::Inline) return;
  if (stored.location != tail.page) {
    tail.page = stored.location;
    tail.count = 0;
    tail.too_many = false;
  }
  if (tail.count == kMaxCarried) tail.too_many = true;
  if (!tail.too_many) tail.residents[tail.count++] = handle;
}

void TransactionManagerImpl::keep_tail_for_next_commit() {
  const auto current = packer.current_page();
  // A transaction that stored no small value leaves the carry it found.
  if (!current) return;
  if (*current == tail.page && !tail.too_many) carry = tail;
  else carry.page = kNoPage;
  tail.page = kNoPage;
}

Result<bool> TransactionManagerImpl::carry_tail_page(uint64_t value_size) {
  const TailPage from = carry;
  carry.page = kNoPage;
  const uint64_t page = from.page;
  auto counted = packer.working_counts().find(page);
  if (counted == packer.working_counts().end() || from.count == 0) return false;
  const uint32_t live = counted->second;

  std::array<uint8_t, kPageSize> old;
  std::memcpy(old.data(), TRY(cache->get(page)), kPageSize);
  auto header = data_page_header(old.data());
  if (!header) return false;

  // Every live value of the page must be one of ours, or its entry would be
  // left pointing at a page that is freed.
  std::vector<uint64_t> residents(from.residents.begin(), from.residents.begin() + from.count);
  std::sort(residents.begin(), residents.end());
  residents.erase(std::unique(residents.begin(), residents.end()), residents.end());
  std::vector<std::pair<uint64_t, HandleEntry>> moved;
  uint64_t bytes = 0;
  for (uint64_t handle : residents) {
    auto entry = TRY(HandleTable::lookup(handle_depth, *cache, working.handle_root, handle));
    if (!entry || entry->kind != ValueKind::Inline || entry->location != page) continue;
    auto value = TRY(data_slot_view(*cache, page, entry->slot));
    bytes += value.size() + kSlotRecordSize;
    moved.emplace_back(handle, *entry);
  }
  if (moved.size() != live) return false;
  // Repacked, the live values leave out the slots of values gone since.
  if (kDataHeaderSize + bytes + value_size + kSlotRecordSize > kTrailerOffset) return false;

  OpScope scope(*this);
  const size_t first_taken = txn.op_taken.size();
  const uint64_t copy = TRY(alloc_recycled());
  uint8_t* dst = TRY(cache->get_mut(copy));
  bool first = true;
  for (auto& [handle, entry] : moved) {
    const uint8_t* rec = old.data() + kDataHeaderSize + kSlotRecordSize * uint64_t{entry.slot};
    std::span<const uint8_t> value(old.data() + load_u16(rec), load_u16(rec + 2));
    if (first) {
      data_page_init(dst, value);
      entry.slot = 0;
      first = false;
    } else {
      auto slot = data_page_append(dst, value);
      if (!slot) return Error::internal("carried values do not fit their page");
      entry.slot = *slot;
    }
    entry.location = copy;
  }
  // Nodes this carry copied are its own until the root is stored: changed
  // in place after their first copy, never visible half-done.
  const PageInPlaceFn ours = [&](uint64_t id) {
    return std::find(txn.op_taken.begin() + first_taken, txn.op_taken.end(), id) !=
           txn.op_taken.end();
  };
  uint32_t depth = handle_depth;
  uint64_t root = working.handle_root;
  std::vector<uint64_t> pending;
  for (const auto& [handle, entry] : moved)
    root = TRY(HandleTable::insert(depth, *cache, root, handle, entry, recycling_allocator(),
                                   pending, &ours));
  working.handle_root = root;
  handle_depth = depth;
  retire(pending);
  packer.adopt(page, copy);
  retire({page});
  tail.page = copy;
  tail.count = 0;
  tail.too_many = false;
  for (const auto& [handle, entry] : moved) tail.residents[tail.count++] = handle;
  scope.done();
  return true;
}

}  // namespace ambrik
