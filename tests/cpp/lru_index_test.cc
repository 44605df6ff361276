#include <gtest/gtest.h>

#include <list>
#include <map>
#include <random>
#include <vector>

#include "lru_index.h"

namespace ambrik {
namespace {

// Walks the list both ways and checks it against the expected order
// (most recently used first).
void expect_order(const LruIndex& lru, const std::vector<uint64_t>& want) {
  std::vector<uint64_t> fwd, back;
  for (auto id = lru.head(); id; id = lru.next(*id)) fwd.push_back(*id);
  for (auto id = lru.tail(); id; id = lru.prev(*id)) back.insert(back.begin(), *id);
  EXPECT_EQ(fwd, want);
  EXPECT_EQ(back, want);
  EXPECT_EQ(lru.empty(), want.empty());
}

TEST(LruIndex, PushFrontPushBackAndEnds) {
  LruIndex lru;
  expect_order(lru, {});
  lru.push_back(7);  // into an empty index: both ends
  EXPECT_EQ(lru.head(), 7u);
  EXPECT_EQ(lru.tail(), 7u);
  lru.push_front(1);
  lru.push_front(2);
  lru.push_back(3);
  expect_order(lru, {2, 1, 7, 3});
  lru.push_front(2);  // already head: unchanged
  expect_order(lru, {2, 1, 7, 3});
  lru.push_front(3);  // tail to head
  expect_order(lru, {3, 2, 1, 7});
  lru.push_back(2);  // middle to tail
  expect_order(lru, {3, 1, 7, 2});
  lru.push_front(7);
  expect_order(lru, {7, 3, 1, 2});
}

TEST(LruIndex, RemoveAndUnlink) {
  LruIndex lru;
  lru.push_front(5);
  lru.remove(5);  // the only id
  expect_order(lru, {});
  EXPECT_FALSE(lru.head().has_value());
  EXPECT_FALSE(lru.tail().has_value());
  EXPECT_FALSE(lru.contains(5));

  for (uint64_t id : {1, 2, 3, 4}) lru.push_back(id);
  lru.remove(99);
  lru.unlink(99);
  expect_order(lru, {1, 2, 3, 4});
  lru.remove(1);
  lru.remove(4);
  expect_order(lru, {2, 3});

  // An unlinked node keeps its map entry; unlinking or removing it again
  // must not disturb the ends.
  lru.unlink(2);
  EXPECT_TRUE(lru.contains(2));
  expect_order(lru, {3});
  lru.unlink(2);
  lru.remove(2);
  expect_order(lru, {3});
  lru.push_front(2);
  expect_order(lru, {2, 3});
}

TEST(LruIndex, RandomOpsMatchListModel) {
  std::mt19937_64 rng(42);
  LruIndex lru;
  std::list<uint64_t> model;
  std::map<uint64_t, uint32_t> slot;  // of the ids linked through push_front
  auto drop = [&](uint64_t id) { model.remove(id); };
  for (int step = 0; step < 20000; ++step) {
    uint64_t id = rng() % 300;
    switch (rng() % 3) {
      case 0:
        // By id, or by the slot an earlier push_front returned.
        if (slot.count(id) && rng() % 2) lru.touch(slot[id]);
        else slot[id] = lru.push_front(id);
        drop(id);
        model.push_front(id);
        break;
      case 1: lru.push_back(id); drop(id); model.push_back(id); break;
      case 2: lru.remove(id); slot.erase(id); drop(id); break;
    }
    if (step % 1000 == 0) expect_order(lru, {model.begin(), model.end()});
  }
  expect_order(lru, {model.begin(), model.end()});
  EXPECT_EQ(lru.size(), model.size());
}

TEST(LruIndex, SlotsStayPutAndAreReusedAfterRemove) {
  LruIndex lru;
  const uint32_t a = lru.push_front(10);
  const uint32_t b = lru.push_front(20);
  const uint32_t c = lru.push_front(30);
  EXPECT_EQ(lru.push_front(30), c);  // already head
  EXPECT_EQ(lru.push_front(10), a);  // moved, same slot
  lru.touch(b);
  expect_order(lru, {20, 10, 30});
  lru.touch(c);
  lru.touch(c);
  expect_order(lru, {30, 20, 10});
  lru.remove(20);
  // The freed slot goes to the next new id, so the array does not grow.
  EXPECT_EQ(lru.push_front(40), b);
  expect_order(lru, {40, 30, 10});
  lru.touch(a);
  expect_order(lru, {10, 40, 30});
  EXPECT_EQ(lru.size(), 3u);
}

}  // namespace
}  // namespace ambrik
