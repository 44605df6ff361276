// Reads in the visible state: the working state inside a transaction, the
// committed one outside.
#include <cstring>

#include "data_page.h"
#include "handle_table.h"
#include "named_roots.h"
#include "overflow.h"
#include "transaction/manager_impl.h"

namespace ambrik {

Result<HandleEntry> TransactionManagerImpl::lookup_live(uint64_t handle) {
  const uint64_t root = visible().handle_root;
  if (root == kNoPage) return Error::invalid_handle(handle);
  auto entry = TRY(HandleTable::lookup(handle_depth, *cache, root, handle));
  if (!entry) return Error::invalid_handle(handle);
  return *entry;
}

Result<std::vector<uint8_t>> TransactionManagerImpl::read(uint64_t handle) {
  HandleEntry e = TRY(lookup_live(handle));
  if (e.kind == ValueKind::Inline) return read_data_slot(*cache, e.location, e.slot);
  std::vector<uint8_t> out;
  TRY(Overflow::read_chain(*cache, e.location, out));
  return out;
}

Result<bool> TransactionManagerImpl::read_into(uint64_t handle, const ValueSink& sink) {
  HandleEntry e = TRY(lookup_live(handle));
  if (e.kind == ValueKind::Overflow) return Overflow::read_chain_into(*cache, e.location, sink);
  std::span<const uint8_t> v = TRY(data_slot_view(*cache, e.location, e.slot));
  uint8_t* dest = sink(v.size());
  if (dest == nullptr) return false;
  std::memcpy(dest, v.data(), v.size());
  return true;
}

void TransactionManagerImpl::prefetch(std::span<const uint64_t> handles) {
  // Three passes, each of independent steps, so that the CPU has many
  // memory loads in flight at once: the handle entries, then the pages'
  // slot records, then the values' first bytes.
  constexpr size_t kMax = 64;
  const uint64_t root = visible().handle_root;
  const size_t n = std::min(handles.size(), kMax);
  const uint8_t* entry[kMax];
  const uint8_t* page[kMax];
  size_t record[kMax];
  for (size_t i = 0; i < n; ++i) {
    entry[i] = HandleTable::peek_entry(handle_depth, *cache, root, handles[i]);
    if (entry[i]) __builtin_prefetch(entry[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    page[i] = nullptr;
    if (!entry[i]) continue;
    const std::optional<HandleEntry> e = decode_handle_entry(entry[i]);
    if (!e || e->kind != ValueKind::Inline) continue;
    record[i] = kDataHeaderSize + size_t{kSlotRecordSize} * e->slot;
    if (record[i] + kSlotRecordSize > kTrailerOffset) continue;
    page[i] = cache->peek(e->location);
    if (!page[i]) continue;
    __builtin_prefetch(page[i]);  // the page header
    __builtin_prefetch(page[i] + record[i]);
  }
  for (size_t i = 0; i < n; ++i) {
    if (!page[i]) continue;
    const size_t offset = load_u16(page[i] + record[i]);
    if (offset < kTrailerOffset) __builtin_prefetch(page[i] + offset);
  }
}

Result<std::vector<uint64_t>> TransactionManagerImpl::handles() {
  std::vector<uint64_t> out;
  HandleList live = TRY(HandleTable::iter_live(handle_depth, *cache, visible().handle_root));
  out.reserve(live.size());
  for (const auto& [h, e] : live) out.push_back(h);
  return out;
}

}  // namespace ambrik

namespace ambrik {

Result<std::vector<uint64_t>> TransactionManagerImpl::handles_with_tag(uint32_t tag) {
  const MembershipRoot index{visible().membership_root, membership_depth};
  return membership_handles(*cache, index, tag, ~uint64_t{0});
}

Result<std::optional<uint64_t>> TransactionManagerImpl::get_root_name(std::string_view name) {
  TRY(validate_root_name(name));
  return find_root(visible().named_roots, name);
}

}  // namespace ambrik
