#include "page.h"

#include <xxhash.h>

#include <atomic>
#include <vector>

namespace ambrik {

uint64_t xxh3_avx2(const void* data, size_t len);  // hash_avx2.cc
uint64_t xxh3_avx2_pieces(const void* const* data, const size_t* lens, size_t count);

namespace {

using HashFn = uint64_t (*)(const void*, size_t);

uint64_t xxh3_baseline(const void* data, size_t len) { return XXH3_64bits(data, len); }

// Every page change and every page load hashes 8 KiB; the AVX2 kernel does
// that in about half the time of the baseline one.
HashFn pick_hash() {
#if defined(__x86_64__) && defined(AMBRIK_HAVE_AVX2_HASH)
  // The first hash may run from another file's static initialiser, before
  // the CPU model has been filled in for __builtin_cpu_supports.
  __builtin_cpu_init();
  if (__builtin_cpu_supports("avx2")) return xxh3_avx2;
#endif
  return xxh3_baseline;
}

uint64_t xxh3_first_call(const void* data, size_t len);

// Constant-initialised, so it is valid before any dynamic initialiser has
// run: the first call picks the kernel and installs it. Racing first calls
// store the same pointer.
std::atomic<HashFn> g_hash{xxh3_first_call};

uint64_t xxh3_first_call(const void* data, size_t len) {
  HashFn picked = pick_hash();
  g_hash.store(picked, std::memory_order_relaxed);
  return picked(data, len);
}

}  // namespace

uint64_t xxh3(const void* data, size_t len) {
  return g_hash.load(std::memory_order_relaxed)(data, len);
}

uint64_t xxh3_pieces(const void* const* data, const size_t* lens, size_t count) {
#if defined(__x86_64__) && defined(AMBRIK_HAVE_AVX2_HASH)
  if (g_hash.load(std::memory_order_relaxed) == xxh3_avx2) return xxh3_avx2_pieces(data, lens, count);
#endif
  XXH3_state_t* state = XXH3_createState();
  if (state == nullptr) {
    // Without a hash state the pieces are joined the slow way.
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < count; ++i) {
      const uint8_t* p = static_cast<const uint8_t*>(data[i]);
      joined.insert(joined.end(), p, p + lens[i]);
    }
    return xxh3(joined.data(), joined.size());
  }
  XXH3_64bits_reset(state);
  for (size_t i = 0; i < count; ++i) XXH3_64bits_update(state, data[i], lens[i]);
  uint64_t h = XXH3_64bits_digest(state);
  XXH3_freeState(state);
  return h;
}

uint64_t page_trailer_compute(const uint8_t* page) { return xxh3(page, kTrailerOffset); }

void page_trailer_set(uint8_t* page) {
  store_u64(page + kTrailerOffset, page_trailer_compute(page));
}

bool page_trailer_ok(const uint8_t* page) {
  return load_u64(page + kTrailerOffset) == page_trailer_compute(page);
}

}  // namespace ambrik
