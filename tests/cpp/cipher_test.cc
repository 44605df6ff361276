#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <cstring>
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
  bool opens(uint64_t id, const std::vector<uint8_t>& unit) {
    std::vector<uint8_t> out(kPageSize);
    return cipher_.open(id, unit.data(), out.data());
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
