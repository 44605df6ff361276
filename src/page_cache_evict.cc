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
  uint64_t w = *lru_.tail();
  CacheEntry* e = entries_.find(w);
  if (!e) {
    lru_.remove(w);
    return ok_status();
  }
  // Written before it leaves the maps: on failure the page is simply still
  // where it was, cached with its flag, at the tail. The record's checksum
  // (and, encrypted, the seal) covers the trailer, so it is final first.
  finish_trailer(*e);
  Status st = spill(w, e->page.get());
  if (!st.ok()) {
    lru_.push_back(w);
    return st;
  }
  drop_entry(w);
  return ok_status();
}

Status PageCache::spill(uint64_t id, const uint8_t* page) {
  const uint8_t* payload = page;
  if (cipher_) {
    unit_scratch_.resize(kSealedStride);
    TRY(cipher_->seal(id, page, unit_scratch_.data()));
    payload = unit_scratch_.data();
  }
  if (!spillway_) {
    if (path_) {
      spillway_ = TRY(Spillway::open_file(*path_, spillway_max_bytes_, record_len(),
                                          io_->descriptor()));
    } else {
      spillway_ = Spillway::in_memory(spillway_max_bytes_, record_len());
    }
  }
  return spillway_->put(id, payload);
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

Status PageCache::flush(bool hold_free_map) {
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
  return io_->sync();
}

Status PageCache::drain_spillway() {
  // Batches of at most cap_pages keep the drain within the cache budget plus
  // one batch.
  while (spillway_ && spillway_->slot_count() > 0) {
    id_scratch_.clear();
    spillway_->collect_ids(std::min<uint64_t>(spillway_->slot_count(), cap_pages_), id_scratch_);
    for (uint64_t id : id_scratch_) TRY(drain_one(id));
    evict_clean_to_cap();
  }
  return ok_status();
}

Status PageCache::drain_one(uint64_t id) {
  const uint8_t* payload = TRY(spillway_->rehydrate(id));
  spillway_->forget(id);
  if (spillway_->record_len() != record_len()) return Error::decryption_failed(id);
  // A sealed payload is already the unit for this id.
  TRY(io_->write_page_unit(id, payload, record_len()));
  bool cached = entries_.contains(id);
  PageBuf page;
  if (cipher_) {
    page = alloc_page(false);
    if (!cipher_->open(id, payload, page.get())) return Error::decryption_failed(id);
  } else if (!cached) {
    page = alloc_page(false);
    std::memcpy(page.get(), payload, kPageSize);
  }
  if (cached) return ok_status();
  entries_[id] = CacheEntry{std::move(page), false, true};
  if (drain_insertion_ == DrainInsertion::Mru) lru_.push_front(id);
  else lru_.push_back(id);
  return ok_status();
}

}  // namespace ambrik
