#include "overflow.h"

#include <algorithm>
#include <cstring>

#include "page.h"

namespace ambrik {
namespace {

constexpr uint64_t kTotalLengthOff = kOverflowLengthOffset;
constexpr uint64_t kNextOff = kOverflowNextOffset;
constexpr uint64_t kReserveCap = uint64_t{64} << 20;

uint64_t pages_for(uint64_t len) { return len / kOverflowPayload + (len % kOverflowPayload != 0); }

// The first page's total length, checked: type 3 and non-zero.
Result<uint64_t> chain_length(PageCache& cache, uint64_t first) {
  const uint8_t* page = TRY(cache.get(first));
  uint64_t len = load_u64(page + kTotalLengthOff);
  if (page[0] != kPageOverflow || len == 0) return Error::corrupt_page(first);
  return len;
}

// No chain can visit more distinct pages than the file and the running
// transaction hold; a walk that goes on longer runs in a loop. This keeps a
// damaged chain that claims a huge length and loops from gathering without
// end, at no cost per page.
uint64_t pages_in_existence(PageCache& cache) {
  return std::max(cache.next_page_id(), cache.io().page_count());
}

}  // namespace

void overflow_fill_page(uint8_t* page, uint64_t total, uint64_t next,
                        std::span<const uint8_t> part) {
  // Every byte before the trailer is written once: the header, the part and
  // zeros around them.
  std::memset(page, 0, kOverflowDataOffset);
  page[0] = kPageOverflow;
  store_u64(page + kTotalLengthOff, total);
  store_u64(page + kNextOff, next);
  if (!part.empty()) std::memcpy(page + kOverflowDataOffset, part.data(), part.size());
  std::memset(page + kOverflowDataOffset + part.size(), 0,
              kTrailerOffset - kOverflowDataOffset - part.size());
}

void overflow_format_page(uint8_t* page, uint64_t total, uint64_t next,
                          std::span<const uint8_t> part) {
  overflow_fill_page(page, total, next, part);
  page_trailer_set(page);
}

Result<uint64_t> Overflow::write(PageCache& cache, std::span<const uint8_t> value) {
  return write(cache, value, [&cache](uint64_t n, std::vector<uint64_t>& out) -> Status {
    for (uint64_t j = 0; j < n; ++j) out.push_back(TRY(cache.new_page()));
    return ok_status();
  });
}

Result<uint64_t> Overflow::write(PageCache& cache, std::span<const uint8_t> value,
                                 const PageRunAllocFn& alloc) {
  if (value.empty()) return Error::internal("overflow chain for an empty value");
  uint64_t len = value.size();
  uint64_t n = pages_for(len);
  std::vector<uint64_t> ids;
  ids.reserve(n);
  TRY(alloc(n, ids));
  if (ids.size() != n) return Error::internal("overflow chain allocator gave a wrong count");
  for (uint64_t j = 0; j < n; ++j) {
    uint8_t* page = TRY(cache.get_mut(ids[j]));
    uint64_t from = j * kOverflowPayload;
    uint64_t part = std::min(kOverflowPayload, len - from);
    // The cache sets the trailer when the page leaves memory, once.
    overflow_fill_page(page, len, j + 1 < n ? ids[j + 1] : 0, value.subspan(from, part));
  }
  return ids[0];
}

Status Overflow::read_chain(PageCache& cache, uint64_t first, std::vector<uint8_t>& out) {
  out.clear();
  uint64_t len = TRY(chain_length(cache, first));
  uint64_t n = pages_for(len);
  // A damaged header may claim any length: reserve at most a modest amount
  // up front and let pages actually read grow the buffer beyond it.
  out.reserve(std::min<uint64_t>(len, kReserveCap));
  const uint64_t most = pages_in_existence(cache);
  uint64_t id = first;
  for (uint64_t visited = 0; visited < n; ++visited) {
    if (visited >= most) return Error::corrupt_page(first);
    const uint8_t* page = TRY(cache.get(id));
    uint64_t gathered = out.size();
    if (page[0] != kPageOverflow || gathered >= len) return Error::corrupt_page(id);
    uint64_t part = std::min(len - gathered, kOverflowPayload);
    out.insert(out.end(), page + kOverflowDataOffset, page + kOverflowDataOffset + part);
    id = load_u64(page + kNextOff);
    if (id == 0) {
      if (out.size() != len) return Error::corrupt_page(first);
      return ok_status();
    }
  }
  return Error::corrupt_page(first);
}

namespace {

// Fills dest[0, len) from the chain at `first` (whose first page says len).
Status gather_chain(PageCache& cache, uint64_t first, uint64_t len, uint8_t* dest) {
  constexpr size_t kHeader = kOverflowDataOffset;
  constexpr size_t kPerPage = 4;  // header, payload, unused tail, trailer
  const uint64_t n = pages_for(len);
  const uint64_t most = pages_in_existence(cache);
  std::vector<uint8_t> headers;
  std::vector<uint8_t> trailers;
  std::vector<struct iovec> segs;
  std::vector<uint8_t> tail;  // the last page's bytes past the value
  uint64_t gathered = 0;      // chain pages copied so far
  uint64_t id = first;
  for (;;) {
    if (gathered >= n || gathered >= most) return Error::corrupt_page(first);
    uint64_t run = cache.uncached_run(id, n - gathered);
    uint64_t next = 0;
    if (run == 0) {
      // Cached, spilled or not in the file: the cache has the say.
      const uint8_t* page = TRY(cache.get(id));
      if (page[0] != kPageOverflow) return Error::corrupt_page(id);
      uint64_t from = gathered * kOverflowPayload;
      std::memcpy(dest + from, page + kOverflowDataOffset, std::min(len - from, kOverflowPayload));
      ++gathered;
      next = load_u64(page + kNextOff);
    } else {
      // On the guess that the chain goes on at consecutive ids: each page's
      // payload lands in place; the walk stops where the guess fails.
      headers.resize(run * kHeader);
      trailers.resize(run * 8);
      segs.resize(run * kPerPage);
      if (gathered + run == n) tail.resize(n * kOverflowPayload - len);
      for (uint64_t k = 0; k < run; ++k) {
        uint64_t from = (gathered + k) * kOverflowPayload;
        uint64_t part = std::min(len - from, kOverflowPayload);
        struct iovec* s = &segs[k * kPerPage];
        s[0] = {headers.data() + k * kHeader, kHeader};
        s[1] = {dest + from, part};
        // Only the chain's last page has bytes past the value; the others
        // get an empty segment at a valid address.
        s[2] = {part < kOverflowPayload ? tail.data() : headers.data(), kOverflowPayload - part};
        s[3] = {trailers.data() + k * 8, 8};
      }
      const uint64_t start = id;
      TRY(cache.read_uncached(start, run, segs.data(), kPerPage, [&](size_t k) -> Result<bool> {
        const uint8_t* h = headers.data() + k * kHeader;
        if (h[0] != kPageOverflow) return Error::corrupt_page(start + k);
        ++gathered;
        next = load_u64(h + kNextOff);
        return next == start + k + 1;
      }));
    }
    if (next == 0) {
      if (gathered != n) return Error::corrupt_page(first);
      return ok_status();
    }
    id = next;
  }
}

}  // namespace

Result<bool> Overflow::read_chain_into(PageCache& cache, uint64_t first,
                                       const std::function<uint8_t*(size_t)>& sink) {
  uint64_t len = TRY(chain_length(cache, first));
  if (len > kReserveCap) {
    std::vector<uint8_t> out;
    TRY(read_chain(cache, first, out));
    uint8_t* dest = sink(out.size());
    if (dest == nullptr) return false;
    std::memcpy(dest, out.data(), out.size());
    return true;
  }
  uint8_t* dest = sink(len);
  if (dest == nullptr) return false;
  TRY(gather_chain(cache, first, len, dest));
  return true;
}

Result<std::vector<uint64_t>> Overflow::collect_chain_pages(PageCache& cache, uint64_t first) {
  uint64_t len = TRY(chain_length(cache, first));
  uint64_t n = pages_for(len);
  const uint64_t most = pages_in_existence(cache);
  std::vector<uint64_t> ids;
  ids.reserve(std::min<uint64_t>(n, kReserveCap / kOverflowPayload));
  uint64_t id = first;
  while (id != 0) {
    if (ids.size() >= n || ids.size() >= most) return Error::corrupt_page(first);
    const uint8_t* page = TRY(cache.get(id));
    if (page[0] != kPageOverflow) return Error::corrupt_page(id);
    ids.push_back(id);
    id = load_u64(page + kNextOff);
  }
  return ids;
}

}  // namespace ambrik
