#include <gtest/gtest.h>

#include <memory>
#include <random>
#include <unordered_map>

#include "u64_map.h"

namespace ambrik {
namespace {

TEST(U64Map, RandomOpsMatchStdMapIncludingAllOnesKey) {
  std::mt19937_64 rng(7);
  U64Map<uint64_t> m;
  std::unordered_map<uint64_t, uint64_t> ref;
  const uint64_t kMax = ~uint64_t{0};
  for (int step = 0; step < 200000; ++step) {
    // Dense ids (like page ids), some sparse ones, and the empty-slot key.
    uint64_t r = rng();
    uint64_t key = (r % 10 == 0) ? r : (r % 10 == 1 ? kMax : r % 2000);
    if (rng() % 3 == 0) {
      EXPECT_EQ(m.erase(key), ref.erase(key) == 1);
    } else {
      bool inserted = false;
      m.get_or_insert(key, &inserted) = step;
      EXPECT_EQ(inserted, ref.find(key) == ref.end());
      ref[key] = step;
    }
  }
  ASSERT_EQ(m.size(), ref.size());
  for (auto& [k, v] : ref) {
    const uint64_t* got = m.find(k);
    ASSERT_NE(got, nullptr) << k;
    EXPECT_EQ(*got, v);
  }
  size_t seen = 0;
  m.for_each([&](uint64_t k, uint64_t v) {
    EXPECT_EQ(ref.at(k), v);
    ++seen;
  });
  EXPECT_EQ(seen, ref.size());
  m.clear();
  EXPECT_TRUE(m.empty());
  EXPECT_EQ(m.find(kMax), nullptr);
  EXPECT_EQ(m.find(5), nullptr);
}

TEST(U64Map, ErasureDestroysValueAtOnce) {
  U64Map<std::shared_ptr<int>> m;
  auto v = std::make_shared<int>(1);
  for (uint64_t k = 0; k < 100; ++k) m[k] = v;
  for (uint64_t k = 0; k < 100; k += 2) m.erase(k);
  EXPECT_EQ(v.use_count(), 51);
  m.clear();
  EXPECT_EQ(v.use_count(), 1);
}

}  // namespace
}  // namespace ambrik
