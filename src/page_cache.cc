#include "page_cache.h"

#include <algorithm>
#include <cstring>

#include "crypto/key.h"
#include "page.h"
#include "page_cache_impl.h"

namespace ambrik {

void PageFree::operator()(uint8_t* p) const noexcept {
  if (wipe) secure_wipe(p, kPageSize);
  delete[] p;
}

namespace {

uint64_t pages_for_budget(uint64_t bytes) { return std::max<uint64_t>(1, bytes / kPageSize); }

}  // namespace

PageCacheImpl::PageCacheImpl(std::unique_ptr<PageIo> io, const CacheSettings& settings,
                             uint64_t next_page_id)
    : io_(std::move(io)),
      path_(settings.path),
      cap_pages_(pages_for_budget(settings.cache_max_bytes)),
      spillway_max_bytes_(settings.spillway_max_bytes),
      next_page_id_(next_page_id),
      drain_insertion_(settings.drain_insertion) {}

PageCacheImpl::~PageCacheImpl() = default;

PageBuf PageCacheImpl::alloc_page(bool zeroed) const {
  uint8_t* p = zeroed ? new uint8_t[kPageSize]() : new uint8_t[kPageSize];
  return PageBuf(p, PageFree{cipher_ != nullptr});
}

// ---- reads ------------------------------------------------------------

Result<uint8_t*> PageCacheImpl::get(uint64_t id, bool mark_dirty) {
  CacheEntry* e = entries_.find(id);
  if (e) {
    ++counters_.cache_hits;
  } else {
    ++counters_.cache_misses;
    TRY(load_page(id));
    e = entries_.find(id);
  }
  // The LRU has its own table, so `e` survives the move.
  lru_.push_front(id);
  if (mark_dirty && !e->dirty) {
    e->dirty = true;
    ++dirty_count_;
  }
  return e->page.get();
}

Status PageCacheImpl::load_page(uint64_t id) {
  // Room first: the new entry may then take the cache to cap_pages + 1
  // until the next eviction point.
  TRY(maybe_evict());
  if (spillway_ && spillway_->has(id)) return load_from_spillway(id);
  return load_from_file(id);
}

Status PageCacheImpl::load_from_spillway(uint64_t id) {
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
  entries_[id] = CacheEntry{std::move(page), true};
  ++dirty_count_;
  lru_.push_front(id);
  return ok_status();
}

Status PageCacheImpl::load_from_file(uint64_t id) {
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
  entries_[id] = CacheEntry{std::move(page), false};
  lru_.push_front(id);
  return ok_status();
}

// ---- new pages ----------------------------------------------------------

void PageCacheImpl::install_fresh(uint64_t id) {
  if (spillway_) spillway_->forget(id);
  bool inserted = false;
  CacheEntry& e = entries_.get_or_insert(id, &inserted);
  if (inserted || !e.dirty) ++dirty_count_;
  e.page = alloc_page(true);  // frees any stale copy
  e.dirty = true;
  lru_.push_front(id);
}

Result<uint64_t> PageCacheImpl::new_page() {
  uint64_t id = next_page_id_++;
  install_fresh(id);
  ++counters_.pages_allocated;
  // On failure the id stays used and the page stays cached and dirty.
  TRY(maybe_evict());
  return id;
}

Status PageCacheImpl::claim_page(uint64_t id) {
  install_fresh(id);
  ++counters_.pages_allocated;
  return maybe_evict();
}

Status PageCacheImpl::copy_page(uint64_t src, uint64_t dst) {
  // Fetching dst may evict src, so the bytes travel through a local copy,
  // unless dst is cached: a hit never evicts, so src's view stays valid.
  const uint8_t* s = TRY(get(src, false));
  if (src != dst && entries_.contains(dst)) {
    uint8_t* d = TRY(get(dst, true));
    std::memcpy(d, s, kPageSize);
    return ok_status();
  }
  uint8_t local[kPageSize];
  std::memcpy(local, s, kPageSize);
  Status st = [&]() -> Status {
    uint8_t* d = TRY(get(dst, true));
    std::memcpy(d, local, kPageSize);
    return ok_status();
  }();
  if (cipher_) secure_wipe(local, sizeof local);
  return st;
}

// ---- dropping pages -------------------------------------------------------

bool PageCacheImpl::drop_entry(uint64_t id) {
  CacheEntry* e = entries_.find(id);
  if (!e) return false;
  if (e->dirty) dec_dirty();
  entries_.erase(id);  // frees (and wipes) the buffer
  lru_.remove(id);
  return true;
}

Status PageCacheImpl::truncate(uint64_t n) {
  id_scratch_.clear();
  entries_.for_each([&](uint64_t id, const CacheEntry&) {
    if (id >= n) id_scratch_.push_back(id);
  });
  for (uint64_t id : id_scratch_) drop_entry(id);
  id_scratch_.clear();
  if (spillway_) spillway_->forget_from(n);
  TRY(io_->set_page_count(n));
  if (n < next_page_id_) next_page_id_ = n;
  return ok_status();
}

void PageCacheImpl::discard_dirty() {
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

// ---- eviction -------------------------------------------------------------

void PageCacheImpl::evict_clean_to_cap() {
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

Status PageCacheImpl::maybe_evict() {
  evict_clean_to_cap();
  while (entries_.size() > cap_pages_) {
    if (spillway_max_bytes_ == 0) return Error::cache_full(cap_pages_);
    if (lru_.empty()) break;
    TRY(spill_tail());
  }
  return ok_status();
}

Status PageCacheImpl::spill_tail() {
  uint64_t w = *lru_.tail();
  CacheEntry* e = entries_.find(w);
  if (!e) {
    lru_.remove(w);
    return ok_status();
  }
  // Written before it leaves the maps: on failure the page is simply still
  // where it was, cached with its flag, at the tail.
  Status st = spill(w, e->page.get());
  if (!st.ok()) {
    lru_.push_back(w);
    return st;
  }
  drop_entry(w);
  return ok_status();
}

Status PageCacheImpl::spill(uint64_t id, const uint8_t* page) {
  const uint8_t* payload = page;
  if (cipher_) {
    unit_scratch_.resize(kSealedStride);
    TRY(cipher_->seal(id, page, unit_scratch_.data()));
    payload = unit_scratch_.data();
  }
  if (!spillway_) {
    if (path_) {
      spillway_ = TRY(Spillway::open_file(*path_, spillway_max_bytes_, record_len()));
    } else {
      spillway_ = Spillway::in_memory(spillway_max_bytes_, record_len());
    }
  }
  return spillway_->put(id, payload);
}

// ---- commit flush -----------------------------------------------------------

Status PageCacheImpl::write_page(uint64_t id, const uint8_t* page) {
  if (!cipher_) return io_->write_page_unit(id, page, kPageSize);
  unit_scratch_.resize(kSealedStride);
  TRY(cipher_->seal(id, page, unit_scratch_.data()));
  return io_->write_page_unit(id, unit_scratch_.data(), kSealedStride);
}

Status PageCacheImpl::flush() {
  dirty_scratch_.clear();
  entries_.for_each([&](uint64_t id, const CacheEntry& e) {
    if (e.dirty) dirty_scratch_.push_back(id);
  });
  for (uint64_t id : dirty_scratch_) {
    CacheEntry* e = entries_.find(id);
    Status st = write_page(id, e->page.get());
    if (!st.ok()) {
      dirty_scratch_.clear();
      return st;
    }
    // Cleared one by one so that a failure part-way leaves the count true.
    e->dirty = false;
    dec_dirty();
  }
  dirty_scratch_.clear();
  dirty_count_ = 0;

  Status drained = drain_spillway();
  id_scratch_.clear();
  if (!drained.ok()) return drained;
  if (spillway_) TRY(spillway_->truncate());
  return io_->sync();
}

Status PageCacheImpl::drain_spillway() {
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

Status PageCacheImpl::drain_one(uint64_t id) {
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
  entries_[id] = CacheEntry{std::move(page), false};
  if (drain_insertion_ == DrainInsertion::Mru) lru_.push_front(id);
  else lru_.push_back(id);
  return ok_status();
}

// ---- settings and diagnostics ----------------------------------------------

void PageCacheImpl::set_cipher(std::unique_ptr<PageCipher> cipher) {
  cipher_ = std::move(cipher);
  if (spillway_ && spillway_->slot_count() == 0) spillway_->set_record_len(record_len());
}

void PageCacheImpl::set_cache_max_bytes(uint64_t bytes) {
  cap_pages_ = pages_for_budget(bytes);
  evict_clean_to_cap();
}

void PageCacheImpl::set_spillway_max_bytes(uint64_t bytes) {
  spillway_max_bytes_ = bytes;
  if (spillway_) spillway_->set_max_bytes(bytes);
}

std::vector<uint64_t> PageCacheImpl::lru_order() const {
  std::vector<uint64_t> out;
  for (auto id = lru_.head(); id; id = lru_.next(*id)) out.push_back(*id);
  return out;
}

// ---- facade ---------------------------------------------------------------

PageCache::PageCache(std::unique_ptr<PageIo> io, const CacheSettings& settings,
                     uint64_t next_page_id)
    : impl_(std::make_unique<PageCacheImpl>(std::move(io), settings, next_page_id)) {}
PageCache::~PageCache() = default;

Result<const uint8_t*> PageCache::get(uint64_t id) {
  const uint8_t* p = TRY(impl_->get(id, false));
  return p;
}
Result<uint8_t*> PageCache::get_mut(uint64_t id) { return impl_->get(id, true); }
Result<uint64_t> PageCache::new_page() { return impl_->new_page(); }
Status PageCache::claim_page(uint64_t id) { return impl_->claim_page(id); }
Status PageCache::copy_page(uint64_t src, uint64_t dst) { return impl_->copy_page(src, dst); }
Status PageCache::truncate(uint64_t n) { return impl_->truncate(n); }
Status PageCache::flush() { return impl_->flush(); }
void PageCache::evict_clean_to_cap() { impl_->evict_clean_to_cap(); }
Status PageCache::maybe_evict() { return impl_->maybe_evict(); }
void PageCache::discard_dirty() { impl_->discard_dirty(); }

PageIo& PageCache::io() { return *impl_->io_; }
void PageCache::set_cipher(std::unique_ptr<PageCipher> cipher) {
  impl_->set_cipher(std::move(cipher));
}
const PageCipher* PageCache::cipher() const { return impl_->cipher_.get(); }

uint64_t PageCache::next_page_id() const { return impl_->next_page_id_; }
void PageCache::set_next_page_id(uint64_t id) { impl_->next_page_id_ = id; }
uint64_t PageCache::dirty_count() const { return impl_->dirty_count_; }
uint64_t PageCache::entry_count() const { return impl_->entry_count(); }
bool PageCache::contains(uint64_t id) const { return impl_->contains(id); }
bool PageCache::is_dirty(uint64_t id) const { return impl_->is_dirty(id); }
const CacheCounters& PageCache::counters() const { return impl_->counters_; }

uint64_t PageCache::cap_pages() const { return impl_->cap_pages_; }
void PageCache::set_cache_max_bytes(uint64_t bytes) { impl_->set_cache_max_bytes(bytes); }
uint64_t PageCache::spillway_max_bytes() const { return impl_->spillway_max_bytes_; }
void PageCache::set_spillway_max_bytes(uint64_t bytes) { impl_->set_spillway_max_bytes(bytes); }
DrainInsertion PageCache::drain_insertion() const { return impl_->drain_insertion_; }
void PageCache::set_drain_insertion(DrainInsertion policy) { impl_->drain_insertion_ = policy; }

bool PageCache::has_spillway() const { return impl_->spillway_ != nullptr; }
uint64_t PageCache::spillway_logical_bytes() const {
  return impl_->spillway_ ? impl_->spillway_->logical_bytes() : 0;
}
uint64_t PageCache::spillway_limit() const {
  return impl_->spillway_ ? impl_->spillway_->max_bytes() : impl_->spillway_max_bytes_;
}
bool PageCache::is_spilled(uint64_t id) const {
  return impl_->spillway_ && impl_->spillway_->has(id);
}
std::vector<uint64_t> PageCache::lru_order() const { return impl_->lru_order(); }

}  // namespace ambrik
