// XXH3-64 compiled for AVX2; selected at run time by page.cc only on CPUs
// that have it. Everything from the hash header is inlined with internal
// linkage, so no AVX2 code can be shared with the baseline build.
#define XXH_INLINE_ALL
#include <xxhash.h>

#include <cstddef>
#include <cstdint>

namespace ambrik {

uint64_t xxh3_avx2(const void* data, size_t len) { return XXH3_64bits(data, len); }

uint64_t xxh3_avx2_pieces(const void* const* data, const size_t* lens, size_t count) {
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  for (size_t i = 0; i < count; ++i) XXH3_64bits_update(&state, data[i], lens[i]);
  return XXH3_64bits_digest(&state);
}

}  // namespace ambrik
