// PageCacheImpl: the state and algorithms behind PageCache (see
// page_cache.h for the contract). Kept apart so the public header stays
// free of the map, LRU and spillway types.
//
// Ownership: the impl owns the PageIo (and through it the database
// storage), the optional PageCipher, the optional Spillway (created on the
// first spill, kept for the life of the cache) and one 8192-byte heap buffer
// per cached page. For an encrypted database cached pages are decrypted
// data, so every page buffer is wiped before it is freed.
//
// Invariants (between calls):
//  - dirty_count_ equals the number of entries with `dirty` set;
//  - entries_ and lru_ hold the same ids;
//  - no id is both in entries_ and mapped in the spillway;
//  - the scratch lists are empty (their capacity is kept).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "lru_index.h"
#include "page_cache.h"
#include "page_io.h"
#include "result.h"
#include "spillway.h"
#include "u64_map.h"

namespace ambrik {

// Frees a page buffer, wiping it first when it may hold decrypted data.
struct PageFree {
  bool wipe = false;
  void operator()(uint8_t* p) const noexcept;
};
using PageBuf = std::unique_ptr<uint8_t[], PageFree>;

struct CacheEntry {
  PageBuf page;  // exactly kPageSize bytes, plaintext
  bool dirty = false;
};

class PageCacheImpl {
 public:
  PageCacheImpl(std::unique_ptr<PageIo> io, const CacheSettings& settings, uint64_t next_page_id);
  ~PageCacheImpl();

  Result<uint8_t*> get(uint64_t id, bool mark_dirty);
  Result<uint64_t> new_page();
  Status claim_page(uint64_t id);
  Status copy_page(uint64_t src, uint64_t dst);
  Status truncate(uint64_t n);
  Status flush();
  void evict_clean_to_cap();
  Status maybe_evict();
  void discard_dirty();

  // REQUIRES: no page cached yet (buffers allocated earlier would not be
  // wiped) and no live spill record.
  void set_cipher(std::unique_ptr<PageCipher> cipher);
  void set_cache_max_bytes(uint64_t bytes);
  void set_spillway_max_bytes(uint64_t bytes);
  std::vector<uint64_t> lru_order() const;
  uint64_t entry_count() const { return entries_.size(); }
  bool contains(uint64_t id) const { return entries_.contains(id); }
  bool is_dirty(uint64_t id) const {
    const CacheEntry* e = entries_.find(id);
    return e && e->dirty;
  }

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

 private:
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
  Status spill_tail();
  Status spill(uint64_t id, const uint8_t* page);
  // Writes one dirty cached page as its unit (sealed when encrypted).
  Status write_page(uint64_t id, const uint8_t* page);
  Status drain_spillway();
  Status drain_one(uint64_t id);
  // A fresh 8192-byte buffer, zero-filled when `zeroed`, else uninitialised
  // (about to be overwritten by a read).
  PageBuf alloc_page(bool zeroed) const;
  void dec_dirty() {
    if (dirty_count_ > 0) --dirty_count_;
  }
  uint64_t record_len() const { return cipher_ ? kSealedStride : kPageSize; }

  LruIndex lru_;
  std::vector<uint64_t> dirty_scratch_;
  std::vector<uint64_t> id_scratch_;  // truncate and drain batches
  std::vector<uint8_t> unit_scratch_;  // one sealed unit (ciphertext only)
  U64Map<CacheEntry> entries_;
};

}  // namespace ambrik
