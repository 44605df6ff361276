// Statistics and activity counters of an open database.
#include "transaction/manager_impl.h"

namespace ambrik {

Result<StatsValues> TransactionManagerImpl::stats() {
  StatsValues s;
  s.handle_count = TRY(handles()).size();
  s.total_pages = cache->io().page_count();
  // Reported in plaintext pages, also for sealed files.
  s.file_size_bytes = sat_mul(s.total_pages, kPageSize);
  if (cache->has_spillway()) {
    s.spillway_logical_bytes = cache->spillway_logical_bytes();
    s.spillway_max_bytes = cache->spillway_limit();
  }
  return s;
}

Result<CounterValues> TransactionManagerImpl::counters() {
  const CacheCounters& c = cache->counters();
  return CounterValues{c.cache_hits, c.cache_misses, c.pages_allocated,
                       cache->io().fsync_calls()};
}

Result<CommittedView> TransactionManagerImpl::committed_view() {
  const uint32_t written = crypto ? kFormatVersionEncrypted : kFormatVersionPlain;
  if (newer_format_version) return Error::unsupported_format_version(*newer_format_version, written);
  CommittedView v;
  Superblock& sb = v.superblock;
  sb.format_version = written;
  sb.handle_root = committed.handle_root;
  sb.membership_root = committed.membership_root;
  sb.page_count = committed_page_count;
  sb.next_handle = committed.next_handle;
  sb.named_roots = committed.named_roots;
  sb.superblock_count = superblock_count;
  sb.encryption = crypto;
  v.cache = cache.get();
  v.cipher = cache->cipher();
  v.units = cache->io().page_count();
  v.database_path = cache->path();
  return v;
}

}  // namespace ambrik
