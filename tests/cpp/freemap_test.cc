#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <unordered_set>
#include <vector>

#include "freemap_recycle.h"
#include "freemap_tree.h"
#include "page.h"
#include "page_cache.h"
#include "page_io.h"
#include "test_peer.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::memory_io;
using testing::must;

// A memory database with the two superblock slots in front.
struct Db {
  PageCache cache{memory_io(), CacheSettings{}, 2};
  FreemapRecycle recycle;
  FreeMapRoot committed;
  FreeMapRoot working;

  void begin() {
    working = committed;
    recycle.on_begin();
  }
  void commit(const std::vector<uint64_t>& pending) {
    for (uint64_t p : pending) must(recycle.mark_free_committed_path(cache, working, p));
    must(recycle.settle(cache, working));
    committed = working;
    recycle.on_commit();
  }
  void rollback() {
    working = committed;
    recycle.on_rollback();
  }
  uint64_t alloc() { return must(recycle.alloc_page(cache, working)); }
  bool is_free(const FreeMapRoot& fm, uint64_t p) {
    return must(is_marked_free(cache, fm.root, fm.depth, p));
  }
  uint64_t child(uint64_t node, uint64_t slot) {
    return load_u64(must(cache.get(node)) + kFreeMapBodyOffset + 8 * slot);
  }
};

std::optional<uint64_t> scan(Db& db, const FreeMapRoot& fm, uint64_t bound, uint64_t base = 0) {
  return must(FreeMapTree::scan_node(db.cache, fm.root, fm.depth, base, bound));
}

TEST(FreeMapTree, CoverageSaturatesAtDepthFive) {
  EXPECT_EQ(freemap_coverage(0), 65344u);
  EXPECT_EQ(freemap_coverage(1), 66716224u);
  EXPECT_EQ(freemap_coverage(2), 68117264704u);
  EXPECT_EQ(freemap_coverage(3), 69547727262784u);
  EXPECT_EQ(freemap_coverage(4), 71008229535302464u);
  EXPECT_EQ(freemap_coverage(5), kNoPage);
  EXPECT_EQ(freemap_span(1), 65344u);
  EXPECT_EQ(freemap_span(5), freemap_coverage(4));
}

TEST(FreeMapTree, ScanIsFirstFitFromTheBound) {
  Db db;
  db.begin();
  for (uint64_t p : {0, 5, 70}) must(db.recycle.mark_free_committed_path(db.cache, db.working, p));
  ASSERT_EQ(db.working.depth, 0u);

  EXPECT_EQ(scan(db, db.working, 0), 0u);
  // A bound inside byte 0 masks only the bits below it.
  EXPECT_EQ(scan(db, db.working, 3), 5u);
  EXPECT_EQ(scan(db, db.working, 5), 5u);
  EXPECT_EQ(scan(db, db.working, 6), 70u);
  EXPECT_EQ(scan(db, db.working, 71), std::nullopt);
  EXPECT_EQ(scan(db, db.working, 65344), std::nullopt);
  EXPECT_EQ(scan(db, db.working, kNoPage), std::nullopt);
  // Results are relative to the node's base; a bound below it counts from 0.
  EXPECT_EQ(scan(db, db.working, 1003, 1000), 1005u);
  EXPECT_EQ(scan(db, db.working, 7, 1000), 1000u);

  // Children 1 and 3 exist, child 2 is missing and must be skipped.
  must(db.recycle.mark_free_committed_path(db.cache, db.working, 65344 + 2));
  must(db.recycle.mark_free_committed_path(db.cache, db.working, 3 * 65344 + 1));
  ASSERT_EQ(db.working.depth, 1u);
  EXPECT_EQ(db.child(db.working.root, 2), 0u);
  EXPECT_EQ(scan(db, db.working, 71), 65346u);
  EXPECT_EQ(scan(db, db.working, 65347), 3 * 65344 + 1u);
  EXPECT_EQ(scan(db, db.working, 3 * 65344 + 2), std::nullopt);
}

TEST(FreeMapTree, EmptyLeafFindsNothing) {
  Db db;
  FreeMapTree tree;
  PageAllocFn alloc = [&] { return db.cache.new_page(); };
  must(tree.grow_to_cover(db.cache, 0, alloc));
  EXPECT_EQ(must(tree.find_free(db.cache, 0)), std::nullopt);
  EXPECT_EQ(must(FreeMapTree().find_free(db.cache, 0)), std::nullopt);
}

TEST(FreeMapTree, MarkingPage65344GrowsToDepthOne) {
  Db db;
  db.begin();
  must(db.recycle.mark_free_committed_path(db.cache, db.working, 7));
  uint64_t old_leaf = db.working.root;
  ASSERT_EQ(db.working.depth, 0u);

  must(db.recycle.mark_free_committed_path(db.cache, db.working, 65344));
  ASSERT_EQ(db.working.depth, 1u);
  const uint8_t* root = must(db.cache.get(db.working.root));
  EXPECT_EQ(root[0], kPageFreeMapInterior);
  EXPECT_EQ(db.child(db.working.root, 0), old_leaf);
  uint64_t new_leaf = db.child(db.working.root, 1);
  ASSERT_NE(new_leaf, 0u);
  const uint8_t* leaf = must(db.cache.get(new_leaf));
  EXPECT_EQ(leaf[0], kPageFreeMapLeaf);
  EXPECT_EQ(leaf[kFreeMapBodyOffset], 1);  // bit 0 = page 65344
  // The cache sets the trailer of a changed page as it writes it out.
  must(db.cache.flush());
  std::vector<uint8_t> unit(kPageSize);
  must(db.cache.io().read_page_unit_into(new_leaf, unit.data()));
  EXPECT_EQ(unit[kFreeMapBodyOffset], 1);
  EXPECT_TRUE(page_trailer_ok(unit.data()));

  EXPECT_TRUE(db.is_free(db.working, 7));
  EXPECT_TRUE(db.is_free(db.working, 65344));
  EXPECT_FALSE(db.is_free(db.working, 65345));
  EXPECT_FALSE(db.is_free(db.working, 2 * 65344));  // missing child
  EXPECT_FALSE(db.is_free(db.working, freemap_coverage(1)));

  must(db.recycle.mark_free_committed_path(db.cache, db.working, freemap_coverage(1)));
  EXPECT_EQ(db.working.depth, 2u);
  EXPECT_TRUE(db.is_free(db.working, freemap_coverage(1)));
  EXPECT_TRUE(db.is_free(db.working, 7));
}

TEST(FreeMapTree, PathIsCopiedOncePerTransaction) {
  Db db;
  db.begin();
  db.commit({10, 65344 + 10});
  ASSERT_EQ(db.committed.depth, 1u);
  uint64_t committed_root = db.committed.root;
  uint64_t committed_leaf = db.child(committed_root, 0);

  db.begin();
  must(db.recycle.mark_free_committed_path(db.cache, db.working, 11));
  EXPECT_EQ(TestPeer::retired(db.recycle), (std::vector<uint64_t>{committed_root, committed_leaf}));
  uint64_t root_after_first = db.working.root;
  uint64_t next_before = db.cache.next_page_id();
  must(db.recycle.mark_free_committed_path(db.cache, db.working, 12));
  EXPECT_EQ(db.working.root, root_after_first);
  EXPECT_EQ(TestPeer::retired(db.recycle).size(), 2u);
  EXPECT_EQ(db.cache.next_page_id(), next_before);
  // The committed tree is untouched.
  EXPECT_FALSE(db.is_free(db.committed, 11));
  EXPECT_TRUE(db.is_free(db.working, 11));
  EXPECT_TRUE(db.is_free(db.working, 12));
  EXPECT_TRUE(db.is_free(db.working, 65354));

  std::unordered_set<uint64_t> reachable;
  must(FreeMapTree::collect_reachable(db.cache, db.working.root, db.working.depth, reachable));
  EXPECT_EQ(reachable.size(), 3u);
  EXPECT_FALSE(reachable.count(committed_root));
}

TEST(FreemapRecycle, HandsOutLowestCommittedFreePageFirst) {
  Db db;
  db.begin();
  // No tree yet: everything comes from the end of the file.
  for (uint64_t want = 2; want < 10; ++want) EXPECT_EQ(db.alloc(), want);
  db.commit({});
  db.begin();
  db.commit({7, 4, 9});
  EXPECT_EQ(TestPeer::hint(db.recycle), 0u);

  db.begin();
  EXPECT_EQ(db.alloc(), 4u);
  EXPECT_EQ(TestPeer::hint(db.recycle), 4u);
  EXPECT_EQ(db.alloc(), 7u);
  EXPECT_EQ(db.alloc(), 9u);
  // Page 4 released again in this transaction would only go to the pending
  // list: the next allocation extends the file.
  uint64_t extended = db.cache.next_page_id();
  EXPECT_EQ(db.alloc(), extended);
  EXPECT_FALSE(db.is_free(db.working, 4));
  EXPECT_TRUE(db.is_free(db.committed, 4));
  const uint8_t* claimed = must(db.cache.get(7));
  EXPECT_TRUE(db.cache.is_dirty(7));
  EXPECT_EQ(claimed[0], 0);

  // Released by this commit: usable from the next transaction, lowest first.
  db.commit({extended, 4});
  EXPECT_EQ(TestPeer::hint(db.recycle), 4u);
  db.begin();
  EXPECT_EQ(db.alloc(), 4u);
  EXPECT_EQ(db.alloc(), extended);
}

TEST(FreemapRecycle, PoolSurvivesRollbackAndFeedsFreeMapNodes) {
  Db db;
  db.begin();
  for (int i = 0; i < 8; ++i) db.alloc();
  db.commit({});
  db.begin();
  db.commit({3, 4, 5});
  EXPECT_TRUE(TestPeer::next_pool(db.recycle).empty());  // nothing retired yet

  db.begin();
  uint64_t old_root = db.committed.root;
  EXPECT_EQ(db.alloc(), 3u);  // copies the leaf root, which retires it
  EXPECT_EQ(TestPeer::retired(db.recycle), std::vector<uint64_t>{old_root});
  db.commit({});
  EXPECT_EQ(TestPeer::next_pool(db.recycle), std::vector<uint64_t>{old_root});
  EXPECT_TRUE(TestPeer::pool(db.recycle).empty());
  EXPECT_TRUE(TestPeer::retired(db.recycle).empty());

  db.begin();
  EXPECT_EQ(TestPeer::pool(db.recycle), std::vector<uint64_t>{old_root});
  uint64_t hint_before = TestPeer::hint(db.recycle);
  EXPECT_EQ(db.alloc(), 4u);
  // The retired node's page now holds the copied leaf; it never came from
  // the free map.
  EXPECT_EQ(db.working.root, old_root);
  EXPECT_TRUE(TestPeer::pool(db.recycle).empty());
  EXPECT_NE(TestPeer::hint(db.recycle), hint_before);
  uint64_t hint_after = TestPeer::hint(db.recycle);
  db.rollback();
  EXPECT_TRUE(TestPeer::pool(db.recycle).empty());
  EXPECT_TRUE(TestPeer::retired(db.recycle).empty());
  EXPECT_TRUE(TestPeer::fresh(db.recycle).empty());
  EXPECT_EQ(TestPeer::next_pool(db.recycle), std::vector<uint64_t>{old_root});
  EXPECT_EQ(TestPeer::hint(db.recycle), hint_after);

  // The next transaction gets the same pool again, and the rolled-back
  // allocation is repeated.
  db.begin();
  EXPECT_EQ(TestPeer::pool(db.recycle), std::vector<uint64_t>{old_root});
  EXPECT_EQ(db.alloc(), 4u);
  EXPECT_EQ(db.working.root, old_root);
  db.commit({});
  // Retired nodes plus what was left of the pool.
  EXPECT_EQ(TestPeer::next_pool(db.recycle).size(), 1u);
}

TEST(FreeMapTree, RunSearchStaysInTheLeafAndBelowTheEnd) {
  Db db;
  db.begin();
  std::vector<uint64_t> freed{5, 6};
  for (uint64_t p = 10; p < 15; ++p) freed.push_back(p);
  for (uint64_t p = 20; p < 31; ++p) freed.push_back(p);
  for (uint64_t p = 100; p < 300; ++p) freed.push_back(p);  // whole words inside
  freed.push_back(65343);  // last bit of leaf 0 ...
  freed.push_back(65344);  // ... and first of leaf 1: never one run
  db.commit(freed);
  const FreeMapRoot& fm = db.committed;
  auto run = [&](uint64_t p, uint64_t k, uint64_t end = kNoPage) {
    return must(find_free_run(db.cache, fm.root, fm.depth, p, k, end));
  };
  EXPECT_EQ(run(5, 2), 5u);
  EXPECT_EQ(run(5, 3), 10u);
  EXPECT_EQ(run(5, 5), 10u);
  EXPECT_EQ(run(5, 6), 20u);
  EXPECT_EQ(run(11, 4), 11u);
  EXPECT_EQ(run(5, 11), 20u);
  EXPECT_EQ(run(5, 12), 100u);
  EXPECT_EQ(run(130, 170), 130u);
  EXPECT_EQ(run(5, 201), std::nullopt);
  EXPECT_EQ(run(5, 150, 249), std::nullopt);
  EXPECT_EQ(run(5, 150, 250), 100u);
  EXPECT_EQ(run(5, 6, 25), std::nullopt);
  EXPECT_EQ(run(15, 5, 25), 20u);
  EXPECT_EQ(run(65343, 2), std::nullopt);
  EXPECT_EQ(run(65344, 1), 65344u);
}

TEST(FreemapRecycle, RunAllocationTakesConsecutivePagesAndKeepsTheHint) {
  Db db;
  db.begin();
  for (int i = 0; i < 30; ++i) db.alloc();
  db.commit({});
  db.begin();
  db.commit({4, 9, 10, 11, 12, 20, 21, 22, 23, 24});
  db.begin();
  EXPECT_EQ(must(db.recycle.alloc_run(db.cache, db.working, 5)), 20u);
  for (uint64_t p = 20; p < 25; ++p) {
    EXPECT_FALSE(db.is_free(db.working, p));
    EXPECT_TRUE(db.cache.is_dirty(p));
  }
  EXPECT_EQ(TestPeer::hint(db.recycle), 0u);
  EXPECT_EQ(must(db.recycle.alloc_run(db.cache, db.working, 5)), std::nullopt);
  EXPECT_EQ(must(db.recycle.alloc_run(db.cache, db.working, 4)), 9u);
  // Single pages still find what runs left behind.
  EXPECT_EQ(db.alloc(), 4u);
  const uint64_t end = db.cache.next_page_id();
  EXPECT_EQ(db.alloc(), end);
}

TEST(FreemapRecycle, AnEmptySearchIsSkippedUntilFreePagesCanBeThere) {
  Db db;
  db.begin();
  for (int i = 0; i < 12; ++i) db.alloc();  // pages 2..13
  db.commit({});
  db.begin();
  db.commit({5});
  // An allocation that reads the free map costs at least one cache hit; one
  // that knows the map has nothing left costs none.
  auto alloc_reading = [&](bool* read) {
    const uint64_t hits = db.cache.counters().cache_hits;
    uint64_t id = db.alloc();
    *read = db.cache.counters().cache_hits != hits;
    return id;
  };
  bool read = false;

  db.begin();
  EXPECT_EQ(alloc_reading(&read), 5u);
  const uint64_t end = db.cache.next_page_id();
  EXPECT_EQ(alloc_reading(&read), end);  // searched from 5, found nothing
  EXPECT_TRUE(read);
  EXPECT_EQ(alloc_reading(&read), end + 1);
  EXPECT_FALSE(read);

  // Rollback brings page 5 back.
  db.rollback();
  db.begin();
  EXPECT_EQ(alloc_reading(&read), 5u);
  const uint64_t past = db.cache.next_page_id();
  EXPECT_EQ(alloc_reading(&read), past);
  EXPECT_TRUE(read);
  EXPECT_EQ(alloc_reading(&read), past + 1);
  EXPECT_FALSE(read);

  // A page marked free above the empty search is found.
  db.commit({12});
  db.begin();
  EXPECT_EQ(alloc_reading(&read), 12u);

  // So are pages a return to a mark gives back.
  db.commit({7});
  db.begin();
  const FreeMapRoot saved = db.working;
  const uint64_t frontier = db.cache.next_page_id();
  const RecycleMark mark = db.recycle.mark();
  EXPECT_EQ(db.alloc(), 7u);
  EXPECT_EQ(db.alloc(), frontier);
  EXPECT_EQ(alloc_reading(&read), frontier + 1);
  EXPECT_FALSE(read);
  db.cache.forget_from(frontier);
  db.working = saved;
  db.recycle.return_to(mark);
  EXPECT_EQ(db.alloc(), 7u);
}

TEST(FreemapRecycle, ReturnToMarkGivesBackPagesPoolAndHint) {
  Db db;
  db.begin();
  for (int i = 0; i < 30; ++i) db.alloc();
  db.commit({});
  db.begin();
  db.commit({3, 4, 5, 6, 7, 8});
  db.begin();
  EXPECT_EQ(db.alloc(), 3u);  // copies the committed leaf, which is retired
  db.commit({});
  auto back_to = [&](const FreeMapRoot& saved, uint64_t frontier, const RecycleMark& mark) {
    db.cache.forget_from(frontier);
    db.working = saved;
    db.recycle.return_to(mark);
  };

  // The pool entry and the free pages taken after the mark come back.
  db.begin();
  ASSERT_EQ(TestPeer::pool(db.recycle).size(), 1u);
  FreeMapRoot saved = db.working;
  uint64_t frontier = db.cache.next_page_id();
  RecycleMark mark = db.recycle.mark();
  EXPECT_EQ(db.alloc(), 4u);
  EXPECT_EQ(db.alloc(), 5u);
  EXPECT_TRUE(TestPeer::pool(db.recycle).empty());
  back_to(saved, frontier, mark);
  EXPECT_EQ(TestPeer::pool(db.recycle).size(), 1u);
  EXPECT_EQ(TestPeer::retired(db.recycle).size(), 0u);
  EXPECT_EQ(TestPeer::hint(db.recycle), 3u);

  // A leaf copied before the mark belongs to the saved tree: after the mark
  // it is copied again instead of being changed in place.
  EXPECT_EQ(db.alloc(), 4u);
  saved = db.working;
  frontier = db.cache.next_page_id();
  mark = db.recycle.mark();
  EXPECT_TRUE(TestPeer::fresh(db.recycle).empty());
  EXPECT_EQ(db.alloc(), 5u);
  EXPECT_NE(db.working.root, saved.root);
  EXPECT_TRUE(db.is_free(saved, 5));
  back_to(saved, frontier, mark);
  EXPECT_EQ(db.alloc(), 5u);
  db.commit({});
  EXPECT_FALSE(db.is_free(db.committed, 5));
  EXPECT_TRUE(db.is_free(db.committed, 6));
}

TEST(FreeMapTree, WrongPageTypeIsCorruptNamingThePage) {
  Db db;
  uint64_t p = must(db.cache.new_page());
  uint8_t* page = must(db.cache.get_mut(p));
  page[0] = kPageData;
  page_trailer_set(page);
  auto r = FreeMapTree::scan_node(db.cache, p, 0, 0, 0);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CorruptPage);
  EXPECT_EQ(r.error().a(), p);

  FreeMapRoot fm{p, 0};
  Status st = db.recycle.mark_free_committed_path(db.cache, fm, 3);
  ASSERT_FALSE(st.ok());
  EXPECT_EQ(st.error().kind(), ErrorKind::CorruptPage);
  EXPECT_EQ(fm.root, p);  // put back after the error

  FreeMapRoot too_deep{p, 9};
  EXPECT_EQ(db.recycle.alloc_page(db.cache, too_deep).error().kind(),
            ErrorKind::CorruptPage);
}

TEST(FreemapRecycle, FreeBitOutsideTheUsableRangeIsCorruptNamingTheLeaf) {
  for (uint64_t bad : {uint64_t{1}, uint64_t{12}, uint64_t{65000}}) {
    Db db;
    db.begin();
    for (int i = 0; i < 10; ++i) db.alloc();  // pages 2..11
    db.commit({5});
    const uint64_t leaf = db.committed.root;
    uint8_t* page = must(db.cache.get_mut(leaf));
    freemap_clear_bit(page, 5);
    freemap_mark_free(page, bad);
    page_trailer_set(page);
    db.begin();
    db.recycle.set_usable_range(2, 12);
    const uint64_t frontier = db.cache.next_page_id();
    auto r = db.recycle.alloc_page(db.cache, db.working);
    ASSERT_FALSE(r.ok()) << bad;
    EXPECT_EQ(r.error().kind(), ErrorKind::CorruptPage);
    EXPECT_EQ(r.error().a(), leaf);
    EXPECT_EQ(db.cache.next_page_id(), frontier);  // nothing was taken
  }
}

// Random page bytes (with valid trailers) must never crash a reader: every
// call returns a value, CorruptPageError or InvalidPageIdError.
TEST(FreeMapTree, ReadersSurviveRandomPages) {
  std::mt19937_64 rng(0xF4EE);
  for (int round = 0; round < 300; ++round) {
    Db db;
    std::vector<uint64_t> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(must(db.cache.new_page()));
    for (uint64_t id : ids) {
      uint8_t* page = must(db.cache.get_mut(id));
      for (size_t i = 0; i < kTrailerOffset; ++i) page[i] = static_cast<uint8_t>(rng());
      if (rng() % 4 != 0) {
        // Mostly zero bodies with plausible types and child ids that point
        // into the planted pages, so the walks go deep.
        if (rng() % 2) std::memset(page + 1, 0, kTrailerOffset - 1);
        page[0] = rng() % 2 ? kPageFreeMapInterior : kPageFreeMapLeaf;
        for (int k = 0, n = 1 + rng() % 4; k < n; ++k) {
          uint64_t slot = rng() % kFreeMapFanout;
          uint64_t child = rng() % 8 == 0 ? rng() % 12 : 2 + rng() % 6;
          store_u64(page + kFreeMapBodyOffset + 8 * slot, child);
        }
      }
      page_trailer_set(page);
    }
    auto acceptable = [](const Error& e) {
      return e.kind() == ErrorKind::CorruptPage || e.kind() == ErrorKind::InvalidPageId;
    };
    for (uint64_t id : ids) {
      for (uint32_t level = 0; level <= 6; ++level) {
        auto s = FreeMapTree::scan_node(db.cache, id, level, 0, rng() % 200000);
        if (!s.ok()) {
          EXPECT_TRUE(acceptable(s.error())) << s.error().message();
        }
        std::unordered_set<uint64_t> out;
        Status c = FreeMapTree::collect_reachable(db.cache, id, level, out);
        if (!c.ok()) {
          EXPECT_TRUE(acceptable(c.error())) << c.error().message();
        }
        auto m = is_marked_free(db.cache, id, level, rng() % 200000);
        if (!m.ok()) {
          EXPECT_TRUE(acceptable(m.error())) << m.error().message();
        }
      }
    }
  }
}

}  // namespace
}  // namespace ambrik
