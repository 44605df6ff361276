// Shared page geometry, little-endian field access and the page trailer.
//
// Every 8192-byte page (superblocks included) ends with an 8-byte trailer at
// offset 8184: XXH3-64 (seed 0) of bytes 0..8183, little-endian. For content
// pages the page cache sets it once, when a changed page leaves memory, and
// checks it on every load from the file; superblocks set their own.
//
// Page types (byte 0 of a content page):
//   1 handle-table node   2 data page   3 overflow page   4 free-map leaf
//   5 membership internal 6 membership leaf               7 free-map interior
#pragma once

#include <bit>
#include <cstdint>
#include <cstring>

namespace ambrik {

inline constexpr uint64_t kPageSize = 8192;
inline constexpr uint64_t kTrailerOffset = 8184;
inline constexpr uint64_t kUsableBytes = 8184;
inline constexpr uint64_t kSealOverhead = 40;  // 16-byte tag + 24-byte nonce
inline constexpr uint64_t kPlainStride = kPageSize;
inline constexpr uint64_t kSealedStride = kPageSize + kSealOverhead;  // 8232
// A stored tree root with all bits set means "no tree".
inline constexpr uint64_t kNoPage = ~uint64_t{0};

enum PageType : uint8_t {
  kPageHandleNode = 1,
  kPageData = 2,
  kPageOverflow = 3,
  kPageFreeMapLeaf = 4,
  kPageMemberInternal = 5,
  kPageMemberLeaf = 6,
  kPageFreeMapInterior = 7,
};

inline uint16_t load_u16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t load_u32(const uint8_t* p) {
  return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) |
         (uint32_t{p[3]} << 24);
}
inline uint64_t load_u64(const uint8_t* p) {
  return uint64_t{load_u32(p)} | (uint64_t{load_u32(p + 4)} << 32);
}
inline void store_u16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
// One store on a little-endian host: the compiler leaves a byte loop as
// eight separate shifts and stores.
inline void store_u32(uint8_t* p, uint32_t v) {
  if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap32(v);
  std::memcpy(p, &v, sizeof v);
}
inline void store_u64(uint8_t* p, uint64_t v) {
  if constexpr (std::endian::native != std::endian::little) v = __builtin_bswap64(v);
  std::memcpy(p, &v, sizeof v);
}

inline uint64_t sat_mul(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_mul_overflow(a, b, &r)) return ~uint64_t{0};
  return r;
}
inline uint64_t sat_add(uint64_t a, uint64_t b) {
  uint64_t r;
  if (__builtin_add_overflow(a, b, &r)) return ~uint64_t{0};
  return r;
}

// XXH3-64, seed 0, of `len` bytes.
uint64_t xxh3(const void* data, size_t len);
// XXH3-64, seed 0, of the concatenation of `count` pieces (equal to xxh3 of
// the joined bytes).
uint64_t xxh3_pieces(const void* const* data, const size_t* lens, size_t count);

// Trailer of an 8192-byte page.
uint64_t page_trailer_compute(const uint8_t* page);
void page_trailer_set(uint8_t* page);
bool page_trailer_ok(const uint8_t* page);

}  // namespace ambrik
