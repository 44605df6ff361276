#include "handle_table.h"

namespace ambrik {

std::optional<HandleEntry> decode_handle_entry(const uint8_t* p) {
  uint8_t kind = p[10];
  if (kind != 1 && kind != 2) return std::nullopt;
  HandleEntry e;
  e.location = load_u64(p);
  e.slot = load_u16(p + 8);
  e.kind = kind == 1 ? ValueKind::Inline : ValueKind::Overflow;
  e.tag = load_u32(p + 11);
  e.client_byte = p[15];
  return e;
}

void encode_handle_entry(uint8_t* p, const HandleEntry& e) {
  store_u64(p, e.location);
  store_u16(p + 8, e.slot);
  p[10] = static_cast<uint8_t>(e.kind);
  store_u32(p + 11, e.tag);
  p[15] = e.client_byte;
}

Result<HandleDeleteResult> HandleTable::remove(uint32_t depth, PageCache& cache, uint64_t root,
                                               uint64_t handle, const PageAllocFn& alloc,
                                               std::vector<uint64_t>& pending,
                                               const PageInPlaceFn* in_place) {
  auto cut = TRY(Tree::remove(depth, cache, root, handle, alloc, pending, in_place));
  if (!cut.found) return HandleDeleteResult{cut.node, std::nullopt};
  return HandleDeleteResult{cut.node, decode_handle_entry(cut.slot.data())};
}

Result<HandleList> HandleTable::iter_live(uint32_t depth, PageCache& cache, uint64_t root) {
  HandleList out;
  TRY(Tree::for_each(cache, root, 0, depth, [&](uint64_t handle, const uint8_t* slot) {
    out.emplace_back(handle, *decode_handle_entry(slot));
    return true;
  }));
  return out;
}

}  // namespace ambrik
