#include "page.h"

#include <xxhash.h>

namespace ambrik {

uint64_t xxh3(const void* data, size_t len) { return XXH3_64bits(data, len); }

uint64_t page_trailer_compute(const uint8_t* page) { return XXH3_64bits(page, kTrailerOffset); }

void page_trailer_set(uint8_t* page) {
  store_u64(page + kTrailerOffset, page_trailer_compute(page));
}

bool page_trailer_ok(const uint8_t* page) {
  return load_u64(page + kTrailerOffset) == page_trailer_compute(page);
}

}  // namespace ambrik
