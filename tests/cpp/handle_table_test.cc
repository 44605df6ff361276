#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <unordered_set>
#include <vector>

#include "handle_table.h"
#include "page.h"
#include "page_cache.h"
#include "page_io.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::memory_io;
using testing::must;

struct Table {
  PageCache cache{memory_io(), CacheSettings{}, 2};
  PageAllocFn alloc = [this] { return cache.new_page(); };
  uint64_t root = kNoPage;
  uint32_t depth = 0;
  std::vector<uint64_t> pending;

  void put(uint64_t h, const HandleEntry& e) {
    root = must(HandleTable::insert(depth, cache, root, h, e, alloc, pending));
  }
  std::optional<HandleEntry> get(uint64_t h) {
    return must(HandleTable::lookup(depth, cache, root, h));
  }
  std::optional<HandleEntry> remove(uint64_t h) {
    auto r = must(HandleTable::remove(depth, cache, root, h, alloc, pending));
    root = r.node;
    return r.removed;
  }
  uint64_t child(uint64_t node, uint64_t i) {
    return load_u64(must(cache.get(node)) + 16 + 8 * i);
  }
};

HandleEntry inline_at(uint64_t page, uint16_t slot, uint32_t tag = 0) {
  return HandleEntry{page, tag, slot, 0, ValueKind::Inline};
}

TEST(HandleTable, EmptyTableHasNoEntries) {
  Table t;
  EXPECT_EQ(t.get(1), std::nullopt);
  EXPECT_TRUE(must(HandleTable::iter_live(0, t.cache, kNoPage)).empty());
  EXPECT_EQ(must(HandleTable::recover_depth(t.cache, kNoPage)), 0u);
  t.root = must(t.cache.new_page());
  HandleTable::format_node(must(t.cache.get_mut(t.root)), true);
  EXPECT_EQ(t.get(0), std::nullopt);
  EXPECT_EQ(t.get(509), std::nullopt);
  EXPECT_EQ(t.get(510), std::nullopt);  // beyond a depth-0 table
  EXPECT_EQ(t.get(kNoPage), std::nullopt);
}

TEST(HandleTable, EntryFieldsRoundTripThroughTheLeaf) {
  Table t;
  HandleEntry big{0x0102030405060708, 0xA1B2C3D4, 0xBEEF, 0x7F, ValueKind::Overflow};
  t.put(3, big);
  t.put(4, inline_at(99, 12, 5));
  EXPECT_EQ(t.get(3), big);
  EXPECT_EQ(t.get(4), inline_at(99, 12, 5));
  const uint8_t* leaf = must(t.cache.get(t.root));
  const uint8_t* e = leaf + 16 + 16 * 3;
  EXPECT_EQ(load_u64(e), 0x0102030405060708u);
  EXPECT_EQ(load_u16(e + 8), 0xBEEF);
  EXPECT_EQ(e[10], 2);
  EXPECT_EQ(load_u32(e + 11), 0xA1B2C3D4u);  // unaligned tag
  EXPECT_EQ(e[15], 0x7F);
  EXPECT_TRUE(testing::written_trailer_ok(t.cache, t.root));
  // Overwriting replaces the entry.
  t.put(3, inline_at(7, 1));
  EXPECT_EQ(t.get(3), inline_at(7, 1));
}

TEST(HandleTable, EveryInsertCopiesTheWholePath) {
  Table t;
  t.put(1, inline_at(10, 0));
  uint64_t first_root = t.root;
  t.pending.clear();
  // The root was written in this same "transaction", yet it is copied again.
  t.put(2, inline_at(10, 1));
  EXPECT_NE(t.root, first_root);
  EXPECT_EQ(t.pending, std::vector<uint64_t>{first_root});
  EXPECT_EQ(t.get(1), inline_at(10, 0));  // carried over by the copy
}

// Nodes the predicate accepts are changed where they lie; the rest of the
// path is copied below them, and a failure before the one visible write
// leaves the tree as it was.
TEST(HandleTable, AcceptedNodesAreChangedInPlace) {
  Table t;
  for (uint64_t h : {1, 600, 1200}) t.put(h, inline_at(10, 0));  // depth 1, leaves 0..2
  ASSERT_EQ(t.depth, 1u);
  const uint64_t root = t.root, leaf1 = t.child(root, 1);
  std::unordered_set<uint64_t> fresh{root};
  PageInPlaceFn in_place = [&](uint64_t id) { return fresh.count(id) != 0; };
  PageAllocFn counted = [&]() -> Result<uint64_t> {
    uint64_t id = TRY(t.cache.new_page());
    fresh.insert(id);
    return id;
  };
  t.pending.clear();
  // Root accepted, leaf not: one leaf copy, linked from the root in place.
  uint64_t r = must(HandleTable::insert(t.depth, t.cache, root, 601, inline_at(11, 1), counted,
                                        t.pending, &in_place));
  EXPECT_EQ(r, root);
  EXPECT_EQ(t.pending, std::vector<uint64_t>{leaf1});
  const uint64_t copy = t.child(root, 1);
  EXPECT_TRUE(fresh.count(copy));
  // Both accepted now: nothing is allocated or superseded.
  const uint64_t next = t.cache.next_page_id();
  t.pending.clear();
  r = must(HandleTable::insert(t.depth, t.cache, root, 602, inline_at(11, 2), counted, t.pending,
                               &in_place));
  auto gone = must(HandleTable::remove(t.depth, t.cache, root, 600, counted, t.pending, &in_place));
  EXPECT_TRUE(r == root && gone.node == root && gone.removed == inline_at(10, 0));
  EXPECT_EQ(t.cache.next_page_id(), next);
  EXPECT_TRUE(t.pending.empty());
  EXPECT_EQ(t.child(root, 1), copy);
  for (auto [h, want] : {std::pair<uint64_t, std::optional<HandleEntry>>{1, inline_at(10, 0)},
                         {600, std::nullopt},
                         {601, inline_at(11, 1)},
                         {602, inline_at(11, 2)},
                         {1200, inline_at(10, 0)}})
    EXPECT_EQ(t.get(h), want);
  // A missing child gets a fresh leaf, linked in place.
  r = must(HandleTable::insert(t.depth, t.cache, root, 2000, inline_at(12, 0), counted,
                               t.pending, &in_place));
  EXPECT_EQ(r, root);
  EXPECT_EQ(t.get(2000), inline_at(12, 0));
  // Leaf 0 is not accepted and the allocator fails: nothing visible changed.
  PageAllocFn failing = []() -> Result<uint64_t> { return Error::cache_full(1); };
  EXPECT_FALSE(HandleTable::insert(t.depth, t.cache, root, 3, inline_at(13, 0), failing,
                                   t.pending, &in_place)
                   .ok());
  EXPECT_FALSE(
      HandleTable::remove(t.depth, t.cache, root, 1, failing, t.pending, &in_place).ok());
  EXPECT_EQ(t.get(3), std::nullopt);
  EXPECT_EQ(t.get(1), inline_at(10, 0));
}

TEST(HandleTable, GrowsAtHandle510And520710) {
  // The spans of valid depths come from a table, larger ones are computed:
  // both saturate the same way.
  for (uint32_t d = 0; d <= kHandleMaxDepth + 2; ++d)
    EXPECT_EQ(HandleTable::span(d), radix_span(kHandlesPerLeaf, d)) << d;
  EXPECT_EQ(HandleTable::span(kHandleMaxDepth), kNoPage);
  Table t;
  t.put(1, inline_at(50, 0));
  uint64_t leaf = t.root;
  t.put(510, inline_at(51, 0));
  ASSERT_EQ(t.depth, 1u);
  EXPECT_EQ(t.child(t.root, 0), leaf);  // old root kept its id at child 0
  EXPECT_NE(t.child(t.root, 1), 0u);
  EXPECT_EQ(t.child(t.root, 2), 0u);
  EXPECT_EQ(must(HandleTable::recover_depth(t.cache, t.root)), 1u);
  EXPECT_EQ(t.get(1), inline_at(50, 0));
  EXPECT_EQ(t.get(510), inline_at(51, 0));
  EXPECT_EQ(t.get(520709), std::nullopt);

  t.put(520710, inline_at(52, 0));
  ASSERT_EQ(t.depth, 2u);
  EXPECT_EQ(must(HandleTable::recover_depth(t.cache, t.root)), 2u);
  EXPECT_EQ(t.get(520710), inline_at(52, 0));
  EXPECT_EQ(t.get(510), inline_at(51, 0));

  auto live = must(HandleTable::iter_live(t.depth, t.cache, t.root));
  ASSERT_EQ(live.size(), 3u);
  EXPECT_EQ(live[0].first, 1u);
  EXPECT_EQ(live[1].first, 510u);
  EXPECT_EQ(live[2].first, 520710u);
  EXPECT_EQ(live[2].second, inline_at(52, 0));
}

TEST(HandleTable, RecoversDepthThreeAndRejectsBadInternals) {
  Table t;
  t.put(1, inline_at(5, 0));
  t.put(HandleTable::span(2), inline_at(6, 0));  // 531,644,910
  ASSERT_EQ(t.depth, 3u);
  EXPECT_EQ(must(HandleTable::recover_depth(t.cache, t.root)), 3u);
  EXPECT_EQ(t.get(HandleTable::span(2)), inline_at(6, 0));

  // An internal node with the wrong page type.
  uint64_t mid = t.child(t.root, 0);
  uint8_t* p = must(t.cache.get_mut(mid));
  p[0] = kPageData;
  page_trailer_set(p);
  auto r = HandleTable::recover_depth(t.cache, t.root);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CorruptPage);
  EXPECT_EQ(r.error().a(), mid);

  // Seven internal levels: the seventh is named.
  std::vector<uint64_t> chain;
  for (int i = 0; i < 8; ++i) chain.push_back(must(t.cache.new_page()));
  for (int i = 0; i < 8; ++i) {
    uint8_t* n = must(t.cache.get_mut(chain[i]));
    HandleTable::format_node(n, i == 7);
    if (i < 7) store_u64(n + 16, chain[i + 1]);
    page_trailer_set(n);
  }
  EXPECT_EQ(must(HandleTable::recover_depth(t.cache, chain[1])), 6u);
  auto deep = HandleTable::recover_depth(t.cache, chain[0]);
  ASSERT_FALSE(deep.ok());
  EXPECT_EQ(deep.error().a(), chain[6]);
}

TEST(HandleTable, DeletionCopiesThePathButLeavesEmptyNodes) {
  Table t;
  for (uint64_t h = 1; h <= 3; ++h) t.put(h, inline_at(40, static_cast<uint16_t>(h)));
  t.put(600, inline_at(41, 0));
  ASSERT_EQ(t.depth, 1u);
  uint64_t leaf0 = t.child(t.root, 0);

  // An absent handle changes nothing and allocates nothing.
  t.pending.clear();
  uint64_t root = t.root;
  uint64_t next = t.cache.next_page_id();
  EXPECT_EQ(t.remove(4), std::nullopt);
  EXPECT_EQ(t.remove(3 * 510 + 1), std::nullopt);  // missing child
  EXPECT_EQ(t.root, root);
  EXPECT_TRUE(t.pending.empty());
  EXPECT_EQ(t.cache.next_page_id(), next);

  EXPECT_EQ(t.remove(2), inline_at(40, 2));
  EXPECT_EQ(t.pending, (std::vector<uint64_t>{leaf0, root}));
  EXPECT_EQ(t.get(2), std::nullopt);
  EXPECT_EQ(t.get(1), inline_at(40, 1));
  EXPECT_EQ(t.remove(2), std::nullopt);

  t.remove(1);
  t.remove(3);
  uint64_t empty_leaf = t.child(t.root, 0);
  EXPECT_NE(empty_leaf, 0u);  // the emptied leaf stays in place
  EXPECT_EQ(must(HandleTable::recover_depth(t.cache, t.root)), 1u);
  auto live = must(HandleTable::iter_live(t.depth, t.cache, t.root));
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].first, 600u);
}

TEST(HandleTable, UnknownKindBytesReadAsVacant) {
  Table t;
  t.put(5, inline_at(9, 0));
  t.put(6, inline_at(9, 1));
  uint8_t* leaf = must(t.cache.get_mut(t.root));
  leaf[16 + 16 * 5 + 10] = 3;
  page_trailer_set(leaf);
  EXPECT_EQ(t.get(5), std::nullopt);
  auto live = must(HandleTable::iter_live(t.depth, t.cache, t.root));
  ASSERT_EQ(live.size(), 1u);
  EXPECT_EQ(live[0].first, 6u);
  t.pending.clear();
  EXPECT_EQ(t.remove(5), std::nullopt);
  EXPECT_TRUE(t.pending.empty());
}

TEST(HandleTable, IterationRejectsSharedNodes) {
  Table t;
  t.put(1, inline_at(9, 0));
  t.put(510, inline_at(9, 1));
  uint8_t* root = must(t.cache.get_mut(t.root));
  store_u64(root + 16 + 8 * 1, load_u64(root + 16));  // child 1 = child 0
  page_trailer_set(root);
  auto r = HandleTable::iter_live(t.depth, t.cache, t.root);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::CorruptPage);
}

// Random page bytes (with valid trailers) must never crash a reader.
TEST(HandleTable, ReadersSurviveRandomPages) {
  std::mt19937_64 rng(0x4A7D1E);
  for (int round = 0; round < 300; ++round) {
    Table t;
    std::vector<uint64_t> ids;
    for (int i = 0; i < 6; ++i) ids.push_back(must(t.cache.new_page()));
    for (uint64_t id : ids) {
      uint8_t* page = must(t.cache.get_mut(id));
      for (size_t i = 0; i < kTrailerOffset; ++i) page[i] = static_cast<uint8_t>(rng());
      if (rng() % 4 != 0) {
        if (rng() % 2) std::memset(page + 2, 0, kTrailerOffset - 2);
        page[0] = rng() % 8 ? uint8_t{kPageHandleNode} : static_cast<uint8_t>(rng());
        page[1] = rng() % 2 ? kHandleNodeInternal : kHandleNodeLeaf;
        for (int k = 0, n = 1 + rng() % 4; k < n; ++k) {
          uint64_t child = rng() % 8 == 0 ? rng() % 12 : 2 + rng() % 6;
          store_u64(page + 16 + 8 * (rng() % (rng() % 2 ? 3 : kHandleFanout)), child);
        }
      }
      page_trailer_set(page);
    }
    auto acceptable = [](const Error& e) {
      return e.kind() == ErrorKind::CorruptPage || e.kind() == ErrorKind::InvalidPageId;
    };
    for (uint64_t id : ids) {
      auto d = HandleTable::recover_depth(t.cache, id);
      if (!d.ok()) {
        EXPECT_TRUE(acceptable(d.error())) << d.error().message();
      }
      for (uint32_t depth = 0; depth <= 7; ++depth) {
        uint64_t h = rng() % 4 ? rng() % 2000 : rng();
        auto l = HandleTable::lookup(depth, t.cache, id, h);
        if (!l.ok()) {
          EXPECT_TRUE(acceptable(l.error())) << l.error().message();
        }
        auto it = HandleTable::iter_live(depth, t.cache, id);
        if (!it.ok()) {
          EXPECT_TRUE(acceptable(it.error())) << it.error().message();
        }
      }
    }
  }
}

}  // namespace
}  // namespace ambrik
