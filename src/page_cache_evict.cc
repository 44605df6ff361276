// PageCache, second half: keeping within the page budget (dropping clean
// pages, spilling dirty ones) and the commit flush that writes dirty and
// spilled pages to the file.
#include <algorithm>
#include <cstring>

#include "page_cache.h"

namespace ambrik {

// ---- eviction -------------------------------------------------------------

void PageCache::evict_clean_to_cap() {
  // Walks from the tail towards the head for clean pages. After a drop the
  // walk resumes at the dropped page's neighbour instead of the tail: every
  // page it passed was dirty and still is, so the result is the same as
  // restarting, without rescanning a dirty tail once per drop.
  std::optional<uint64_t> cur = lru_.tail();
  while (entries_.size() > cap_pages_ && entries_.size() != dirty_count_) {
    while (cur) {
      const CacheEntry* e = entries_.find(*cur);
      if (e && !e->dirty) break;
      cur = lru_.prev(*cur);
    }
    if (!cur) return;
    std::optional<uint64_t> towards_head = lru_.prev(*cur);
    drop_entry(*cur);
    cur = towards_head;
  }
}

Status PageCache::maybe_evict() {
  evict_clean_to_cap();
  while (entries_.size() > cap_pages_) {
    if (spillway_max_bytes_ == 0) return Error::cache_full(cap_pages_);
    if (lru_.empty()) break;
    TRY(spill_tail());
  }
  return ok_status();
}

Status PageCache::spill_tail() {
  // Several pages per write: a spill of one page at a time costs the file
  // system far more per page than one vectored write of many. The batch
  // stays a small share of the cache, so the pages it takes early are still
  // the least recently used ones.
  size_t want = static_cast<size_t>(
      std::clamp<uint64_t>(cap_pages_ / kSpillShare, 1, Spillway::kMaxBatchRun));
  spill_ids_.clear();
  // Only dirty pages are left once the clean ones are dropped; the check
  // keeps a clean one (which needs no spilling) out all the same.
  for (std::optional<uint64_t> cur = lru_.tail(); cur && spill_ids_.size() < want;
       cur = lru_.prev(*cur)) {
    const CacheEntry* e = entries_.find(*cur);
    if (e && e->dirty) spill_ids_.push_back(*cur);
  }
  if (spill_ids_.empty()) return ok_status();
  if (spillway_) {
    uint64_t room = spillway_->room();
    if (room == 0) return Error::spillway_full(spillway_->max_bytes());
    if (spill_ids_.size() > room) spill_ids_.resize(static_cast<size_t>(room));
  }
  run_scratch_.clear();
  if (cipher_) unit_scratch_.resize(spill_ids_.size() * kSealedStride);
  for (size_t i = 0; i < spill_ids_.size(); ++i) {
    CacheEntry* e = entries_.find(spill_ids_[i]);
    // The record's checksum (and, encrypted, the seal) covers the trailer,
    // so it is final first.
    finish_trailer(*e);
    const uint8_t* payload = e->page.get();
    if (cipher_) {
      uint8_t* unit = unit_scratch_.data() + i * kSealedStride;
      Status sealed = cipher_->seal(spill_ids_[i], payload, unit);
      if (!sealed.ok()) {
        run_scratch_.clear();
        return sealed;
      }
      payload = unit;
    }
    run_scratch_.push_back(payload);
  }
  // Written before the pages leave the maps: on failure they are simply
  // still where they were, cached with their flags, in LRU order.
  Status st = spill(spill_ids_.data(), run_scratch_.data(), spill_ids_.size());
  run_scratch_.clear();
  if (!st.ok()) return st;
  for (uint64_t id : spill_ids_) drop_entry(id);
  return ok_status();
}

Status PageCache::spill(const uint64_t* ids, const uint8_t* const* payloads, size_t n) {
  if (!spillway_) {
    if (auto backing = io_->storage().make_spill_storage()) {
      spillway_ = Spillway::over(std::move(backing), spillway_max_bytes_, record_len());
    } else if (path_) {
      spillway_ = TRY(Spillway::open_file(*path_, spillway_max_bytes_, record_len(),
                                          io_->descriptor()));
    } else {
      spillway_ = Spillway::in_memory(spillway_max_bytes_, record_len());
    }
  }
  return spillway_->put_batch(ids, payloads, n);
}

// ---- commit flush -----------------------------------------------------------

namespace {

// Longest run of consecutive pages written by one call: bounds the sealed
// scratch of an encrypted database (32 units, 263 KiB) and the iovec list.
constexpr size_t kMaxRunPlain = 256;
constexpr size_t kMaxRunSealed = 32;

bool is_free_map_page(const uint8_t* page) {
  return page[0] == kPageFreeMapLeaf || page[0] == kPageFreeMapInterior;
}

}  // namespace

Status PageCache::write_dirty_runs() {
  const size_t max_run = cipher_ ? kMaxRunSealed : kMaxRunPlain;
  const std::vector<uint64_t>& ids = dirty_scratch_;
  for (size_t i = 0; i < ids.size();) {
    size_t j = i + 1;
    while (j < ids.size() && ids[j] == ids[j - 1] + 1 && j - i < max_run) ++j;
    run_scratch_.clear();
    if (cipher_) unit_scratch_.resize((j - i) * kSealedStride);
    for (size_t k = i; k < j; ++k) {
      CacheEntry* e = entries_.find(ids[k]);
      finish_trailer(*e);
      const uint8_t* page = e->page.get();
      if (cipher_) {
        uint8_t* unit = unit_scratch_.data() + (k - i) * kSealedStride;
        TRY(cipher_->seal(ids[k], page, unit));
        page = unit;
      }
      run_scratch_.push_back(page);
    }
    TRY(io_->write_page_units(ids[i], run_scratch_.data(), run_scratch_.size()));
    // Cleared run by run so that a failure part-way leaves the count true.
    for (size_t k = i; k < j; ++k) {
      entries_.find(ids[k])->dirty = false;
      dec_dirty();
    }
    i = j;
  }
  return ok_status();
}

Status PageCache::flush(bool hold_free_map, bool sync) {
  dirty_scratch_.clear();
  entries_.for_each([&](uint64_t id, const CacheEntry& e) {
    if (e.dirty && !(hold_free_map && is_free_map_page(e.page.get()))) dirty_scratch_.push_back(id);
  });
  std::sort(dirty_scratch_.begin(), dirty_scratch_.end());
  Status written = write_dirty_runs();
  dirty_scratch_.clear();
  run_scratch_.clear();
  if (!written.ok()) return written;

  Status drained = drain_spillway();
  id_scratch_.clear();
  if (!drained.ok()) return drained;
  if (spillway_) TRY(spillway_->truncate());
  return sync ? io_->sync() : ok_status();
}

Status PageCache::drain_spillway() {
  if (!spillway_) return ok_status();
  // All ids at once, in id order: the map is walked once (not once per
  // batch), and consecutive ids make long writes.
  id_scratch_.clear();
  spillway_->collect_ids(static_cast<size_t>(spillway_->slot_count()), id_scratch_);
  std::sort(id_scratch_.begin(), id_scratch_.end());
  if (!id_scratch_.empty() && spillway_->record_len() != record_len())
    return Error::decryption_failed(id_scratch_.front());
  const size_t rec = static_cast<size_t>(record_len());
  // Drained pages put at the front end up there in id order, so once the
  // drain is over only the last cap_pages of them can still be cached: the
  // others are not recached (for an encrypted database, opened) at all,
  // which ends as if they had been and were then evicted.
  const size_t total = id_scratch_.size();
  const size_t recache_from = drain_insertion_ == DrainInsertion::Mru && total > cap_pages_
                                  ? total - static_cast<size_t>(cap_pages_)
                                  : 0;
  for (size_t base = 0; base < id_scratch_.size(); base += Spillway::kMaxBatchRun) {
    const uint64_t* ids = id_scratch_.data() + base;
    const size_t n = std::min(id_scratch_.size() - base, Spillway::kMaxBatchRun);
    drain_scratch_.resize(n * rec);
    TRY(spillway_->rehydrate_batch(ids, n, drain_scratch_.data()));
    for (size_t i = 0; i < n; ++i) spillway_->forget(ids[i]);
    // A payload is already the unit for its id (sealed when encrypted).
    for (size_t i = 0; i < n;) {
      size_t j = i + 1;
      while (j < n && ids[j] == ids[j - 1] + 1) ++j;
      run_scratch_.clear();
      for (size_t k = i; k < j; ++k) run_scratch_.push_back(drain_scratch_.data() + k * rec);
      Status written = io_->write_page_units(ids[i], run_scratch_.data(), j - i);
      run_scratch_.clear();
      TRY(written);
      i = j;
    }
    for (size_t i = base < recache_from ? std::min(n, recache_from - base) : 0; i < n; ++i)
      TRY(recache_drained(ids[i], drain_scratch_.data() + i * rec));
    evict_clean_to_cap();
  }
  drain_scratch_.clear();
  drain_scratch_.shrink_to_fit();
  return ok_status();
}

Status PageCache::recache_drained(uint64_t id, const uint8_t* payload) {
  if (entries_.contains(id)) return ok_status();
  // At the cold end a drained page would be the first clean page dropped,
  // so it is kept only while the cache has room; that ends as if it had
  // been inserted and evicted again, without decrypting or copying it.
  if (drain_insertion_ == DrainInsertion::LruTail && entries_.size() >= cap_pages_)
    return ok_status();
  PageBuf page = alloc_page(false);
  if (cipher_) {
    if (!cipher_->open(id, payload, page.get())) return Error::decryption_failed(id);
  } else {
    std::memcpy(page.get(), payload, kPageSize);
  }
  entries_[id] = CacheEntry{std::move(page), false, true};
  if (drain_insertion_ == DrainInsertion::Mru) lru_.push_front(id);
  else lru_.push_back(id);
  return ok_status();
}

}  // namespace ambrik
