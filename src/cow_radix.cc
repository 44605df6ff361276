#include "cow_radix.h"

namespace ambrik {

std::vector<std::pair<uint64_t, uint64_t>> interior_children(const uint8_t* page) {
  std::vector<std::pair<uint64_t, uint64_t>> out;
  for (uint64_t i = 0; i < kInteriorFanout; ++i) {
    if (uint64_t c = interior_child(page, i)) out.emplace_back(i, c);
  }
  return out;
}

uint64_t radix_span(uint64_t leaf_slots, uint32_t depth) {
  uint64_t s = leaf_slots;
  for (uint32_t d = 0; d < depth && s != kNoPage; ++d) s = sat_mul(s, kInteriorFanout);
  return s;
}

}  // namespace ambrik
