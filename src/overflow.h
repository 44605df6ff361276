// Overflow chains: values too large for a data page (8163 bytes or more).
//
// The pages of a chain come from the caller's allocator (the engine's takes
// free pages, preferring consecutive ones, and grows the file only when none
// are free); the order of the ids is the allocator's.
//
// A value of L bytes is split over ceil(L / 8152) overflow pages linked by
// their next ids; page j holds bytes [8152 j, min(L, 8152 (j + 1))). Every
// chain therefore has at least two pages. A chain is written once, never
// modified, and released whole (all its ids to the pending-free list).
//
// Overflow page:
//   offset  size  field
//   0       1     page type, 3
//   1       15    zero
//   16      8     total length L of the value (u64), same in every page
//   24      8     next page id (u64); 0 in the last page
//   32      8152  this page's part; unused bytes of the last page are zero
//   8184    8     trailer
//
// Readers trust nothing: every page is type-checked, the walk is bounded by
// the page count the total length implies, and a page met twice (a loop) is
// reported as CorruptPageError naming the first page, as is a chain that is
// too long, too short or has total length 0. Memory grows only with pages
// actually read, never with the length a damaged header claims.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "page_alloc.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

inline constexpr uint64_t kOverflowPayload = 8152;
inline constexpr uint64_t kOverflowLengthOffset = 16;
inline constexpr uint64_t kOverflowNextOffset = 24;
inline constexpr uint64_t kOverflowDataOffset = 32;

// Formats one chain page: type 3, total length `total`, next id `next` (0 in
// the last page), `part` at offset 32, trailer set.
// REQUIRES: page points to a full page buffer; part.size() <= 8152.
void overflow_format_page(uint8_t* page, uint64_t total, uint64_t next,
                          std::span<const uint8_t> part);
// The same but the trailer, for a cached page (whose trailer the cache sets).
void overflow_fill_page(uint8_t* page, uint64_t total, uint64_t next,
                        std::span<const uint8_t> part);

struct Overflow {
  // Writes `value` to the pages `alloc` gives and returns the first page's
  // id. Pages obtained before an error are not given back.
  // REQUIRES: value is not empty (callers use it above 8162 bytes).
  static Result<uint64_t> write(PageCache& cache, std::span<const uint8_t> value,
                                const PageRunAllocFn& alloc);
  // The same with pages from new_page, at the end of the file.
  static Result<uint64_t> write(PageCache& cache, std::span<const uint8_t> value);

  // Replaces `out` with the value stored in the chain starting at `first`.
  static Status read_chain(PageCache& cache, uint64_t first, std::vector<uint8_t>& out);

  // Reads the value stored in the chain starting at `first` into the
  // buffer of exactly its length that `sink(length)` returns; false (and
  // nothing read) when sink returns null. Pages in the cache or the
  // spillway are read from there; runs of other pages at consecutive ids
  // are read from the file with one call each, straight into the buffer,
  // without entering the cache. A value above 64 MiB is gathered first and
  // copied, so a damaged length never makes sink allocate more than that
  // before the pages are seen. On an error the buffer's contents are
  // unspecified.
  static Result<bool> read_chain_into(PageCache& cache, uint64_t first,
                                      const std::function<uint8_t*(size_t)>& sink);

  // The chain's page ids, first page first. A chain shorter than its length
  // implies is accepted (the ids are all that is needed to free it).
  static Result<std::vector<uint64_t>> collect_chain_pages(PageCache& cache, uint64_t first);
};

}  // namespace ambrik
