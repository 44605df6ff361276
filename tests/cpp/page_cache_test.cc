#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <tuple>
#include <vector>

#include "crypto/cipher.h"
#include "page.h"
#include "page_cache.h"
#include "page_io.h"
#include "spillway.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::TempDir;

constexpr uint64_t kPage = kPageSize;

using testing::make_page;

void expect_page(const uint8_t* got, uint64_t tag) {
  ASSERT_NE(got, nullptr);
  EXPECT_EQ(std::memcmp(got, make_page(tag).data(), kPage), 0) << "page tagged " << tag;
}

// Writes page `tag` into a cached page and reseals its trailer.
Status put_page(PageCache& c, uint64_t id, uint64_t tag) {
  uint8_t* p = TRY(c.get_mut(id));
  std::memcpy(p, make_page(tag).data(), kPage);
  return ok_status();
}

// A memory database holding `n` committed pages; page i carries tag i.
std::unique_ptr<PageIo> memory_io(uint64_t n) {
  auto io = std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false);
  for (uint64_t i = 0; i < n; ++i) EXPECT_TRUE(io->write_page_unit(i, make_page(i).data(), kPage).ok());
  return io;
}

CacheSettings settings(uint64_t cap_pages, uint64_t spill_bytes = ~uint64_t{0}) {
  CacheSettings s;
  s.cache_max_bytes = cap_pages * kPage;
  s.spillway_max_bytes = spill_bytes;
  return s;
}

std::unique_ptr<PageIo> file_io(const std::string& path, bool fresh = true) {
  int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | (fresh ? O_TRUNC : 0), 0644);
  EXPECT_GE(fd, 0);
  return std::make_unique<PageIo>(std::make_unique<FileStorage>(fd), false);
}

uint64_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : ~uint64_t{0};
}

TEST(PageCache, HitsMissesAndDirtyCount) {
  PageCache c(memory_io(4), settings(8), 4);
  expect_page(c.get(1).value(), 1);
  expect_page(c.get(1).value(), 1);
  EXPECT_EQ(c.counters().cache_misses, 1u);
  EXPECT_EQ(c.counters().cache_hits, 1u);
  EXPECT_FALSE(c.is_dirty(1));

  // A hit hands out the cached buffer itself.
  const uint8_t* a = c.get(1).value();
  uint8_t* b = c.get_mut(1).value();
  EXPECT_EQ(a, b);
  ASSERT_TRUE(c.get_mut(1).ok());
  EXPECT_EQ(c.dirty_count(), 1u);
  EXPECT_EQ(c.lru_order().front(), 1u);

  // Never created and beyond the file: invalid; after new_page it is found.
  auto bad = c.get(4);
  ASSERT_FALSE(bad.ok());
  EXPECT_EQ(bad.error().kind(), ErrorKind::InvalidPageId);
  EXPECT_EQ(bad.error().message(), "invalid page id 4 (out of range for file)");
  EXPECT_FALSE(c.contains(4));
  EXPECT_EQ(c.new_page().value(), 4u);
  EXPECT_EQ(c.next_page_id(), 5u);
  EXPECT_EQ(c.counters().pages_allocated, 1u);
  const uint8_t* fresh = c.get(4).value();
  EXPECT_TRUE(std::all_of(fresh, fresh + kPage, [](uint8_t x) { return x == 0; }));
}

TEST(PageCache, BudgetBelowOnePageIsOnePage) {
  for (uint64_t bytes : {0ull, 1ull, 8191ull}) {
    CacheSettings s;
    s.cache_max_bytes = bytes;
    PageCache c(memory_io(1), s, 1);
    EXPECT_EQ(c.cap_pages(), 1u);
  }
  PageCache c(memory_io(0), settings(4), 0);
  c.set_cache_max_bytes(100);
  EXPECT_EQ(c.cap_pages(), 1u);
}

TEST(PageCache, EvictsCleanPagesFromLruEndFirst) {
  PageCache c(memory_io(6), settings(3), 6);
  ASSERT_TRUE(c.get_mut(0).ok());  // dirty, at the tail once the others arrive
  ASSERT_TRUE(c.get(1).ok());
  ASSERT_TRUE(c.get(2).ok());
  ASSERT_TRUE(c.get(3).ok());  // 4 entries: over budget until the next load
  EXPECT_EQ(c.lru_order(), (std::vector<uint64_t>{3, 2, 1, 0}));
  ASSERT_TRUE(c.get(4).ok());  // drops clean 1, skipping dirty 0
  EXPECT_EQ(c.lru_order(), (std::vector<uint64_t>{4, 3, 2, 0}));
  EXPECT_FALSE(c.has_spillway());

  // Lowering the budget drops clean pages from the LRU end at once.
  c.set_cache_max_bytes(2 * kPage);
  EXPECT_EQ(c.lru_order(), (std::vector<uint64_t>{4, 0}));
  c.set_cache_max_bytes(8 * kPage);
  EXPECT_EQ(c.entry_count(), 2u);
}

TEST(PageCache, SpilledPageComesBackDirtyAsAMiss) {
  PageCache c(memory_io(0), settings(1), 0);
  uint64_t a = c.new_page().value();
  ASSERT_TRUE(put_page(c, a, 10).ok());
  uint64_t b = c.new_page().value();  // a goes to the spillway
  EXPECT_TRUE(c.is_spilled(a));
  EXPECT_FALSE(c.contains(a));
  EXPECT_EQ(c.spillway_logical_bytes(), kPage);
  EXPECT_EQ(c.dirty_count(), 1u);

  uint64_t misses = c.counters().cache_misses;
  expect_page(c.get(a).value(), 10);
  EXPECT_EQ(c.counters().cache_misses, misses + 1);
  EXPECT_TRUE(c.is_dirty(a));
  EXPECT_FALSE(c.is_spilled(a));
  // Room is made before a load, so the budget is overrun by one page until
  // the next eviction point.
  EXPECT_EQ(c.entry_count(), 2u);
  EXPECT_EQ(c.dirty_count(), 2u);
  ASSERT_TRUE(c.maybe_evict().ok());
  EXPECT_TRUE(c.is_spilled(b));
  EXPECT_EQ(c.dirty_count(), 1u);
}

// Writers never set trailers: the cache sets them as pages leave memory,
// for the spillway and for the file, from the page's final bytes.
TEST(PageCache, TrailerIsSetWhenThePageLeavesMemory) {
  PageCache c(memory_io(0), settings(1), 0);
  uint64_t a = c.new_page().value();
  c.get_mut(a).value()[100] = 1;   // no trailer written
  uint64_t b = c.new_page().value();  // a is spilled: the record verifies
  ASSERT_TRUE(c.is_spilled(a));
  c.get_mut(b).value()[200] = 2;
  uint8_t* back = c.get_mut(a).value();  // b spilled, a back and changed again
  EXPECT_EQ(back[100], 1);
  back[101] = 3;
  ASSERT_TRUE(c.flush().ok());
  for (auto [id, off, v] : {std::tuple<uint64_t, size_t, uint8_t>{a, 101, 3}, {b, 200, 2}}) {
    std::vector<uint8_t> unit(kPage);
    ASSERT_TRUE(c.io().read_page_unit_into(id, unit.data()).ok());
    EXPECT_TRUE(page_trailer_ok(unit.data())) << id;
    EXPECT_EQ(unit[off], v);
  }
  // A page changed after a flush gets its new trailer at the next one.
  c.get_mut(b).value()[201] = 4;
  ASSERT_TRUE(c.flush().ok());
  std::vector<uint8_t> unit(kPage);
  ASSERT_TRUE(c.io().read_page_unit_into(b, unit.data()).ok());
  EXPECT_TRUE(page_trailer_ok(unit.data()));
  EXPECT_EQ(unit[201], 4);
}

TEST(PageCache, CacheFullWhenSpillingDisabled) {
  PageCache c(memory_io(3), settings(2, 0), 3);
  ASSERT_TRUE(c.new_page().ok());
  ASSERT_TRUE(c.new_page().ok());
  auto r = c.new_page();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CacheFull);
  EXPECT_EQ(r.error().message(),
            "page cache full: 2 dirty pages held; commit or roll back to free cache");
  // Nothing is left of the failed allocation: a later one gets the same id.
  EXPECT_EQ(c.next_page_id(), 5u);
  EXPECT_FALSE(c.contains(5));
  EXPECT_EQ(c.dirty_count(), 2u);
  // Back at its budget, the cache still lets a load take it one page over.
  EXPECT_TRUE(c.get(0).ok());
  EXPECT_FALSE(c.has_spillway());

  c.discard_dirty();
  EXPECT_EQ(c.entry_count(), 1u);
  EXPECT_EQ(c.dirty_count(), 0u);
  EXPECT_TRUE(c.get(0).ok());
}

TEST(PageCache, SpillwayFullPutsThePageBackAtTheTail) {
  PageCache c(memory_io(0), settings(1, 8192), 0);
  uint64_t a = c.new_page().value();
  uint64_t b = c.new_page().value();  // a spilled: the one record allowed
  EXPECT_TRUE(c.is_spilled(a));
  auto r = c.new_page();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::SpillwayFull);
  EXPECT_EQ(r.error().message(),
            "spillway full: 8192-byte limit reached; commit or roll back to free cache and "
            "spillway");
  EXPECT_TRUE(c.contains(b));
  EXPECT_TRUE(c.is_dirty(b));
  EXPECT_FALSE(c.is_spilled(b));
  EXPECT_EQ(c.lru_order().back(), b);
  EXPECT_EQ(c.dirty_count(), 1u);  // the failed page is gone
  EXPECT_EQ(c.spillway_logical_bytes(), kPage);
}

TEST(PageCache, FailedSpillFileKeepsThePageCached) {
  TempDir dir;
  std::string db = dir.file("db");
  std::filesystem::create_directory(db + ".spillway");  // cannot be opened read-write
  CacheSettings s = settings(1);
  s.path = db;
  PageCache c(file_io(db), s, 0);
  uint64_t a = c.new_page().value();
  ASSERT_TRUE(put_page(c, a, 3).ok());
  auto r = c.new_page();
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_TRUE(c.is_dirty(a));
  EXPECT_FALSE(c.is_spilled(a));
  EXPECT_EQ(c.lru_order().back(), a);
  expect_page(c.get(a).value(), 3);
}

TEST(PageCache, ForgetFromDropsCachedAndSpilledIdsAndLeavesTheFile) {
  PageCache c(memory_io(2), settings(2), 2);
  for (int i = 0; i < 4; ++i) ASSERT_TRUE(c.new_page().ok());  // ids 2..5
  ASSERT_TRUE(c.get(0).ok());
  EXPECT_TRUE(c.is_spilled(2));
  c.forget_from(3);
  EXPECT_EQ(c.next_page_id(), 3u);
  for (uint64_t id : {3, 4, 5}) {
    EXPECT_FALSE(c.contains(id)) << id;
    EXPECT_FALSE(c.is_spilled(id)) << id;
  }
  EXPECT_EQ(c.dirty_count(), (c.is_dirty(2) ? 1u : 0u));
  EXPECT_EQ(c.io().page_count(), 2u);
  EXPECT_EQ(c.io().storage_length().value(), 2 * kPage);
  EXPECT_TRUE(c.get(2).ok());  // kept, from cache or spillway

  c.set_next_page_id(2);
  c.forget_from(3);
  EXPECT_EQ(c.next_page_id(), 2u);  // never raised
}

TEST(PageCache, FlushDrainsInBatchesAndEmptiesTheSpillFile) {
  TempDir dir;
  std::string db = dir.file("db");
  CacheSettings s = settings(2);
  s.path = db;
  PageCache c(file_io(db), s, 0);
  // A flush with nothing to write still syncs.
  ASSERT_TRUE(c.flush().ok());
  EXPECT_EQ(c.io().fsync_calls(), 1u);
  EXPECT_FALSE(c.has_spillway());

  for (uint64_t i = 0; i < 7; ++i) {
    uint64_t id = c.new_page().value();
    ASSERT_TRUE(put_page(c, id, 100 + id).ok());
  }
  EXPECT_EQ(c.spillway_logical_bytes(), 5 * kPage);
  EXPECT_GT(file_size(db + ".spillway"), 0u);
  ASSERT_TRUE(c.flush().ok());
  EXPECT_EQ(c.dirty_count(), 0u);
  EXPECT_EQ(c.spillway_logical_bytes(), 0u);
  EXPECT_EQ(file_size(db + ".spillway"), 0u);
  EXPECT_EQ(c.io().fsync_calls(), 2u);
  EXPECT_LE(c.entry_count(), 2u);
  for (uint64_t id : c.lru_order()) EXPECT_FALSE(c.is_dirty(id));

  // Everything reached the file.
  PageCache reread(file_io(db, false), settings(8), 7);
  for (uint64_t id = 0; id < 7; ++id) expect_page(reread.get(id).value(), 100 + id);
}

TEST(PageCache, DrainInsertionPolicies) {
  for (DrainInsertion policy : {DrainInsertion::Mru, DrainInsertion::LruTail}) {
    CacheSettings s = settings(3);
    s.drain_insertion = policy;
    PageCache c(memory_io(0), s, 0);
    // More pages drained than the cache holds.
    for (uint64_t i = 0; i < 8; ++i) ASSERT_TRUE(put_page(c, c.new_page().value(), i).ok());
    for (uint64_t id : {0, 1, 2, 3, 4}) ASSERT_TRUE(c.is_spilled(id));
    ASSERT_TRUE(c.flush().ok());
    std::vector<uint64_t> order = c.lru_order();
    if (policy == DrainInsertion::Mru) {
      // The last drained pages stay, in drain order, and displace the
      // transaction's own.
      EXPECT_EQ(order, (std::vector<uint64_t>{4, 3, 2}));
    } else {
      // The drained pages go first; the recent working set survives.
      EXPECT_EQ(order, (std::vector<uint64_t>{7, 6, 5}));
    }
    for (uint64_t id = 0; id < 8; ++id) expect_page(c.get(id).value(), id);
  }
}

TEST(PageCache, BadTrailerOnLoadIsAChecksumMismatch) {
  auto io = memory_io(2);
  std::vector<uint8_t> bad = make_page(1);
  bad[100] ^= 1;
  ASSERT_TRUE(io->write_page_unit(1, bad.data(), kPage).ok());
  PageCache c(std::move(io), settings(4), 2);
  auto r = c.get(1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::ChecksumMismatch);
  EXPECT_EQ(r.error().message(), "checksum mismatch on page 1");
  EXPECT_FALSE(c.contains(1));
  EXPECT_TRUE(c.get(0).ok());
}

TEST(PageCache, CopyClaimAndDiscard) {
  PageCache c(memory_io(3), settings(1), 3);
  // With a one-page budget, fetching the destination evicts the source.
  uint64_t dst = c.new_page().value();
  ASSERT_TRUE(c.copy_page(0, dst).ok());
  expect_page(c.get(dst).value(), 0);
  ASSERT_TRUE(c.copy_page(2, 1).ok());
  expect_page(c.get(1).value(), 2);
  EXPECT_TRUE(c.is_dirty(1));

  ASSERT_TRUE(c.flush().ok());
  ASSERT_TRUE(c.get(2).ok());
  ASSERT_TRUE(c.claim_page(2).ok());  // stale contents replaced by zeros
  const uint8_t* z = c.get(2).value();
  EXPECT_TRUE(std::all_of(z, z + kPage, [](uint8_t x) { return x == 0; }));
  EXPECT_TRUE(c.is_dirty(2));
  EXPECT_EQ(c.counters().pages_allocated, 2u);

  // Rollback: dirty pages and the spillway go, the file's pages stay.
  uint64_t fresh = c.new_page().value();  // spills page 2
  EXPECT_TRUE(c.is_spilled(2));
  c.discard_dirty();
  EXPECT_EQ(c.dirty_count(), 0u);
  EXPECT_EQ(c.entry_count(), 0u);
  EXPECT_EQ(c.spillway_logical_bytes(), 0u);
  expect_page(c.get(2).value(), 2);  // the committed contents again
  EXPECT_EQ(c.get(fresh).error().kind(), ErrorKind::InvalidPageId);
}

TEST(PageCache, MemoryDatabaseSpillsWithoutAFile) {
  TempDir dir;
  auto cwd = std::filesystem::current_path();
  std::filesystem::current_path(dir.path());
  {
    PageCache c(memory_io(0), settings(1), 0);
    for (int i = 0; i < 4; ++i) ASSERT_TRUE(c.new_page().ok());
    EXPECT_EQ(c.spillway_logical_bytes(), 3 * kPage);
    ASSERT_TRUE(c.flush().ok());
  }
  std::filesystem::current_path(cwd);
  EXPECT_TRUE(std::filesystem::is_empty(dir.path()));
}

KeyBytes test_key() {
  KeyBytes k;
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(i * 7 + 1);
  return k;
}

std::unique_ptr<PageIo> sealed(std::unique_ptr<PageIo> io) {
  io->set_sealed_stride();
  return io;
}

bool contains_bytes(const std::vector<uint8_t>& hay, const uint8_t* needle, size_t n) {
  return std::search(hay.begin(), hay.end(), needle, needle + n) != hay.end();
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::vector<uint8_t> out(file_size(path));
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  EXPECT_TRUE(pread_full(fd, 0, out.data(), out.size()).ok());
  ::close(fd);
  return out;
}

TEST(PageCache, EncryptedRoundTripThroughSpillAndFlush) {
  TempDir dir;
  std::string db = dir.file("db");
  KeyBytes key = test_key();
  CacheSettings s = settings(1);
  s.path = db;
  {
    PageCache c(sealed(file_io(db)), s, 0);
    c.set_cipher(std::make_unique<PageCipher>(key.data()));
    for (uint64_t i = 0; i < 4; ++i) ASSERT_TRUE(put_page(c, c.new_page().value(), 50 + i).ok());
    EXPECT_EQ(c.spillway_logical_bytes(), 3 * kSealedStride);
    std::vector<uint8_t> spill = read_file(db + ".spillway");
    for (uint64_t i = 0; i < 3; ++i)
      EXPECT_FALSE(contains_bytes(spill, make_page(50 + i).data(), 64)) << "plaintext spilled";
    expect_page(c.get(1).value(), 51);  // rehydrated and opened
    ASSERT_TRUE(c.flush().ok());
  }
  EXPECT_EQ(file_size(db), 4 * kSealedStride);
  PageCache c(sealed(file_io(db, false)), settings(8), 4);
  c.set_cipher(std::make_unique<PageCipher>(key.data()));
  for (uint64_t i = 0; i < 4; ++i) expect_page(c.get(i).value(), 50 + i);
}

TEST(PageCache, UnitSealedForAnotherIdFailsToOpen) {
  KeyBytes key = test_key();
  PageCipher cipher(key.data());
  auto io = sealed(std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false));
  std::vector<uint8_t> unit(kSealedStride);
  ASSERT_TRUE(cipher.seal(1, make_page(9).data(), unit.data()).ok());
  ASSERT_TRUE(io->write_page_unit(0, unit.data(), unit.size()).ok());
  ASSERT_TRUE(io->write_page_unit(1, unit.data(), unit.size()).ok());
  PageCache c(std::move(io), settings(4), 2);
  c.set_cipher(std::make_unique<PageCipher>(key.data()));
  auto r = c.get(0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::DecryptionFailed);
  EXPECT_EQ(r.error().message(), "decryption/authentication failed for page 0");
  EXPECT_FALSE(c.contains(0));
  expect_page(c.get(1).value(), 9);
}

}  // namespace
}  // namespace ambrik
