#include <gtest/gtest.h>

#include <cstring>
#include <random>
#include <vector>

#include "crypto/cipher.h"
#include "overflow.h"
#include "page.h"
#include "page_cache.h"
#include "page_io.h"
#include "fault_storage.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::memory_io;
using testing::must;

struct Chains {
  PageCache cache{memory_io(), CacheSettings{}, 2};

  std::vector<uint8_t> value(size_t len) {
    std::vector<uint8_t> v(len);
    for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(i * 7 + i / 251);
    return v;
  }
  Result<std::vector<uint8_t>> read(uint64_t first) {
    std::vector<uint8_t> out;
    TRY(Overflow::read_chain(cache, first, out));
    return out;
  }
  void set_u64(uint64_t page, size_t off, uint64_t v) {
    uint8_t* p = must(cache.get_mut(page));
    store_u64(p + off, v);
    page_trailer_set(p);
  }
};

bool corrupt_at(const Error& e, uint64_t page) {
  return e.kind() == ErrorKind::CorruptPage && e.a() == page;
}

TEST(Overflow, ChainLengthsAtPageBoundaries) {
  for (size_t len : {8163, 16304, 16305}) {
    Chains c;
    auto v = c.value(len);
    uint64_t first = must(Overflow::write(c.cache, v));
    auto ids = must(Overflow::collect_chain_pages(c.cache, first));
    EXPECT_EQ(ids.size(), (len + 8151) / 8152) << len;
    EXPECT_EQ(ids.front(), first);
    for (uint64_t id : ids) {
      const uint8_t* p = must(c.cache.get(id));
      EXPECT_EQ(p[0], kPageOverflow);
      EXPECT_EQ(load_u64(p + 16), len);
      EXPECT_TRUE(testing::written_trailer_ok(c.cache, id));
    }
    EXPECT_EQ(load_u64(must(c.cache.get(ids.back())) + 24), 0u);
    EXPECT_EQ(must(c.read(first)), v) << len;
  }

  // The 11-byte tail of an 8163-byte value is followed by zeros.
  Chains c;
  uint64_t first = must(Overflow::write(c.cache, c.value(8163)));
  uint64_t second = load_u64(must(c.cache.get(first)) + 24);
  const uint8_t* tail = must(c.cache.get(second));
  std::vector<uint8_t> zeros(8141, 0);
  EXPECT_EQ(std::memcmp(tail + 32 + 11, zeros.data(), zeros.size()), 0);
}

TEST(Overflow, StructuralFaultsAreCorrupt) {
  Chains c;
  uint64_t first = must(Overflow::write(c.cache, c.value(16305)));
  auto ids = must(Overflow::collect_chain_pages(c.cache, first));
  ASSERT_EQ(ids.size(), 3u);

  // Too long: the last page names one more overflow page.
  uint64_t extra = must(Overflow::write(c.cache, c.value(9000)));
  c.set_u64(ids[2], 24, extra);
  EXPECT_TRUE(corrupt_at(c.read(first).error(), first));
  EXPECT_TRUE(corrupt_at(Overflow::collect_chain_pages(c.cache, first).error(), first));

  // A loop back to the first page.
  c.set_u64(ids[2], 24, first);
  EXPECT_TRUE(corrupt_at(c.read(first).error(), first));
  EXPECT_TRUE(corrupt_at(Overflow::collect_chain_pages(c.cache, first).error(), first));
  // A loop that would run for ages if the claimed length were trusted.
  c.set_u64(first, 16, kNoPage - 5);
  EXPECT_TRUE(corrupt_at(c.read(first).error(), first));
  EXPECT_TRUE(corrupt_at(Overflow::collect_chain_pages(c.cache, first).error(), first));
  c.set_u64(first, 16, 16305);

  // Too short: read refuses, collection (for freeing) accepts.
  c.set_u64(ids[1], 24, 0);
  EXPECT_TRUE(corrupt_at(c.read(first).error(), first));
  EXPECT_EQ(must(Overflow::collect_chain_pages(c.cache, first)),
            (std::vector<uint64_t>{ids[0], ids[1]}));
  c.set_u64(ids[1], 24, ids[2]);
  c.set_u64(ids[2], 24, 0);
  EXPECT_EQ(must(c.read(first)).size(), 16305u);

  // A middle page of the wrong type is named itself.
  uint8_t* mid = must(c.cache.get_mut(ids[1]));
  mid[0] = kPageData;
  page_trailer_set(mid);
  EXPECT_TRUE(corrupt_at(c.read(first).error(), ids[1]));
  EXPECT_TRUE(corrupt_at(Overflow::collect_chain_pages(c.cache, first).error(), ids[1]));

  // Total length 0 on the first page.
  c.set_u64(first, 16, 0);
  EXPECT_TRUE(corrupt_at(c.read(first).error(), first));
  EXPECT_TRUE(corrupt_at(Overflow::collect_chain_pages(c.cache, first).error(), first));

  // A first page that is no overflow page at all.
  EXPECT_TRUE(corrupt_at(c.read(ids[1]).error(), ids[1]));
}

Result<std::vector<uint8_t>> read_into(PageCache& cache, uint64_t first) {
  std::vector<uint8_t> out;
  bool got = TRY(Overflow::read_chain_into(cache, first, [&](size_t n) {
    out.assign(n, 0xEE);
    return out.data();
  }));
  EXPECT_TRUE(got);
  return out;
}

// A chain laid over `order` by hand, then written to the file and dropped
// from the cache, so that reads must come from the file; plaintext pages,
// then sealed units that open straight into the value.
TEST(Overflow, ReadIntoFollowsTheChainAcrossRunsAndStaysCoherent) {
  for (bool sealed : {false, true}) {
    SCOPED_TRACE(sealed ? "sealed" : "plaintext");
    auto image = std::make_shared<testing::SharedImage>();
    CacheSettings settings;
    settings.cache_max_bytes = 64 * kPageSize;
    auto io = std::make_unique<PageIo>(std::make_unique<testing::FaultStorage>(image), false);
    if (sealed) io->set_sealed_stride();
    PageCache cache(std::move(io), settings, 2);
    KeyBytes key;
    for (size_t i = 0; i < key.size(); ++i) key[i] = static_cast<uint8_t>(3 * i + 1);
    if (sealed) cache.set_cipher(std::make_unique<PageCipher>(key.data()));
    const size_t stride = sealed ? kSealedStride : kPageSize;
    std::vector<uint64_t> ids;
    for (int i = 0; i < 16; ++i) ids.push_back(must(cache.new_page()));  // 2 .. 17
    // Runs 2-4, 9-10, 5-7, 13: the guess of consecutive ids fails after 4,
    // after 10 (page 11 holds garbage that must not be reported) and after 7.
    const std::vector<uint64_t> order = {2, 3, 4, 9, 10, 5, 6, 7, 13};
    const uint64_t len = 8 * kOverflowPayload + 100;
    std::vector<uint8_t> value(len);
    for (size_t i = 0; i < len; ++i) value[i] = static_cast<uint8_t>(i * 31 + i / 8152);
    for (size_t j = 0; j < order.size(); ++j) {
      uint8_t* p = must(cache.get_mut(order[j]));
      std::memset(p, 0, kPageSize);
      p[0] = kPageOverflow;
      store_u64(p + 16, len);
      store_u64(p + 24, j + 1 < order.size() ? order[j + 1] : 0);
      uint64_t from = j * kOverflowPayload;
      std::memcpy(p + 32, value.data() + from, std::min<uint64_t>(kOverflowPayload, len - from));
      page_trailer_set(p);
    }
    uint8_t* garbage = must(cache.get_mut(11));
    garbage[0] = kPageOverflow;  // trailer left wrong
    must(cache.flush());
    cache.set_cache_max_bytes(kPageSize);
    cache.set_cache_max_bytes(64 * kPageSize);
    ASSERT_LE(cache.entry_count(), 1u);

    uint64_t misses = cache.counters().cache_misses;
    EXPECT_EQ(must(read_into(cache, 2)), value);
    EXPECT_EQ(must(read_into(cache, 2)), must([&] {
                std::vector<uint8_t> v;
                auto st = Overflow::read_chain(cache, 2, v);
                return st.ok() ? Result<std::vector<uint8_t>>(v) : st.error();
              }()));
    EXPECT_GE(cache.counters().cache_misses - misses, order.size());

    // A page changed in the cache is read from there, not from the file.
    uint8_t* p = must(cache.get_mut(9));
    p[32] ^= 0xFF;
    page_trailer_set(p);
    value[3 * kOverflowPayload] ^= 0xFF;
    EXPECT_EQ(must(read_into(cache, 2)), value);
    must(cache.flush());

    // A damaged page of the chain itself is reported, by its id: a unit
    // that does not open, or (under a sealed unit that does) a page whose
    // trailer does not match.
    cache.set_cache_max_bytes(kPageSize);
    image->bytes[6 * stride + 500] ^= 1;
    auto r = read_into(cache, 2);
    ASSERT_FALSE(r.ok());
    EXPECT_EQ(r.error().kind(), sealed ? ErrorKind::DecryptionFailed : ErrorKind::ChecksumMismatch);
    EXPECT_EQ(r.error().a(), 6u);
    if (sealed) {
      std::vector<uint8_t> page(kPageSize);
      PageCipher cipher(key.data());
      image->bytes[6 * stride + 500] ^= 1;
      ASSERT_TRUE(cipher.open(7, image->bytes.data() + 7 * stride, page.data()));
      page[40] ^= 1;  // trailer left as it was
      ASSERT_TRUE(cipher.seal(7, page.data(), image->bytes.data() + 7 * stride).ok());
      r = read_into(cache, 2);
      ASSERT_FALSE(r.ok());
      EXPECT_EQ(r.error().kind(), ErrorKind::ChecksumMismatch);
      EXPECT_EQ(r.error().a(), 7u);
    }
  }
}

// Random page bytes (with valid trailers) must never crash a chain walker.
TEST(Overflow, WalkersSurviveRandomPages) {
  std::mt19937_64 rng(0x0F10);
  for (int round = 0; round < 300; ++round) {
    Chains c;
    std::vector<uint64_t> ids;
    for (int i = 0; i < 5; ++i) ids.push_back(must(c.cache.new_page()));
    for (uint64_t id : ids) {
      uint8_t* page = must(c.cache.get_mut(id));
      for (size_t i = 0; i < kTrailerOffset; ++i) page[i] = static_cast<uint8_t>(rng());
      if (rng() % 4 != 0) {
        page[0] = rng() % 8 ? uint8_t{kPageOverflow} : static_cast<uint8_t>(rng());
        uint64_t len = rng() % 3 ? rng() % 50000 : rng();
        store_u64(page + 16, len);
        store_u64(page + 24, rng() % 6 == 0 ? rng() % 10 : ids[rng() % ids.size()]);
        if (rng() % 5 == 0) store_u64(page + 24, 0);
      }
      page_trailer_set(page);
    }
    for (uint64_t id : ids) {
      auto r = c.read(id);
      if (!r.ok()) {
        EXPECT_TRUE(r.error().kind() == ErrorKind::CorruptPage ||
                    r.error().kind() == ErrorKind::InvalidPageId)
            << r.error().message();
      }
      // Reading into a caller's buffer agrees, error for error.
      auto into = read_into(c.cache, id);
      EXPECT_EQ(into.ok(), r.ok());
      if (into.ok() && r.ok()) {
        EXPECT_EQ(into.value(), r.value());
      }
      if (!into.ok() && !r.ok()) {
        EXPECT_EQ(into.error().message(), r.error().message());
      }
      auto l = Overflow::collect_chain_pages(c.cache, id);
      if (!l.ok()) {
        EXPECT_TRUE(l.error().kind() == ErrorKind::CorruptPage ||
                    l.error().kind() == ErrorKind::InvalidPageId)
            << l.error().message();
      }
    }
  }
}

}  // namespace
}  // namespace ambrik
