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
// The trailer of a page is checked on every load from the file; the cache
// never computes trailers (the code that formats a page does).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "page_io.h"
#include "result.h"

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

class PageCacheImpl;

class PageCache {
 public:
  // `next_page_id` is the allocation frontier (the committed page count).
  PageCache(std::unique_ptr<PageIo> io, const CacheSettings& settings, uint64_t next_page_id);
  ~PageCache();
  PageCache(const PageCache&) = delete;
  PageCache& operator=(const PageCache&) = delete;

  Result<const uint8_t*> get(uint64_t id);
  Result<uint8_t*> get_mut(uint64_t id);
  // A zero-filled dirty page at the frontier. On an eviction error the id
  // stays used (not handed out again) and the page stays cached and dirty.
  Result<uint64_t> new_page();
  // A zero-filled dirty page under `id`, which the free map knows is free.
  Status claim_page(uint64_t id);
  Status copy_page(uint64_t src, uint64_t dst);
  // Forgets ids >= n (cache and spillway), sets the storage to n units.
  Status truncate(uint64_t n);
  // Writes dirty and spilled pages, empties the spillway, syncs.
  Status flush();
  void evict_clean_to_cap();
  Status maybe_evict();
  // Rollback: drops every dirty entry (clean ones stay), then empties the
  // spillway, ignoring its errors.
  void discard_dirty();

  PageIo& io();
  void set_cipher(std::unique_ptr<PageCipher> cipher);
  const PageCipher* cipher() const;

  uint64_t next_page_id() const;
  void set_next_page_id(uint64_t id);
  uint64_t dirty_count() const;
  uint64_t entry_count() const;
  bool contains(uint64_t id) const;  // cached (not spilled)
  bool is_dirty(uint64_t id) const;
  const CacheCounters& counters() const;

  uint64_t cap_pages() const;
  void set_cache_max_bytes(uint64_t bytes);  // then evict_clean_to_cap
  uint64_t spillway_max_bytes() const;
  void set_spillway_max_bytes(uint64_t bytes);
  DrainInsertion drain_insertion() const;
  void set_drain_insertion(DrainInsertion policy);

  bool has_spillway() const;
  uint64_t spillway_logical_bytes() const;  // slots * record_len
  uint64_t spillway_limit() const;
  bool is_spilled(uint64_t id) const;

  // LRU order, most recently used first (tests and diagnostics).
  std::vector<uint64_t> lru_order() const;

 private:
  std::unique_ptr<PageCacheImpl> impl_;
};

}  // namespace ambrik
