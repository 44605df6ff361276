#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "data_page.h"
#include "page.h"
#include "page_cache.h"
#include "page_io.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::memory_io;
using testing::must;

struct Packing {
  PageCache cache{memory_io(), CacheSettings{}, 2};
  PageAllocFn alloc = [this] { return cache.new_page(); };
  SlotPacker packer;
  std::vector<uint64_t> pending;

  DataSlot put(size_t len, uint8_t fill = 0xAB) {
    std::vector<uint8_t> v(len, fill);
    return must(packer.insert_into_data_page(cache, v, alloc));
  }
  DataPageHeader header(uint64_t page) {
    auto h = data_page_header(must(cache.get(page)));
    EXPECT_TRUE(h.has_value());
    return h.value_or(DataPageHeader{});
  }
  uint32_t live(uint64_t page) {
    auto it = packer.working_counts().find(page);
    return it == packer.working_counts().end() ? 0 : it->second;
  }
};

TEST(DataPage, LargestSmallValueFillsAPage) {
  Packing p;
  DataSlot a = p.put(kMaxSmallValue);
  EXPECT_EQ(a.slot, 0);
  DataPageHeader h = p.header(a.page);
  EXPECT_EQ(h.slot_count, 1);
  EXPECT_EQ(h.dir_end, 22);
  EXPECT_EQ(h.data_start, 22);
  EXPECT_TRUE(testing::written_trailer_ok(p.cache, a.page));
  DataSlot b = p.put(0);
  EXPECT_NE(b.page, a.page);
  EXPECT_EQ(b.slot, 0);
  EXPECT_EQ(must(read_data_slot(p.cache, a.page, 0)), std::vector<uint8_t>(kMaxSmallValue, 0xAB));
  EXPECT_TRUE(must(read_data_slot(p.cache, b.page, 0)).empty());
}

TEST(DataPage, PacksUntilTheGapIsTooSmall) {
  Packing p;
  DataSlot a = p.put(4000, 1);
  DataSlot b = p.put(4000, 2);
  ASSERT_EQ(b.page, a.page);
  EXPECT_EQ(b.slot, 1);
  DataPageHeader h = p.header(a.page);
  EXPECT_EQ(h.data_start, 184);
  EXPECT_EQ(h.dir_end, 28);
  // 150 + 6 fits the 156-byte gap exactly; 151 would not.
  DataSlot c = p.put(150, 3);
  EXPECT_EQ(c, (DataSlot{a.page, 2}));
  EXPECT_EQ(p.header(a.page).dir_end, p.header(a.page).data_start);
  EXPECT_EQ(p.live(a.page), 3u);

  Packing q;
  DataSlot x = q.put(4000);
  q.put(4000);
  DataSlot y = q.put(151);
  EXPECT_NE(y.page, x.page);
  EXPECT_EQ(q.packer.current_page(), y.page);  // the full page is abandoned

  EXPECT_EQ(must(read_data_slot(p.cache, a.page, 1)), std::vector<uint8_t>(4000, 2));
  EXPECT_EQ(must(read_data_slot(p.cache, a.page, 2)), std::vector<uint8_t>(150, 3));
}

TEST(DataPage, AtMost1361ZeroLengthSlots) {
  Packing p;
  uint64_t first = p.put(0).page;
  for (int i = 1; i < 1361; ++i) ASSERT_EQ(p.put(0).page, first);
  EXPECT_EQ(p.header(first).slot_count, 1361);
  EXPECT_NE(p.put(0).page, first);
  EXPECT_TRUE(must(read_data_slot(p.cache, first, 1360)).empty());
  EXPECT_EQ(p.live(first), 1361u);
}

TEST(DataPage, SavepointStartsAPageOfItsOwn) {
  Packing p;
  uint64_t before = p.put(10).page;
  PackerSnapshot snap = p.packer.snapshot();
  EXPECT_EQ(snap.current[0], before);
  EXPECT_EQ(p.packer.current_page(), std::nullopt);
  // Values stored after the savepoint never go into the page it saved.
  uint64_t a = p.put(10, 0).page;
  uint64_t b = p.put(10, 0).page;
  EXPECT_NE(a, before);
  EXPECT_EQ(a, b);
  EXPECT_EQ(p.packer.current_page(), a);

  // Returning to the savepoint brings back the earlier page and counts.
  p.packer.restore(snap);
  EXPECT_EQ(p.packer.current_page(), before);
  EXPECT_EQ(p.live(a), 0u);
  EXPECT_EQ(p.live(b), 0u);
  EXPECT_EQ(p.put(10).page, before);
  EXPECT_EQ(p.live(before), 2u);
}

TEST(DataPage, ReleasingTheLastValueRetiresThePage) {
  Packing p;
  DataSlot a = p.put(100);
  p.put(100);
  p.packer.release_data_slot(a.page, p.pending);
  EXPECT_EQ(p.live(a.page), 1u);
  EXPECT_TRUE(p.pending.empty());
  EXPECT_EQ(p.packer.current_page(), a.page);
  p.packer.release_data_slot(a.page, p.pending);
  EXPECT_EQ(p.pending, std::vector<uint64_t>{a.page});
  EXPECT_EQ(p.packer.current_page(), std::nullopt);
  EXPECT_FALSE(p.packer.data_page_ids_snapshot().count(a.page));
  // Unknown pages are ignored.
  p.packer.release_data_slot(a.page, p.pending);
  p.packer.release_data_slot(12345, p.pending);
  EXPECT_EQ(p.pending.size(), 1u);
  // The bytes stay readable until the page is reused.
  EXPECT_EQ(must(read_data_slot(p.cache, a.page, 1)).size(), 100u);
}

TEST(DataPage, CountsFollowCommitAndReset) {
  Packing p;
  p.packer = SlotPacker::from_committed({{7, 2}, {8, 1}});
  EXPECT_EQ(p.packer.data_page_ids_snapshot(), (std::unordered_set<uint64_t>{7, 8}));
  p.put(5);
  p.packer.release_data_slot(8, p.pending);
  p.packer.reset();  // rollback
  EXPECT_EQ(p.packer.working_counts(), (LiveCounts{{7, 2}, {8, 1}}));
  EXPECT_EQ(p.packer.current_page(), std::nullopt);

  uint64_t fresh = p.put(5).page;
  p.packer.release_data_slot(7, p.pending);
  p.packer.commit();
  EXPECT_EQ(p.packer.committed_counts(), (LiveCounts{{7, 1}, {8, 1}, {fresh, 1}}));
  EXPECT_EQ(p.packer.current_page(), std::nullopt);
  // Committed pages are never appended to.
  EXPECT_NE(p.put(5).page, fresh);
}

TEST(DataPage, CountsReturnToEachSavepointAndToTheCommit) {
  Packing p;
  const LiveCounts committed{{7, 2}, {8, 1}};
  p.packer = SlotPacker::from_committed(committed);
  uint64_t cur = p.put(5).page;
  p.put(5);
  p.packer.release_data_slot(7, p.pending);
  const LiveCounts at_outer = p.packer.working_counts();
  PackerSnapshot outer = p.packer.snapshot();

  p.packer.release_data_slot(7, p.pending);  // 7 retires
  p.packer.release_data_slot(cur, p.pending);
  uint64_t own = p.put(5, 0).page;
  const LiveCounts at_inner = p.packer.working_counts();
  PackerSnapshot inner = p.packer.snapshot();

  p.packer.release_data_slot(cur, p.pending);  // cur retires
  p.packer.release_data_slot(own, p.pending);
  p.packer.release_data_slot(8, p.pending);
  EXPECT_TRUE(p.packer.working_counts().empty());

  p.packer.restore(inner);
  EXPECT_EQ(p.packer.working_counts(), at_inner);
  p.packer.release_data_slot(own, p.pending);
  p.packer.restore(inner);  // a second return finds the same counts
  EXPECT_EQ(p.packer.working_counts(), at_inner);
  p.packer.restore(outer);
  EXPECT_EQ(p.packer.working_counts(), at_outer);
  EXPECT_EQ(p.packer.current_page(), cur);
  // cur's count was erased and brought back: the next value counts on the
  // restored entry.
  EXPECT_EQ(p.put(5).page, cur);
  EXPECT_EQ(p.live(cur), at_outer.at(cur) + 1);
  EXPECT_EQ(p.packer.committed_counts(), committed);
  p.packer.reset();
  EXPECT_EQ(p.packer.working_counts(), committed);

  // After a commit the next rollback returns to the new counts.
  p.put(5);
  const LiveCounts next = p.packer.working_counts();
  p.packer.commit();
  p.packer.release_data_slot(8, p.pending);
  p.put(9);
  p.packer.reset();
  EXPECT_EQ(p.packer.working_counts(), next);
}

TEST(DataPage, UnreadableSlotsAreCorruptNamingThePage) {
  Packing p;
  DataSlot a = p.put(20);
  p.put(30);
  auto corrupt = [&](uint16_t slot) {
    auto r = read_data_slot(p.cache, a.page, slot);
    return !r.ok() && r.error().kind() == ErrorKind::CorruptPage && r.error().a() == a.page;
  };
  EXPECT_TRUE(corrupt(2));  // index past n
  auto poke = [&](size_t off, uint16_t v) {
    uint8_t* page = must(p.cache.get_mut(a.page));
    store_u16(page + off, v);
    page_trailer_set(page);
  };
  poke(16 + 4, 0);  // flags of slot 0
  EXPECT_TRUE(corrupt(0));
  poke(16 + 4, 1);
  poke(16 + 6, 8180);  // slot 1 offset + length past the trailer
  EXPECT_TRUE(corrupt(1));
  poke(16 + 6, 8);  // offset inside the header
  EXPECT_TRUE(corrupt(1));
  poke(6, 8185);  // data start past the usable area
  EXPECT_TRUE(corrupt(0));
  // An invalid page is never appended to: the packer moves on.
  EXPECT_NE(p.put(1).page, a.page);
}

// Random page bytes (with valid trailers) must never crash the slot reader.
TEST(DataPage, ReaderSurvivesRandomPages) {
  std::mt19937_64 rng(0xDA7A);
  Packing p;
  uint64_t id = must(p.cache.new_page());
  for (int round = 0; round < 3000; ++round) {
    uint8_t* page = must(p.cache.get_mut(id));
    for (size_t i = 0; i < kTrailerOffset; ++i) page[i] = static_cast<uint8_t>(rng());
    if (rng() % 4 != 0) {
      page[0] = kPageData;
      uint16_t n = rng() % 1400;
      store_u16(page + 2, n);
      store_u16(page + 4, static_cast<uint16_t>(16 + 6 * n + rng() % 3));
      store_u16(page + 6, static_cast<uint16_t>(rng() % 8200));
      for (int k = 0; k < 8; ++k) {
        uint8_t* rec = page + 16 + 6 * (rng() % 8);
        store_u16(rec, static_cast<uint16_t>(rng() % 8200));
        store_u16(rec + 2, static_cast<uint16_t>(rng() % 8200));
        store_u16(rec + 4, static_cast<uint16_t>(rng() % 2));
      }
    }
    page_trailer_set(page);
    for (uint16_t slot : {0, 1, 7, static_cast<int>(rng() % 65536)}) {
      auto r = read_data_slot(p.cache, id, slot);
      if (!r.ok()) {
        EXPECT_EQ(r.error().kind(), ErrorKind::CorruptPage);
      }
    }
  }
}

}  // namespace
}  // namespace ambrik
