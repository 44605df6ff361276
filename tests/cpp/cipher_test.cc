#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <random>
#include <set>
#include <vector>

#include "crypto/cipher.h"
#include "page.h"

namespace ambrik {
namespace {

KeyBytes test_key(uint8_t seed) {
  KeyBytes k;
  for (size_t i = 0; i < k.size(); ++i) k[i] = static_cast<uint8_t>(seed + 7 * i);
  return k;
}

std::vector<uint8_t> test_page() {
  std::vector<uint8_t> page(kPageSize);
  for (size_t i = 0; i < page.size(); ++i) page[i] = static_cast<uint8_t>(i * 31 + 5);
  page_trailer_set(page.data());
  return page;
}

class PageCipherTest : public ::testing::Test {
 protected:
  PageCipherTest() : key_(test_key(1)), cipher_(key_.data()), page_(test_page()) {}

  std::vector<uint8_t> seal(uint64_t id) {
    std::vector<uint8_t> unit(kSealedStride);
    EXPECT_TRUE(cipher_.seal(id, page_.data(), unit.data()).ok());
    return unit;
  }
  // open() and open_into() over a split of the page at `cuts`, which must
  // agree: the same bytes when the unit opens, and when it does not, a
  // wiped page and untouched buffers.
  bool opens(uint64_t id, const std::vector<uint8_t>& unit, std::vector<size_t> cuts = {32, 8184}) {
    std::vector<uint8_t> out(kPageSize);
    bool ok = cipher_.open(id, unit.data(), out.data());
    std::vector<uint8_t> into(kPageSize + cuts.size() + 1, 0xAA);
    std::vector<struct iovec> segs;
    size_t from = 0;
    cuts.push_back(kPageSize);
    for (size_t i = 0; i < cuts.size(); ++i) {
      // One unused byte between buffers: a write past a buffer shows.
      segs.push_back({into.data() + from + i, cuts[i] - from});
      from = cuts[i];
    }
    bool ok_into = cipher_.open_into(id, unit.data(), segs.data(), segs.size());
    EXPECT_EQ(ok_into, ok);
    std::vector<uint8_t> joined;
    for (size_t i = 0; i < into.size(); ++i) {
      bool gap = false;
      for (size_t c = 0; c + 1 < cuts.size(); ++c) gap |= i == cuts[c] + c;
      if (gap || i + 1 == into.size()) EXPECT_EQ(into[i], 0xAA) << "byte between buffers, " << i;
      else joined.push_back(into[i]);
    }
    EXPECT_EQ(joined, ok ? out : std::vector<uint8_t>(kPageSize, 0xAA));
    return ok;
  }

  KeyBytes key_;
  PageCipher cipher_;
  std::vector<uint8_t> page_;
};

TEST_F(PageCipherTest, SealingTwiceGivesDifferentUnitsThatBothOpen) {
  auto a = seal(7);
  auto b = seal(7);
  EXPECT_NE(a, b);
  EXPECT_NE(std::memcmp(a.data(), page_.data(), kPageSize), 0);
  for (const auto& unit : {a, b}) {
    std::vector<uint8_t> out(kPageSize);
    ASSERT_TRUE(cipher_.open(7, unit.data(), out.data()));
    EXPECT_EQ(out, page_);
  }
}

// Nonces come in batches: none repeats across batches, nor between a parent
// and a child that both go on sealing after a fork.
TEST_F(PageCipherTest, NoncesNeverRepeatAcrossBatchesOrAFork) {
  auto nonce_of = [](const std::vector<uint8_t>& unit) {
    return std::vector<uint8_t>(unit.begin() + kPageSize + kTagBytes, unit.end());
  };
  std::set<std::vector<uint8_t>> seen;
  for (size_t i = 0; i < PageCipher::kNoncesPerDraw * 2 + 3; ++i)
    ASSERT_TRUE(seen.insert(nonce_of(seal(i))).second) << i;
  int fds[2];
  ASSERT_EQ(pipe(fds), 0);
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    auto nonce = nonce_of(seal(1));
    _exit(write(fds[1], nonce.data(), nonce.size()) == static_cast<ssize_t>(nonce.size()) ? 0 : 1);
  }
  auto mine = nonce_of(seal(1));
  std::vector<uint8_t> childs(kNonceBytes);
  ASSERT_EQ(read(fds[0], childs.data(), childs.size()), static_cast<ssize_t>(childs.size()));
  int status = 0;
  waitpid(pid, &status, 0);
  close(fds[0]);
  close(fds[1]);
  EXPECT_NE(mine, childs);
  EXPECT_TRUE(seen.insert(mine).second);
}

TEST_F(PageCipherTest, UnitMovedToAnotherIdFailsAndOutputIsWiped) {
  auto unit = seal(7);
  std::vector<uint8_t> out(kPageSize, 0xAA);
  EXPECT_FALSE(cipher_.open(8, unit.data(), out.data()));
  EXPECT_EQ(out, std::vector<uint8_t>(kPageSize, 0));
  EXPECT_FALSE(opens(8, unit));
}

// Opening into pieces gives open()'s bytes whatever the cut points: inside
// and on the edges of 64-byte blocks, empty pieces, one piece, many.
TEST_F(PageCipherTest, OpenIntoAnySplitMatchesOpen) {
  std::mt19937_64 rng(23);
  for (int round = 0; round < 200; ++round) {
    for (size_t i = 0; i < kTrailerOffset; ++i) page_[i] = static_cast<uint8_t>(rng());
    page_trailer_set(page_.data());
    uint64_t id = rng();
    auto unit = seal(id);
    std::vector<size_t> cuts;
    size_t n = round == 0 ? 0 : rng() % 12;
    for (size_t i = 0; i < n; ++i)
      cuts.push_back(rng() % 3 == 0 ? 64 * (rng() % 129) : rng() % (kPageSize + 1));
    std::sort(cuts.begin(), cuts.end());
    ASSERT_TRUE(opens(id, unit, cuts)) << round;
  }
  // Buffers that do not add up to a page are refused, untouched.
  auto unit = seal(5);
  std::vector<uint8_t> buf(kPageSize + 1, 0xAA);
  struct iovec longer = {buf.data(), kPageSize + 1};
  EXPECT_FALSE(cipher_.open_into(5, unit.data(), &longer, 1));
  EXPECT_EQ(buf, std::vector<uint8_t>(kPageSize + 1, 0xAA));
}

TEST_F(PageCipherTest, AnotherKeyDoesNotOpen) {
  auto unit = seal(3);
  KeyBytes other = test_key(2);
  PageCipher wrong(other.data());
  std::vector<uint8_t> out(kPageSize);
  EXPECT_FALSE(wrong.open(3, unit.data(), out.data()));
}

TEST_F(PageCipherTest, FlippedBitsInCiphertextTagOrNonceFail) {
  const auto unit = seal(11);
  std::vector<size_t> bits;
  // A sample across the ciphertext, including both ends...
  for (size_t bit = 0; bit < kPageSize * 8; bit += 613) bits.push_back(bit);
  bits.push_back(kPageSize * 8 - 1);
  // ...and every bit of tag and nonce.
  for (size_t bit = kPageSize * 8; bit < kSealedStride * 8; ++bit) bits.push_back(bit);
  for (size_t bit : bits) {
    auto damaged = unit;
    damaged[bit / 8] ^= static_cast<uint8_t>(1u << (bit % 8));
    EXPECT_FALSE(opens(11, damaged)) << "bit " << bit;
  }
  EXPECT_TRUE(opens(11, unit));
}

TEST_F(PageCipherTest, UnitIsCiphertextThenTagThenNonce) {
  auto unit = seal(42);
  // Open it with the primitive, taking each part from its documented place.
  uint8_t ad[8];
  store_u64(ad, 42);
  std::vector<uint8_t> out(kPageSize);
  ASSERT_TRUE(open_detached(key_.data(), unit.data() + kPageSize + kTagBytes, ad, sizeof ad,
                            unit.data(), kPageSize, unit.data() + kPageSize, out.data()));
  EXPECT_EQ(out, page_);
}

TEST(SealDetached, AssociatedDataIsAuthenticated) {
  KeyBytes key = test_key(9);
  std::array<uint8_t, kNonceBytes> nonce{};
  ASSERT_TRUE(random_bytes(nonce.data(), nonce.size()).ok());
  const uint8_t msg[5] = {1, 2, 3, 4, 5};
  uint8_t ad[3] = {9, 9, 9};
  uint8_t ct[5], tag[kTagBytes], out[5];
  seal_detached(key.data(), nonce.data(), ad, sizeof ad, msg, sizeof msg, ct, tag);
  ASSERT_TRUE(open_detached(key.data(), nonce.data(), ad, sizeof ad, ct, sizeof ct, tag, out));
  EXPECT_EQ(std::memcmp(out, msg, sizeof msg), 0);
  ad[1] = 8;
  EXPECT_FALSE(open_detached(key.data(), nonce.data(), ad, sizeof ad, ct, sizeof ct, tag, out));
  EXPECT_FALSE(open_detached(key.data(), nonce.data(), ad, 2, ct, sizeof ct, tag, out));
}

}  // namespace
}  // namespace ambrik
