#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "page.h"
#include "superblock/crypto_header.h"
#include "key_test_util.h"

namespace ambrik {
namespace {

using testing::kTinyCosts;
using testing::make_key;
using testing::test_data_key;

TEST(KeySlots, EncodeDecodeLayout) {
  KeySlot s;
  s.state = 1;
  s.kind = 2;
  s.costs = {0x4C00, 2, 1};
  for (size_t i = 0; i < 16; ++i) s.salt[i] = static_cast<uint8_t>(0x10 + i);
  for (size_t i = 0; i < 24; ++i) s.nonce[i] = static_cast<uint8_t>(0x40 + i);
  for (size_t i = 0; i < 32; ++i) s.wrapped[i] = static_cast<uint8_t>(0x80 + i);
  for (size_t i = 0; i < 16; ++i) s.tag[i] = static_cast<uint8_t>(0xE0 + i);
  std::array<uint8_t, kKeySlotBytes> b;
  b.fill(0xEE);
  encode_key_slot(s, b.data());
  EXPECT_EQ(b[0], 1);
  EXPECT_EQ(b[1], 2);
  EXPECT_EQ(load_u32(b.data() + 2), 0x4C00u);
  EXPECT_EQ(load_u32(b.data() + 6), 2u);
  EXPECT_EQ(load_u32(b.data() + 10), 1u);
  EXPECT_EQ(b[14], 0x10);
  EXPECT_EQ(b[30], 0x40);
  EXPECT_EQ(b[54], 0x80);
  EXPECT_EQ(b[86], 0xE0);
  for (size_t i = 102; i < kKeySlotBytes; ++i) EXPECT_EQ(b[i], 0) << i;

  KeySlot back = decode_key_slot(b.data());
  std::array<uint8_t, kKeySlotBytes> b2{};
  encode_key_slot(back, b2.data());
  EXPECT_EQ(b, b2);
}

TEST(KeySlots, WrapAndUnlockRawAndPassphrase) {
  KeyBytes dek = test_data_key();
  CryptoHeader h;
  ASSERT_TRUE(wrap_into(h, 0, make_key(KeyKind::Raw, "raw key"), dek.data(), {19456, 2, 1}).ok());
  ASSERT_TRUE(
      wrap_into(h, 2, make_key(KeyKind::Passphrase, "pass phrase"), dek.data(), kTinyCosts).ok());
  ASSERT_TRUE(wrap_into(h, 3, make_key(KeyKind::Raw, "late"), dek.data(), kRawKeyAddedCosts).ok());
  EXPECT_EQ(h.slots[0].kind, kSlotKindRaw);
  EXPECT_EQ(h.slots[0].costs.memory_kib, 19456u);
  EXPECT_EQ(h.slots[2].kind, kSlotKindPassphrase);
  EXPECT_EQ(h.slots[3].costs.memory_kib, 0u);
  EXPECT_NE(h.slots[0].salt, h.slots[3].salt);
  EXPECT_EQ(active_slot_count(h), 3u);
  EXPECT_EQ(first_free_slot(h), 1u);

  struct Case {
    Key key;
    size_t slot;
  };
  Case cases[] = {{make_key(KeyKind::Raw, "raw key"), 0},
                  {make_key(KeyKind::Passphrase, "pass phrase"), 2},
                  // The slot's kind decides the derivation, not the caller's.
                  {make_key(KeyKind::Raw, "pass phrase"), 2},
                  {make_key(KeyKind::Raw, "late"), 3}};
  for (const Case& c : cases) {
    auto r = unlock(h, c.key);
    ASSERT_TRUE(r.ok());
    EXPECT_EQ(r.value().slot, c.slot);
    ASSERT_EQ(r.value().data_key.size(), kKeyBytes);
    EXPECT_EQ(std::memcmp(r.value().data_key.data(), dek.data(), kKeyBytes), 0);
  }

  auto wrong = unlock(h, make_key(KeyKind::Raw, "nope"));
  ASSERT_FALSE(wrong.ok());
  EXPECT_EQ(wrong.error().message(),
            "encryption key does not match any key slot (wrong passphrase or raw key)");
  EXPECT_FALSE(unlock(h, make_key(KeyKind::Raw, "")).ok());
}

TEST(KeySlots, FailedWrapLeavesSlotUntouched) {
  KeyBytes dek = test_data_key();
  CryptoHeader h;
  ASSERT_TRUE(wrap_into(h, 1, make_key(KeyKind::Raw, "k"), dek.data(), {}).ok());
  const KeySlot before = h.slots[1];
  auto empty = wrap_into(h, 1, make_key(KeyKind::Passphrase, ""), dek.data(), kTinyCosts);
  ASSERT_FALSE(empty.ok());
  EXPECT_EQ(empty.error().kind(), ErrorKind::InvalidEncryptionKey);
  auto costly = wrap_into(h, 1, make_key(KeyKind::Passphrase, "p"), dek.data(), {8, 65, 1});
  ASSERT_FALSE(costly.ok());
  EXPECT_EQ(costly.error().kind(), ErrorKind::InvalidEncryptionKey);
  EXPECT_EQ(h.slots[1].tag, before.tag);
  EXPECT_EQ(h.slots[1].salt, before.salt);
}

TEST(KeySlots, AnyAuthenticatedFieldChangeBreaksTheSlot) {
  KeyBytes dek = test_data_key();
  CryptoHeader h;
  const Key pass = make_key(KeyKind::Passphrase, "pw");
  ASSERT_TRUE(wrap_into(h, 0, pass, dek.data(), kTinyCosts).ok());
  const KeySlot good = h.slots[0];

  auto still_opens = [&](auto edit) {
    CryptoHeader t;
    t.slots[0] = good;
    edit(t.slots[0]);
    return unlock(t, pass).ok();
  };
  EXPECT_TRUE(still_opens([](KeySlot&) {}));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.state = 2; }));           // free: skipped
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.kind = 1; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.kind = 3; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.costs.memory_kib = 16; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.costs.passes = 2; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.salt[5] ^= 1; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.nonce[0] ^= 1; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.wrapped[31] ^= 1; }));
  EXPECT_FALSE(still_opens([](KeySlot& s) { s.tag[8] ^= 1; }));
}

TEST(KeySlots, HostileCostsAreSkippedWithoutRunning) {
  KeyBytes dek = test_data_key();
  CryptoHeader h;
  const Key pass = make_key(KeyKind::Passphrase, "pw");
  // Slot 0 claims enormous costs; slot 1 is a normal raw slot.
  ASSERT_TRUE(wrap_into(h, 0, pass, dek.data(), kTinyCosts).ok());
  h.slots[0].costs = {0xFFFFFFF0, 0xFFFFFFFF, 64};
  ASSERT_TRUE(wrap_into(h, 1, make_key(KeyKind::Raw, "pw"), dek.data(), {}).ok());
  h.slots[2] = h.slots[0];
  h.slots[2].costs = {4194305, 1, 1};

  auto start = std::chrono::steady_clock::now();
  auto r = unlock(h, pass);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().slot, 1u);
  EXPECT_LT(took, std::chrono::seconds(5));
}

TEST(KeySlots, FreeSlotBookkeeping) {
  KeyBytes dek = test_data_key();
  CryptoHeader h;
  EXPECT_EQ(active_slot_count(h), 0u);
  EXPECT_EQ(first_free_slot(h), 0u);
  for (size_t i = 0; i < kKeySlotCount; ++i)
    ASSERT_TRUE(wrap_into(h, i, make_key(KeyKind::Raw, "k" + std::to_string(i)), dek.data(),
                          kRawKeyAddedCosts)
                    .ok());
  EXPECT_EQ(active_slot_count(h), 8u);
  EXPECT_FALSE(first_free_slot(h));
  EXPECT_EQ(unlock(h, make_key(KeyKind::Raw, "k6")).value().slot, 6u);

  clear_slot(h, 5);
  h.slots[2].state = 7;  // any state but 1 is free
  EXPECT_EQ(active_slot_count(h), 6u);
  EXPECT_EQ(first_free_slot(h), 2u);
  std::array<uint8_t, kKeySlotBytes> b{};
  encode_key_slot(h.slots[5], b.data());
  EXPECT_EQ(b, (std::array<uint8_t, kKeySlotBytes>{}));
  EXPECT_FALSE(unlock(h, make_key(KeyKind::Raw, "k5")).ok());
  EXPECT_FALSE(unlock(h, make_key(KeyKind::Raw, "k2")).ok());
}

}  // namespace
}  // namespace ambrik
