// PageCache: the only road by which the engine reads and writes pages.
//
// Holds plaintext 8192-byte pages keyed by page id, tracks which are dirty
// (written by the running transaction), keeps LRU order, stays near a page
// budget by dropping clean pages and spilling dirty ones to the Spillway,
// hands out new page ids at the allocation frontier, and at commit writes
// every dirty and spilled page to the file (`flush`).
//
// Guarantees:
//  - dirty_count() equals the number of dirty entries;
//  - every cached id is in the LRU index; a page id is never both cached and
//    spilled;
//  - nothing reaches the database file before `flush`.
//
// Views returned by get/get_mut are valid only until the next call into the
// cache (any call may evict). Callers copy what they need first.
//
// Trailers: the cache checks a page's trailer on every load from the file,
// and computes it once when a changed page leaves memory (`finish_trailer`,
// at flush and spill), so the code that formats or changes a page never
// sets it. A dirty page's trailer bytes are therefore stale while it is
// cached; nothing reads them there.
//
// Ownership: the cache owns the PageIo (and through it the database
// storage), the optional PageCipher, the optional Spillway (created on the
// first spill, kept for the life of the cache), one 8192-byte heap buffer
// per cached page and a small pool of buffers of dropped pages kept for the
// next ones. For an encrypted database cached pages are decrypted data, so
// every page buffer is wiped when its page is dropped, before it is pooled
// or freed.
//
// Sources: page_cache.cc (lookups, new pages, truncation, settings) and
// page_cache_evict.cc (eviction, spilling, the commit flush).
#pragma once

#include <sys/uio.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "lru_index.h"
#include "page.h"
#include "page_io.h"
#include "result.h"
#include "spillway.h"
#include "u64_map.h"

namespace ambrik {

// Where pages drained from the spillway at commit re-enter the LRU order.
enum class DrainInsertion : uint8_t { LruTail = 0, Mru = 1 };

struct CacheSettings {
  uint64_t cache_max_bytes = 8388608;
  uint64_t spillway_max_bytes = 8388608ull * 1024;
  DrainInsertion drain_insertion = DrainInsertion::LruTail;
  std::optional<std::string> path;  // names the spill file "<path>.spillway"
};

struct CacheCounters {
  uint64_t cache_hits = 0;
  uint64_t cache_misses = 0;
  uint64_t pages_allocated = 0;
};

// Buffers of dropped pages, kept for the next pages instead of going back
// to the heap (at most kMaxFree of them, so the pool stays small against
// the cache budget). With `wipe` set every buffer is wiped as it comes
// back, so a pooled buffer never holds decrypted data.
class PagePool {
 public:
  static constexpr size_t kMaxFree = 32;
  PagePool() { free_.reserve(kMaxFree); }
  PagePool(const PagePool&) = delete;
  PagePool& operator=(const PagePool&) = delete;
  ~PagePool();
  // An 8192-byte buffer, uninitialised unless `zeroed`.
  uint8_t* take(bool zeroed);
  void give(uint8_t* p) noexcept;
  void set_wipe(bool wipe) { wipe_ = wipe; }
  size_t free_count() const { return free_.size(); }

 private:
  std::vector<uint8_t*> free_;
  bool wipe_ = false;
};

// Hands a page buffer back to its pool.
struct PageFree {
  PagePool* pool = nullptr;
  void operator()(uint8_t* p) const noexcept { pool->give(p); }
};
using PageBuf = std::unique_ptr<uint8_t[], PageFree>;

class PageCache {
 public:
  // `next_page_id` is the allocation frontier (the committed page count).
  PageCache(std::unique_ptr<PageIo> io, const CacheSettings& settings, uint64_t next_page_id);
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  Result<const uint8_t*> get(uint64_t id) {
    if (const uint8_t* p = hit(id, false)) return p;
    const uint8_t* p = TRY(lookup(id, false));
    return p;
  }
  // The cached bytes of page `id`, or null when it is not in memory. Loads
  // nothing, counts nothing and leaves the LRU order alone: for hints only
  // (what it shows is unchecked). Valid until the next cache call.
  const uint8_t* peek(uint64_t id) const {
    const CacheEntry* e = entries_.find(id);
    return e && e->lru != LruIndex::kNoSlot ? e->page.get() : nullptr;
  }
  Result<uint8_t*> get_mut(uint64_t id) {
    if (uint8_t* p = hit(id, true)) return p;
    return lookup(id, true);
  }
  // A zero-filled dirty page at the frontier. On an eviction error nothing
  // is left of it: the page is dropped and the frontier given back, so that
  // a failed allocation can never leave a page that nothing accounts for.
  Result<uint64_t> new_page();
  // A zero-filled dirty page under `id`, which the free map knows is free.
  // On an eviction error the page is dropped again (see unclaim).
  Status claim_page(uint64_t id);
  // Forgets page `id` taken by claim_page when the step that was to use it
  // failed. REQUIRES: nothing refers to the page.
  void unclaim(uint64_t id) {
    if (spillway_) spillway_->forget(id);
    drop_entry(id);
  }
  Status copy_page(uint64_t src, uint64_t dst) {
    TRY(copy_into(src, dst));
    return ok_status();
  }
  // copy_page, returning the destination's writable view.
  Result<uint8_t*> copy_into(uint64_t src, uint64_t dst);
  // Forgets ids >= n (cache and spillway) and lowers the allocation
  // frontier to n. The file is left alone: pages beyond the committed count
  // never reach it before a commit, and a commit counts the frontier, not
  // the file's length.
  void forget_from(uint64_t n);
  // Longest run of pages that may be read past the cache at consecutive ids
  // from `first`: at most `limit` and max_direct_run(), each id neither
  // cached nor spilled and inside the file.
  uint64_t uncached_run(uint64_t first, uint64_t limit) const;
  uint64_t max_direct_run() const { return cipher_ ? kMaxDirectRunSealed : kMaxDirectRunPlain; }
  // Reads `count` pages from `first` straight from the file, without caching
  // them, for data that is consumed once (a large value): page k's 8192
  // plaintext bytes land scattered over segs[k * per_page, (k + 1) *
  // per_page), whose lengths sum to 8192 (at most 8 of them reach below
  // the trailer). Pages are checked in order: a
  // trailer that does not match gives ChecksumMismatch naming the page (a
  // sealed unit that does not open, DecryptionFailed), then `visit(k)` runs;
  // when it returns false the pages after k are dropped unchecked, so a run
  // read on speculation never reports pages that turn out not to be wanted.
  // Each visited page counts as a cache miss.
  // REQUIRES: uncached_run(first, count) == count.
  Status read_uncached(uint64_t first, size_t count, const struct iovec* segs, size_t per_page,
                       const std::function<Result<bool>(size_t)>& visit);
  // Writes dirty and spilled pages, empties the spillway, syncs. Cached
  // pages go out in ascending id order, each run of consecutive ids in one
  // vectored write. With `hold_free_map`, cached dirty free-map pages stay
  // dirty and unwritten: a caller that is about to change them again (the
  // commit's mark-free pass) writes them once, with its own flush, instead
  // of twice. Such a caller must flush again before it writes a superblock.
  // Without `sync` the writes are left to the system (the caller syncs
  // later, or not at all).
  Status flush(bool hold_free_map = false, bool sync = true);
  void evict_clean_to_cap();
  Status maybe_evict();
  // Rollback: drops every dirty entry (clean ones stay), then empties the
  // spillway, ignoring its errors.
  void discard_dirty();

  PageIo& io() { return *io_; }
  // REQUIRES: no page cached yet (buffers allocated earlier would not be
  // wiped) and no live spill record.
  void set_cipher(std::unique_ptr<PageCipher> cipher);
  const PageCipher* cipher() const { return cipher_.get(); }
  // The database file's path, which names the spill file; absent in memory.
  const std::optional<std::string>& path() const { return path_; }

  uint64_t next_page_id() const { return next_page_id_; }
  void set_next_page_id(uint64_t id) { next_page_id_ = id; }
  uint64_t dirty_count() const { return dirty_count_; }
  uint64_t entry_count() const { return entries_.size(); }
  bool contains(uint64_t id) const { return entries_.contains(id); }  // cached (not spilled)
  bool is_dirty(uint64_t id) const {
    const CacheEntry* e = entries_.find(id);
    return e && e->dirty;
  }
  const CacheCounters& counters() const { return counters_; }

  uint64_t cap_pages() const { return cap_pages_; }
  void set_cache_max_bytes(uint64_t bytes);  // then evict_clean_to_cap
  uint64_t spillway_max_bytes() const { return spillway_max_bytes_; }
  void set_spillway_max_bytes(uint64_t bytes);
  DrainInsertion drain_insertion() const { return drain_insertion_; }
  void set_drain_insertion(DrainInsertion policy) { drain_insertion_ = policy; }

  bool has_spillway() const { return spillway_ != nullptr; }
  uint64_t spillway_logical_bytes() const {  // slots * record_len
    return spillway_ ? spillway_->logical_bytes() : 0;
  }
  uint64_t spillway_limit() const {
    return spillway_ ? spillway_->max_bytes() : spillway_max_bytes_;
  }
  bool is_spilled(uint64_t id) const { return spillway_ && spillway_->has(id); }

  // LRU order, most recently used first (tests and diagnostics).
  std::vector<uint64_t> lru_order() const;

 private:
  static constexpr uint64_t kMaxDirectRunPlain = 256;
  static constexpr uint64_t kMaxDirectRunSealed = 32;
  // A spill takes at most 1/kSpillShare of the cache's pages at once.
  static constexpr uint64_t kSpillShare = 16;

  struct CacheEntry {
    PageBuf page;  // exactly kPageSize bytes, plaintext
    bool dirty = false;
    // The trailer bytes match the page: true for a page loaded or just
    // sealed, false from the first get_mut on.
    bool trailer_ok = true;
    // The page's slot in lru_ once a lookup or install has learnt it, so
    // that a hit moves the page without a second hash lookup. Never stale:
    // a page leaves lru_ only together with its entry.
    uint32_t lru = LruIndex::kNoSlot;
  };

  // The one place trailers are computed: every page written to the file or
  // the spillway passes through here first, after its last change.
  static void finish_trailer(CacheEntry& e) {
    if (!e.trailer_ok) page_trailer_set(e.page.get());
    e.trailer_ok = true;
  }

  // get and get_mut: loads on a miss, moves the page to the LRU front and,
  // when `mark_dirty`, marks it dirty.
  Result<uint8_t*> lookup(uint64_t id, bool mark_dirty);
  // lookup's usual case, inline: a cached page whose LRU slot is known.
  // Null, with nothing counted or moved, otherwise.
  uint8_t* hit(uint64_t id, bool mark_dirty) {
    CacheEntry* e = entries_.find(id);
    if (!e || e->lru == LruIndex::kNoSlot) return nullptr;
    ++counters_.cache_hits;
    lru_.touch(e->lru);
    if (mark_dirty) mark_changed(*e);
    return e->page.get();
  }
  void mark_changed(CacheEntry& e) {
    e.trailer_ok = false;
    if (!e.dirty) {
      e.dirty = true;
      ++dirty_count_;
    }
  }
  Status load_page(uint64_t id);
  Status load_from_spillway(uint64_t id);
  Status load_from_file(uint64_t id);
  // Installs a zero-filled dirty page under `id` at the LRU front,
  // replacing any cached or spilled copy (whose contents are stale).
  void install_fresh(uint64_t id);
  // Drops the entry of `id` from entries_ and lru_, wiping and freeing its
  // buffer. False when `id` was not cached.
  bool drop_entry(uint64_t id);
  // Writes the LRU tail to the spillway, then drops it from the cache. On
  // failure the page stays cached, flag unchanged, at the LRU tail.
  // Several of them (see kSpillShare) with one vectored write.
  Status spill_tail();
  Status spill(const uint64_t* ids, const uint8_t* const* payloads, size_t n);
  // Writes the dirty cached pages listed in dirty_scratch_ (ascending),
  // each run of consecutive ids with one write, and marks them clean.
  Status write_dirty_runs();
  Status drain_spillway();
  // Puts a page just written from the spillway back into the cache (clean)
  // as the drain-insertion policy says.
  Status recache_drained(uint64_t id, const uint8_t* payload);
  // An 8192-byte buffer from the pool, zero-filled when `zeroed`, else
  // uninitialised (about to be overwritten by a read).
  PageBuf alloc_page(bool zeroed) { return PageBuf(pool_.take(zeroed), PageFree{&pool_}); }
  void dec_dirty() {
    if (dirty_count_ > 0) --dirty_count_;
  }
  uint64_t record_len() const { return cipher_ ? kSealedStride : kPageSize; }

  // Invariants (between calls):
  //  - dirty_count_ equals the number of entries with `dirty` set;
  //  - entries_ and lru_ hold the same ids;
  //  - no id is both in entries_ and mapped in the spillway;
  //  - the scratch lists are empty (their capacity is kept).
  // Declared before every holder of page buffers, so it outlives them.
  PagePool pool_;
  std::unique_ptr<PageIo> io_;
  std::unique_ptr<PageCipher> cipher_;
  std::unique_ptr<Spillway> spillway_;
  std::optional<std::string> path_;
  CacheCounters counters_;
  uint64_t dirty_count_ = 0;
  uint64_t cap_pages_ = 1;
  uint64_t spillway_max_bytes_ = 0;
  uint64_t next_page_id_ = 0;
  DrainInsertion drain_insertion_ = DrainInsertion::LruTail;
  LruIndex lru_;
  std::vector<uint64_t> dirty_scratch_;
  std::vector<uint64_t> id_scratch_;   // truncate and drain batches
  std::vector<uint64_t> hash_scratch_;  // read_uncached: a hash per page
  std::vector<uint8_t> unit_scratch_;  // sealed units (ciphertext only)
  std::vector<const uint8_t*> run_scratch_;  // the units of one run
  std::vector<uint8_t> sealed_read_scratch_;  // sealed units read past the cache
  std::vector<uint64_t> spill_ids_;    // one spill batch
  std::vector<uint8_t> drain_scratch_;  // spilled records of one drain batch
  U64Map<CacheEntry> entries_;
};

}  // namespace ambrik
