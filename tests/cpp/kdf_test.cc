#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "crypto/kdf.h"

namespace ambrik {
namespace {

std::string hex(const SecretBytes& b) {
  static const char* d = "0123456789abcdef";
  std::string s;
  for (size_t i = 0; i < b.size(); ++i) {
    s += d[b.data()[i] >> 4];
    s += d[b.data()[i] & 15];
  }
  return s;
}

std::array<uint8_t, 16> salt_of(const char* s16) {
  std::array<uint8_t, 16> a{};
  std::memcpy(a.data(), s16, 16);
  return a;
}

std::array<uint8_t, 16> counting_salt() {
  std::array<uint8_t, 16> a{};
  for (size_t i = 0; i < 16; ++i) a[i] = static_cast<uint8_t>(i);
  return a;
}

std::optional<SecretBytes> derive(const std::string& key, uint8_t kind,
                                  const std::array<uint8_t, 16>& salt, Argon2Params p) {
  return derive_kek(reinterpret_cast<const uint8_t*>(key.data()), key.size(), kind, salt.data(), p);
}

// Expected values computed independently (Python hmac/hashlib for HKDF, the
// argon2-cffi reference binding for Argon2id).
TEST(DeriveKek, RawKeyIsHkdfSha256) {
  auto k1 = derive("raw-key-material", kSlotKindRaw, counting_salt(), {});
  ASSERT_TRUE(k1);
  EXPECT_EQ(hex(*k1), "665a6f94bb4cc420a002e3723287278a5e15408decc2af858ade1f3e3df21156");

  std::array<uint8_t, 16> ff;
  ff.fill(0xFF);
  auto k2 = derive(std::string(1, '\0'), kSlotKindRaw, ff, {});
  ASSERT_TRUE(k2);
  EXPECT_EQ(hex(*k2), "64f9629501b2602205d38b0604c1483e1751a6e822874bf2b3d63344892ecc47");

  std::string hundred;
  for (int i = 0; i < 100; ++i) hundred += static_cast<char>(i);
  auto k3 = derive(hundred, kSlotKindRaw, salt_of("0123456789abcdef"), {});
  ASSERT_TRUE(k3);
  EXPECT_EQ(hex(*k3), "24a2e32a8c76a409ec6c2306703e6e6dce456185082173581c18064aca45a621");
}

TEST(DeriveKek, RawKeyIgnoresCosts) {
  auto a = derive("k", kSlotKindRaw, counting_salt(), {0, 0, 0});
  auto b = derive("k", kSlotKindRaw, counting_salt(), {0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF});
  ASSERT_TRUE(a && b);
  EXPECT_EQ(hex(*a), hex(*b));
}

TEST(DeriveKek, PassphraseIsArgon2id13) {
  auto k1 = derive("password", kSlotKindPassphrase, salt_of("somesalt16bytes!"), {32, 2, 2});
  ASSERT_TRUE(k1);
  EXPECT_EQ(hex(*k1), "ca60226278940636705347ffa4743941a27ed322fdb348ac7dc6e3c0da54e0d2");

  auto k2 = derive("correct horse", kSlotKindPassphrase, counting_salt(), {8, 1, 1});
  ASSERT_TRUE(k2);
  EXPECT_EQ(hex(*k2), "3bfa796a86260b73457e1290b51695931a17e266f601d0fb45563e282fb6865b");
}

TEST(DeriveKek, KindAndSaltChangeTheResult) {
  auto raw = derive("same bytes", kSlotKindRaw, counting_salt(), {8, 1, 1});
  auto pass = derive("same bytes", kSlotKindPassphrase, counting_salt(), {8, 1, 1});
  auto other_salt = derive("same bytes", kSlotKindRaw, salt_of("................"), {});
  ASSERT_TRUE(raw && pass && other_salt);
  EXPECT_EQ(raw->size(), kKekBytes);
  EXPECT_EQ(pass->size(), kKekBytes);
  EXPECT_NE(hex(*raw), hex(*pass));
  EXPECT_NE(hex(*raw), hex(*other_salt));
}

TEST(DeriveKek, EmptyKeyAndUnknownKindFail) {
  EXPECT_FALSE(derive("", kSlotKindRaw, counting_salt(), {}));
  EXPECT_FALSE(derive("", kSlotKindPassphrase, counting_salt(), {8, 1, 1}));
  EXPECT_FALSE(derive("key", 0, counting_salt(), {8, 1, 1}));
  EXPECT_FALSE(derive("key", 3, counting_salt(), {8, 1, 1}));
}

TEST(DeriveKek, PassphraseCostRules) {
  struct Case {
    Argon2Params p;
    bool ok;
  };
  const Case cases[] = {
      {{8, 1, 1}, true},
      {{16, 1, 2}, true},
      {{7, 1, 1}, false},    // below the absolute minimum
      {{15, 1, 2}, false},   // below 8 KiB per lane
      {{8, 0, 1}, false},    // no pass
      {{8, 1, 0}, false},    // no lane
      {{8, 65, 1}, false},   // over the pass cap
      {{1024, 1, 65}, false},  // over the lane cap
      {{4194305, 1, 1}, false},  // over the memory cap
      {{0xFFFFFFFF, 0xFFFFFFFF, 0xFFFFFFFF}, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.p.memory_kib << "/" << c.p.passes << "/" << c.p.lanes);
    EXPECT_EQ(argon2_params_derivable(c.p), c.ok);
    EXPECT_EQ(derive("pw", kSlotKindPassphrase, counting_salt(), c.p).has_value(), c.ok);
  }
  // The caps themselves are allowed (checked without running them).
  EXPECT_TRUE(argon2_params_derivable({4194304, 64, 64}));
  EXPECT_TRUE(argon2_params_derivable({19456, 2, 1}));
}

}  // namespace
}  // namespace ambrik
