// Storage of value bytes: data pages for small values, overflow chains for
// large ones, and the page allocator the trees use.
#include "overflow.h"
#include "transaction/manager_impl.h"

namespace ambrik {

PageAllocFn TransactionManagerImpl::recycling_allocator() {
  return recycle.allocator(*cache, working.freemap, !savepoint_open());
}

Result<TransactionManagerImpl::StoredValue> TransactionManagerImpl::store_value(
    std::span<const uint8_t> value) {
  if (value.size() > kMaxSmallValue) {
    uint64_t first = TRY(Overflow::write(*cache, value));
    return StoredValue{first, 0, ValueKind::Overflow};
  }
  DataSlot ds =
      TRY(packer.insert_into_data_page(*cache, value, recycling_allocator(), savepoint_open()));
  return StoredValue{ds.page, ds.slot, ValueKind::Inline};
}

void TransactionManagerImpl::unstore_value(const StoredValue& stored) {
  // An overflow chain written for a failed operation stays unreferenced; a
  // data-page slot must give its live count back or the page never retires.
  if (stored.kind == ValueKind::Inline) packer.release_data_slot(stored.location, pending_free);
}

}  // namespace ambrik
