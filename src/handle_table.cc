#include "handle_table.h"

namespace ambrik {

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
