// Space reuse by the transaction manager: overflow chains and savepoints take
// free pages like every other structure, so churn keeps the file bounded.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <vector>

#include "overflow.h"
#include "test_peer.h"
#include "transaction/manager_impl.h"

namespace ambrik {
namespace {

std::unique_ptr<TransactionManagerImpl> open_memory() {
  auto r = TransactionManagerImpl::open(OpenOptions{});
  EXPECT_TRUE(r.ok());
  return r.ok() ? std::move(r).value() : nullptr;
}

std::vector<uint8_t> value_of(size_t len, std::mt19937_64& rng) {
  std::vector<uint8_t> v(len);
  for (auto& b : v) b = static_cast<uint8_t>(rng());
  return v;
}

uint64_t file_pages(TransactionManagerImpl& m) { return TestPeer::cache(m).io().page_count(); }

uint64_t chain_pages(uint64_t len) {
  return len > kMaxSmallValue ? (len + kOverflowPayload - 1) / kOverflowPayload : 0;
}

TEST(Recycling, ChurnOfLargeAndSmallValuesStaysBounded) {
  std::mt19937_64 rng(11);
  auto m = open_memory();
  ASSERT_TRUE(m);
  std::vector<std::pair<uint64_t, size_t>> live;  // handle, length
  auto large = [&] { return 9000 + rng() % 60000; };
  auto small = [&] { return 10 + rng() % 2000; };
  ASSERT_TRUE(m->begin().ok());
  for (int i = 0; i < 40; ++i) {
    size_t len = i < 12 ? large() : small();
    live.emplace_back(m->allocate(value_of(len, rng), 0).value(), len);
  }
  ASSERT_TRUE(m->commit().ok());

  for (int txn = 0; txn < 300; ++txn) {
    ASSERT_TRUE(m->begin().ok());
    for (int k = 0; k < 4; ++k) {
      auto& [h, len] = live[rng() % live.size()];
      len = len > kMaxSmallValue ? large() : small();
      ASSERT_TRUE(m->update(h, value_of(len, rng)).ok());
    }
    // One value deleted and one allocated in its place, of the same class.
    size_t i = rng() % live.size();
    ASSERT_TRUE(m->delete_inner(live[i].first).ok());
    size_t len = live[i].second > kMaxSmallValue ? large() : small();
    live[i] = {m->allocate(value_of(len, rng), 0).value(), len};
    ASSERT_TRUE(m->commit().ok());

    uint64_t live_pages = 0;
    for (auto& [h, n] : live) live_pages += chain_pages(n);
    live_pages += TestPeer::packer(*m).working_counts().size();
    const uint64_t pages = file_pages(*m);
    // Live pages, what the last commit released, trees and slots.
    EXPECT_LE(pages, 2 * live_pages + 40) << "transaction " << txn;
  }
  for (auto& [h, n] : live) EXPECT_EQ(m->read(h).value().size(), n);
}

uint64_t updates_with_savepoints(bool savepoint) {
  std::mt19937_64 rng(5);
  auto m = open_memory();
  std::vector<uint64_t> handles;
  EXPECT_TRUE(m->begin().ok());
  for (int i = 0; i < 10; ++i) handles.push_back(m->allocate(value_of(1000, rng), 0).value());
  EXPECT_TRUE(m->commit().ok());
  for (int t = 0; t < 1000; ++t) {
    EXPECT_TRUE(m->begin().ok());
    if (savepoint) {
      EXPECT_TRUE(m->savepoint("before").ok());
    }
    for (uint64_t h : handles) EXPECT_TRUE(m->update(h, value_of(1000, rng)).ok());
    EXPECT_TRUE(m->commit().ok());
  }
  return file_pages(*m);
}

TEST(Recycling, SavepointInEveryTransactionStillReusesFreePages) {
  const uint64_t plain = updates_with_savepoints(false);
  const uint64_t with_savepoint = updates_with_savepoints(true);
  // Under a savepoint each small value takes a data page of its own, and a
  // free page taken again is one released by an earlier commit: a constant
  // more, not a page per write.
  EXPECT_LE(with_savepoint, plain + 32);
}

TEST(Recycling, ChainTakesFreePagesInOneRunAndReturnGivesThemBack) {
  std::mt19937_64 rng(3);
  auto m = open_memory();
  ASSERT_TRUE(m->begin().ok());
  const uint64_t a = m->allocate(value_of(100000, rng), 0).value();  // 13 pages
  const uint64_t b = m->allocate(value_of(30000, rng), 0).value();
  const uint64_t x = m->allocate(value_of(100, rng), 0).value();
  ASSERT_TRUE(m->commit().ok());
  // A commit that frees pages first, so that the free map exists and the
  // next commit retires a free-map node into the pool of the one after.
  ASSERT_TRUE(m->begin().ok());
  ASSERT_TRUE(m->delete_inner(x).ok());
  ASSERT_TRUE(m->commit().ok());
  const uint64_t old_first = m->lookup_live(a).value().location;
  ASSERT_TRUE(m->begin().ok());
  ASSERT_TRUE(m->delete_inner(a).ok());
  ASSERT_TRUE(m->commit().ok());
  const uint64_t pages_before = file_pages(*m);

  ASSERT_TRUE(m->begin().ok());
  ASSERT_TRUE(m->savepoint("s").ok());
  const auto big = value_of(90000, rng);  // 12 pages: fits the freed run
  const uint64_t c = m->allocate(big, 0).value();
  const uint64_t first = m->lookup_live(c).value().location;
  EXPECT_EQ(first, old_first);
  auto chain = Overflow::collect_chain_pages(TestPeer::cache(*m), first).value();
  for (size_t j = 1; j < chain.size(); ++j) EXPECT_EQ(chain[j], chain[j - 1] + 1);

  // Returning gives back exactly the pages taken: the same value lands on
  // the same pages again.
  ASSERT_TRUE(m->rollback_to("s").ok());
  const uint64_t again = m->allocate(big, 0).value();
  EXPECT_EQ(m->lookup_live(again).value().location, first);
  ASSERT_TRUE(m->commit().ok());
  EXPECT_EQ(file_pages(*m), pages_before);
  EXPECT_EQ(m->read(again).value(), big);
  EXPECT_EQ(m->read(b).value().size(), 30000u);
}

}  // namespace
}  // namespace ambrik
