#include "handle_table.h"

namespace ambrik {

Result<HandleList> HandleTable::iter_live(uint32_t depth, PageCache& cache, uint64_t root) {
  HandleList out;
  TRY(Tree::for_each(cache, root, 0, depth, [&](uint64_t handle, const uint8_t* slot) {
    out.emplace_back(handle, *decode_handle_entry(slot));
    return true;
  }));
  return out;
}

}  // namespace ambrik
