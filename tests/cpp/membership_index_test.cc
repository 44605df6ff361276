#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "membership_index.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::memory_io;
using testing::must;
using Ids = std::vector<uint64_t>;

// One cache holding a bare RadixU64 tree (root, depth) and a tag index.
struct Fx {
  PageCache cache{memory_io(), CacheSettings{}, 2};
  PageAllocFn alloc = [this] { return cache.new_page(); };
  uint64_t root = kNoPage;
  uint32_t depth = 0;
  MembershipRoot index;
  Ids pending;

  void put(uint64_t k) { root = must(RadixU64::insert(depth, cache, root, k, k + 1, alloc, pending)); }
  uint64_t erase(uint64_t k) {
    auto r = must(RadixU64::remove(depth, cache, root, k, alloc, pending));
    root = r.node;
    return r.removed;
  }
  uint64_t slot(uint64_t node, uint64_t i) { return load_u64(must(cache.get(node)) + 16 + 8 * i); }
  void set_slot(uint64_t node, uint64_t i, uint64_t v) {
    uint8_t* p = must(cache.get_mut(node));
    RadixU64::write_slot(p, i, v);
    page_trailer_set(p);
  }
  void add(uint64_t h, uint32_t t) { must(membership_add(cache, index, h, t, alloc, pending)); }
  void drop(uint64_t h, uint32_t t) { must(membership_remove(cache, index, h, t, alloc, pending)); }
  Ids handles(uint32_t t, uint64_t limit = kNoPage) {
    return must(membership_handles(cache, index, t, limit));
  }
  uint64_t tag_value(uint32_t t) { return must(RadixU64::lookup(index.depth, cache, index.root, t)); }
};

void expect_corrupt(const Error& e, uint64_t page) {
  EXPECT_EQ(e.kind(), ErrorKind::CorruptPage) << e.message();
  EXPECT_EQ(e.a(), page);
}

TEST(MembershipRadix, GrowsPast1020KeysAndPast1021SquaredAndIteratesInOrder) {
  Fx t;
  t.put(1020);
  uint64_t leaf = t.root;
  t.put(1021);
  ASSERT_EQ(t.depth, 1u);
  EXPECT_EQ(t.slot(t.root, 0), leaf);  // the old root kept its id at slot 0
  t.put(1021 * 1021);
  EXPECT_EQ(t.depth, 2u);
  t.put(kNoPage - 1);
  EXPECT_EQ(t.depth, 6u);  // saturated capacity: no seventh level
  EXPECT_EQ(must(RadixU64::recover_depth(t.cache, t.root)), 6u);
  RadixList all, first;
  must(RadixU64::iter(t.cache, t.root, t.depth, kNoPage, all));
  EXPECT_EQ(all, (RadixList{{1020, 1021}, {1021, 1022}, {1021 * 1021, 1021 * 1021 + 1},
                            {kNoPage - 1, kNoPage}}));
  must(RadixU64::iter(t.cache, t.root, t.depth, 2, first));
  EXPECT_EQ(first, RadixList(all.begin(), all.begin() + 2));
}

TEST(MembershipRadix, RemoveCopiesOnlyWhenItRemovesAndLeavesNodesInPlace) {
  Fx t;
  for (uint64_t k : {1, 2, 2000}) t.put(k);
  uint64_t root = t.root, leaf0 = t.slot(t.root, 0);
  t.pending.clear();
  EXPECT_EQ(t.erase(5) + t.erase(5 * 1021) + t.erase(1021 * 1021), 0u);  // vacant, no child, too big
  EXPECT_TRUE(t.root == root && t.pending.empty());
  EXPECT_EQ(t.erase(2), 3u);
  EXPECT_EQ(t.pending, (Ids{leaf0, root}));
  t.erase(1);
  t.erase(2000);
  EXPECT_FALSE(must(RadixU64::any(t.cache, t.root, 1)));
  EXPECT_NE(t.slot(t.root, 0), 0u);
  EXPECT_EQ(must(RadixU64::recover_depth(t.cache, t.root)), 1u);
}

TEST(MembershipRadix, SharedOrMisplacedNodesAreCorrupt) {
  Fx t;
  t.put(1);
  t.put(1500);
  uint64_t leaf0 = t.slot(t.root, 0);
  t.set_slot(t.root, 1, leaf0);  // would be listed, and freed, twice
  RadixList out;  // a bounded walk that stops first never meets it
  must(RadixU64::iter(t.cache, t.root, 1, 1, out));
  expect_corrupt(RadixU64::iter(t.cache, t.root, 1, kNoPage, out).error(), leaf0);
  expect_corrupt(RadixU64::free_subtree(t.cache, t.root, 1, t.pending).error(), leaf0);
  expect_corrupt(RadixU64::lookup(2, t.cache, t.root, 5).error(), leaf0);  // leaf as internal
}

TEST(MembershipIndex, FirstAddCreatesTwoLeavesAndListsComeOutAscending) {
  Fx x;
  x.add(900, 7);
  uint64_t v = x.tag_value(7), set = v & kMemberPageMask;
  EXPECT_EQ(v >> 58, 0u);
  EXPECT_EQ(must(x.cache.get(x.index.root))[0], kPageMemberLeaf);
  EXPECT_EQ(must(x.cache.get(set))[0], kPageMemberLeaf);
  EXPECT_EQ(x.slot(set, 900), 1u);
  EXPECT_EQ(x.pending.size(), 2u);  // each fresh leaf was copied once
  for (uint64_t h : {3, 5000000, 1021, 17}) x.add(h, 7);
  for (uint64_t h : {8, 4}) x.add(h, 0xFFFFFFFF);
  EXPECT_EQ(x.handles(7), (Ids{3, 17, 900, 1021, 5000000}));
  EXPECT_EQ(x.handles(7, 2), (Ids{3, 17}));
  EXPECT_EQ(x.handles(0xFFFFFFFF), (Ids{4, 8}));
  EXPECT_TRUE(x.handles(8).empty());
  EXPECT_EQ(must(membership_recover_depth(x.cache, x.index.root)), 3u);
}

TEST(MembershipIndex, RemovingTheLastHandleRemovesTheTag) {
  Fx x;
  for (auto [h, t] : {std::pair{10, 7}, {2000, 7}, {11, 9}}) x.add(h, t);
  x.drop(10, 7);
  MembershipRoot before = x.index;
  x.pending.clear();
  x.drop(999, 7);      // not a member
  x.drop(10, 8);       // tag not in use
  x.drop(1 << 30, 7);  // beyond the set's capacity
  EXPECT_TRUE(x.index == before && x.pending.empty());
  uint64_t set = x.tag_value(7) & kMemberPageMask, leaf0 = x.slot(set, 0);
  x.drop(2000, 7);
  EXPECT_TRUE(x.handles(7).empty());
  EXPECT_EQ(x.handles(9), Ids{11});
  // The set's last member goes with the whole set (leaves, then its root;
  // nothing is copied first), then the superseded tag-tree leaf.
  ASSERT_EQ(x.pending.size(), 4u);
  EXPECT_TRUE(x.pending[0] == leaf0 && x.pending[2] == set && x.pending[3] == before.root);
  x.drop(11, 9);
  EXPECT_NE(x.index.root, kNoPage);  // the tag tree itself stays
}

TEST(MembershipIndex, DepthBitsOfSevenAreCorruptAndChangeNothing) {
  Fx x;
  x.add(5, 7);
  uint64_t set = x.tag_value(7) & kMemberPageMask;
  x.set_slot(x.index.root, 7, (uint64_t{7} << 58) | set);
  MembershipRoot before = x.index;
  x.pending.clear();
  expect_corrupt(membership_add(x.cache, x.index, 6, 7, x.alloc, x.pending).error(), set);
  expect_corrupt(membership_remove(x.cache, x.index, 5, 7, x.alloc, x.pending).error(), set);
  expect_corrupt(membership_handles(x.cache, x.index, 7, kNoPage).error(), set);
  EXPECT_TRUE(x.index == before && x.pending.empty());
}

// Adding to a new tag, removing one of two members, removing the last one:
// each allocation of each is made to fail in turn.
TEST(MembershipIndex, FailedWritesLeaveTheIndexUnchanged) {
  for (int op = 0; op < 3; ++op) {
    for (int budget = 0; budget < 20; ++budget) {
      Fx x;
      for (auto [h, t] : {std::pair{1, 7}, {1500, 7}, {5, 9}}) x.add(h, t);
      MembershipRoot before = x.index;
      size_t pending_before = x.pending.size();
      PageAllocFn failing = [&, left = budget]() mutable -> Result<uint64_t> {
        if (left-- == 0) return Error::cache_full(0);
        return x.cache.new_page();
      };
      Status s = op == 0   ? membership_add(x.cache, x.index, 3000000, 8, failing, x.pending)
                 : op == 1 ? membership_remove(x.cache, x.index, 1, 7, failing, x.pending)
                           : membership_remove(x.cache, x.index, 5, 9, failing, x.pending);
      if (s.ok()) break;
      EXPECT_TRUE(x.index == before && x.pending.size() == pending_before) << op << budget;
    }
  }
}

// Random page bytes (with valid trailers) must never crash a reader.
TEST(MembershipIndex, ReadersSurviveRandomPages) {
  std::mt19937_64 rng(0x7A61);
  auto check = [](const auto& r) {
    ErrorKind k = r.ok() ? ErrorKind::CorruptPage : r.error().kind();
    EXPECT_TRUE(k == ErrorKind::CorruptPage || k == ErrorKind::InvalidPageId);
  };
  for (int round = 0; round < 300; ++round) {
    Fx t;
    Ids ids;
    for (int i = 0; i < 6; ++i) ids.push_back(must(t.cache.new_page()));
    for (uint64_t id : ids) {
      uint8_t* page = must(t.cache.get_mut(id));
      for (size_t i = 0; i < kTrailerOffset; ++i) page[i] = rng() % 3 ? 0 : static_cast<uint8_t>(rng());
      page[0] = rng() % 8 ? kPageMemberInternal + rng() % 2 : static_cast<uint8_t>(rng());
      for (int k = 0; k < 4; ++k) {  // children among the six, or a tag-tree value
        uint64_t child = (rng() % 2 ? (rng() % 9) << 58 : 0) | (rng() % 9);
        RadixU64::write_slot(page, rng() % (rng() % 2 ? 4 : kRadixSlots), child);
      }
      page_trailer_set(page);
    }
    for (uint64_t id : ids) {
      check(membership_recover_depth(t.cache, id));
      for (uint32_t depth = 0; depth <= 7; ++depth) {
        RadixList out;
        check(RadixU64::lookup(depth, t.cache, id, rng() % 4 ? rng() % 3000 : rng()));
        check(RadixU64::iter(t.cache, id, depth, kNoPage, out));
        check(membership_handles(t.cache, MembershipRoot{id, depth}, rng() % 8, kNoPage));
      }
    }
  }
}

}  // namespace
}  // namespace ambrik
