// PageCache, first half: lookups and loads, new and claimed pages,
// truncation and settings. Eviction and the commit flush are in
// page_cache_evict.cc.
#include "page_cache.h"

#include <algorithm>
#include <cstring>

#include "check.h"
#include "crypto/key.h"
#include "page.h"

namespace ambrik {

PagePool::~PagePool() {
  for (uint8_t* p : free_) delete[] p;
}

uint8_t* PagePool::take(bool zeroed) {
  if (free_.empty()) return zeroed ? new uint8_t[kPageSize]() : new uint8_t[kPageSize];
  uint8_t* p = free_.back();
  free_.pop_back();
  if (zeroed) std::memset(p, 0, kPageSize);
  return p;
}

void PagePool::give(uint8_t* p) noexcept {
  if (!p) return;
  if (wipe_) secure_wipe(p, kPageSize);
  if (free_.size() < kMaxFree) {
    free_.push_back(p);  // within the capacity reserved up front
    return;
  }
  delete[] p;
}

namespace {

uint64_t pages_for_budget(uint64_t bytes) { return std::max<uint64_t>(1, bytes / kPageSize); }

}  // namespace

PageCache::PageCache(std::unique_ptr<PageIo> io, const CacheSettings& settings,
                     uint64_t next_page_id)
    : io_(std::move(io)),
      path_(settings.path),
      cap_pages_(pages_for_budget(settings.cache_max_bytes)),
      spillway_max_bytes_(settings.spillway_max_bytes),
      next_page_id_(next_page_id),
      drain_insertion_(settings.drain_insertion) {}

PageCache::~PageCache() = default;

// ---- reads ------------------------------------------------------------

Result<uint8_t*> PageCache::lookup(uint64_t id, bool mark_dirty) {
  CacheEntry* e = entries_.find(id);
  if (e) {
    ++counters_.cache_hits;
  } else {
    ++counters_.cache_misses;
    TRY(load_page(id));
    e = entries_.find(id);
  }
  // The LRU has its own table, so `e` survives the move.
  if (e->lru != LruIndex::kNoSlot) lru_.touch(e->lru);
  else e->lru = lru_.push_front(id);
  if (mark_dirty) mark_changed(*e);
  return e->page.get();
}

Status PageCache::load_page(uint64_t id) {
  // Room first: the new entry may then take the cache to cap_pages + 1
  // until the next eviction point.
  TRY(maybe_evict());
  if (spillway_ && spillway_->has(id)) return load_from_spillway(id);
  return load_from_file(id);
}

Status PageCache::load_from_spillway(uint64_t id) {
  const uint8_t* payload = TRY(spillway_->rehydrate(id));
  if (spillway_->record_len() != record_len()) return Error::decryption_failed(id);
  PageBuf page = alloc_page(false);
  if (cipher_) {
    if (!cipher_->open(id, payload, page.get())) return Error::decryption_failed(id);
  } else {
    std::memcpy(page.get(), payload, kPageSize);
  }
  // Forgotten only once the page is safely back, so a failed load changes
  // nothing.
  spillway_->forget(id);
  // Still uncommitted: it comes back dirty.
  // Its trailer came back with it.
  entries_[id] = CacheEntry{std::move(page), true, true};
  ++dirty_count_;
  lru_.push_front(id);
  return ok_status();
}

Status PageCache::load_from_file(uint64_t id) {
  if (id >= io_->page_count()) return Error::invalid_page_id(id);
  PageBuf page = alloc_page(false);
  if (cipher_) {
    if (io_->stride() != kSealedStride) return Error::decryption_failed(id);
    unit_scratch_.resize(kSealedStride);
    TRY(io_->read_page_unit_into(id, unit_scratch_.data()));
    if (!cipher_->open(id, unit_scratch_.data(), page.get())) return Error::decryption_failed(id);
  } else {
    if (io_->stride() != kPageSize)
      return Error::io_text(IoKind::Other, "page unit length " + std::to_string(kPageSize) +
                                               " != stride " + std::to_string(io_->stride()));
    TRY(io_->read_page_unit_into(id, page.get()));
  }
  if (!page_trailer_ok(page.get())) return Error::checksum_mismatch(id);
  entries_[id] = CacheEntry{std::move(page), false, true};
  lru_.push_front(id);
  return ok_status();
}

uint64_t PageCache::uncached_run(uint64_t first, uint64_t limit) const {
  limit = std::min(limit, max_direct_run());
  uint64_t n = 0;
  while (n < limit) {
    uint64_t id = first + n;
    if (id < first || id >= io_->page_count() || entries_.contains(id) ||
        (spillway_ && spillway_->has(id)))
      break;
    ++n;
  }
  return n;
}

namespace {

// Copies `len` bytes starting at byte `from` of the concatenated segments to
// `out`, or scatters `in` into them when `out` is null.
void segments_copy(const struct iovec* segs, size_t nsegs, size_t from, size_t len, uint8_t* out,
                   const uint8_t* in) {
  for (size_t i = 0; i < nsegs && len > 0; ++i) {
    size_t seg_len = segs[i].iov_len;
    if (from >= seg_len) {
      from -= seg_len;
      continue;
    }
    size_t take = std::min(seg_len - from, len);
    uint8_t* base = static_cast<uint8_t*>(segs[i].iov_base) + from;
    if (out) std::memcpy(out, base, take);
    else std::memcpy(base, in, take);
    if (out) out += take;
    else in += take;
    len -= take;
    from = 0;
  }
}

// page_trailer_ok for a page that lies over `nsegs` segments.
Result<bool> segments_trailer_ok(const struct iovec* segs, size_t nsegs) {
  constexpr size_t kMostPieces = 8;
  const void* pieces[kMostPieces];
  size_t lens[kMostPieces];
  size_t n = 0;
  size_t at = 0;
  for (size_t i = 0; i < nsegs && at < kTrailerOffset; ++i) {
    size_t len = std::min(segs[i].iov_len, kTrailerOffset - at);
    if (len == 0) continue;
    if (n == kMostPieces) return Error::internal("a page read over more than 8 segments");
    pieces[n] = segs[i].iov_base;
    lens[n++] = len;
    at += len;
  }
  uint8_t trailer[8];
  segments_copy(segs, nsegs, kTrailerOffset, sizeof trailer, trailer, nullptr);
  return load_u64(trailer) == xxh3_pieces(pieces, lens, n);
}

}  // namespace

Status PageCache::read_uncached(uint64_t first, size_t count, const struct iovec* segs,
                                size_t per_page,
                                const std::function<Result<bool>(size_t)>& visit) {
  AMBRIK_DCHECK(uncached_run(first, count) == count);
  if (!cipher_) {
    if (io_->stride() != kPageSize)
      return Error::io_text(IoKind::Other, "page unit length " + std::to_string(kPageSize) +
                                               " != stride " + std::to_string(io_->stride()));
    // Each page is hashed as it is read, in one pass over its bytes.
    hash_scratch_.resize(count);
    TRY(io_->read_page_units_hashed(first, count, segs, count * per_page, hash_scratch_.data()));
    for (size_t k = 0; k < count; ++k) {
      ++counters_.cache_misses;
      uint8_t trailer[8];
      segments_copy(segs + k * per_page, per_page, kTrailerOffset, sizeof trailer, trailer, nullptr);
      if (load_u64(trailer) != hash_scratch_[k]) return Error::checksum_mismatch(first + k);
      if (!TRY(visit(k))) break;
    }
    return ok_status();
  }
  if (io_->stride() != kSealedStride) return Error::decryption_failed(first);
  sealed_read_scratch_.resize(count * kSealedStride);
  struct iovec whole = {sealed_read_scratch_.data(), sealed_read_scratch_.size()};
  TRY(io_->read_page_units(first, count, &whole, 1));
  for (size_t k = 0; k < count; ++k) {
    ++counters_.cache_misses;
    const struct iovec* page = segs + k * per_page;
    // Each page opens straight into its segments (the value's bytes in
    // their place), and its trailer is checked there.
    if (!cipher_->open_into(first + k, sealed_read_scratch_.data() + k * kSealedStride, page,
                            per_page))
      return Error::decryption_failed(first + k);
    if (!TRY(segments_trailer_ok(page, per_page))) return Error::checksum_mismatch(first + k);
    if (!TRY(visit(k))) break;
  }
  return ok_status();
}

// ---- new pages ----------------------------------------------------------

void PageCache::install_fresh(uint64_t id) {
  if (spillway_) spillway_->forget(id);
  bool inserted = false;
  CacheEntry& e = entries_.get_or_insert(id, &inserted);
  if (inserted || !e.dirty) ++dirty_count_;
  e.page = alloc_page(true);  // frees any stale copy
  e.dirty = true;
  e.trailer_ok = false;
  e.lru = lru_.push_front(id);
}

Result<uint64_t> PageCache::new_page() {
  uint64_t id = next_page_id_++;
  install_fresh(id);
  Status st = maybe_evict();
  if (!st.ok()) {
    unclaim(id);
    if (next_page_id_ == id + 1) next_page_id_ = id;
    return std::move(st).error();
  }
  ++counters_.pages_allocated;
  return id;
}

Status PageCache::claim_page(uint64_t id) {
  install_fresh(id);
  Status st = maybe_evict();
  if (!st.ok()) {
    unclaim(id);
    return st;
  }
  ++counters_.pages_allocated;
  return ok_status();
}

Result<uint8_t*> PageCache::copy_into(uint64_t src, uint64_t dst) {
  // Fetching dst may evict src, so the bytes travel through a local copy,
  // unless dst is cached: a hit never evicts, so src's view stays valid.
  const uint8_t* s = TRY(lookup(src, false));
  if (src != dst && entries_.contains(dst)) {
    uint8_t* d = TRY(lookup(dst, true));
    std::memcpy(d, s, kPageSize);
    return d;
  }
  uint8_t local[kPageSize];
  std::memcpy(local, s, kPageSize);
  Result<uint8_t*> d = lookup(dst, true);
  if (d.ok()) std::memcpy(d.value(), local, kPageSize);
  if (cipher_) secure_wipe(local, sizeof local);
  return d;
}

// ---- dropping pages -------------------------------------------------------

bool PageCache::drop_entry(uint64_t id) {
  CacheEntry* e = entries_.find(id);
  if (!e) return false;
  if (e->dirty) dec_dirty();
  entries_.erase(id);  // frees (and wipes) the buffer
  lru_.remove(id);
  return true;
}

void PageCache::forget_from(uint64_t n) {
  id_scratch_.clear();
  entries_.for_each([&](uint64_t id, const CacheEntry&) {
    if (id >= n) id_scratch_.push_back(id);
  });
  for (uint64_t id : id_scratch_) drop_entry(id);
  id_scratch_.clear();
  if (spillway_) spillway_->forget_from(n);
  if (n < next_page_id_) next_page_id_ = n;
}

void PageCache::discard_dirty() {
  dirty_scratch_.clear();
  entries_.for_each([&](uint64_t id, const CacheEntry& e) {
    if (e.dirty) dirty_scratch_.push_back(id);
  });
  for (uint64_t id : dirty_scratch_) drop_entry(id);
  dirty_scratch_.clear();
  dirty_count_ = 0;
  // Rollback cannot fail: a spill file that will not shrink only wastes
  // space, and every mapping is gone regardless.
  if (spillway_) (void)spillway_->truncate();
}

// ---- settings and diagnostics ----------------------------------------------

void PageCache::set_cipher(std::unique_ptr<PageCipher> cipher) {
  AMBRIK_DCHECK(entries_.size() == 0);
  AMBRIK_DCHECK(!spillway_ || spillway_->slot_count() == 0);
  cipher_ = std::move(cipher);
  pool_.set_wipe(cipher_ != nullptr);
  if (spillway_ && spillway_->slot_count() == 0) spillway_->set_record_len(record_len());
}

void PageCache::set_cache_max_bytes(uint64_t bytes) {
  cap_pages_ = pages_for_budget(bytes);
  evict_clean_to_cap();
}

void PageCache::set_spillway_max_bytes(uint64_t bytes) {
  spillway_max_bytes_ = bytes;
  if (spillway_) spillway_->set_max_bytes(bytes);
}

std::vector<uint64_t> PageCache::lru_order() const {
  std::vector<uint64_t> out;
  for (auto id = lru_.head(); id; id = lru_.next(*id)) out.push_back(*id);
  return out;
}

}  // namespace ambrik
