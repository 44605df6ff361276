#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "crypto/cipher.h"
#include "page.h"
#include "superblock/crypto_header.h"
#include "superblock/superblock.h"
#include "key_test_util.h"

namespace ambrik {
namespace {

using Page = std::array<uint8_t, kPageSize>;

using testing::kTinyCosts;
using testing::make_key;
using testing::test_data_key;

Superblock sample(uint64_t generation = 9, uint32_t count = 3) {
  Superblock sb;
  sb.generation = generation;
  sb.handle_root = 17;
  sb.freemap_root = 23;
  sb.page_count = 40;
  sb.next_handle = 1234;
  for (size_t i = 0; i < sb.named_roots.size(); ++i) sb.named_roots[i] = static_cast<uint8_t>(i);
  sb.superblock_count = count;
  sb.membership_root = 31;
  sb.freemap_depth = 2;
  return sb;
}

Superblock sample_encrypted(const KeyBytes& dek, uint64_t generation = 9) {
  Superblock sb = sample(generation);
  sb.format_version = kFormatVersionEncrypted;
  CryptoHeader h;
  EXPECT_TRUE(wrap_into(h, 0, make_key(KeyKind::Raw, "k0"), dek.data(), {19456, 2, 1}).ok());
  sb.encryption = h;
  return sb;
}

void expect_body_equal(const Superblock& a, const Superblock& b) {
  EXPECT_EQ(a.handle_root, b.handle_root);
  EXPECT_EQ(a.freemap_root, b.freemap_root);
  EXPECT_EQ(a.page_count, b.page_count);
  EXPECT_EQ(a.next_handle, b.next_handle);
  EXPECT_EQ(a.named_roots, b.named_roots);
  EXPECT_EQ(a.membership_root, b.membership_root);
  EXPECT_EQ(a.freemap_depth, b.freemap_depth);
}

SuperblockDefect defect_of(std::span<const uint8_t> bytes) {
  auto r = deserialize(bytes);
  EXPECT_TRUE(std::holds_alternative<SuperblockDefect>(r));
  return std::holds_alternative<SuperblockDefect>(r) ? std::get<SuperblockDefect>(r)
                                                     : SuperblockDefect{};
}

Superblock parsed(std::span<const uint8_t> bytes) {
  auto r = deserialize(bytes);
  EXPECT_TRUE(std::holds_alternative<Superblock>(r));
  return std::holds_alternative<Superblock>(r) ? std::get<Superblock>(r) : Superblock{};
}

// ---------------------------------------------------------------- formats

TEST(SuperblockFormat, PlaintextRoundTripAndLayout) {
  Superblock in = sample();
  in.format_version = 0x00010007;  // the writer stamps its own version
  Page page = serialize(in);
  EXPECT_EQ(std::memcmp(page.data(), "KBMA", 4), 0);
  EXPECT_EQ(load_u32(page.data() + 4), kFormatVersionPlain);
  EXPECT_EQ(load_u64(page.data() + 16), 17u);
  EXPECT_EQ(load_u32(page.data() + 48), 8192u);
  EXPECT_EQ(load_u32(page.data() + 308), 3u);
  EXPECT_EQ(page[324], 0);
  EXPECT_TRUE(page_trailer_ok(page.data()));
  for (size_t i = 325; i < kTrailerOffset; ++i) ASSERT_EQ(page[i], 0) << i;

  Superblock out = parsed(page);
  EXPECT_FALSE(out.encryption);
  EXPECT_EQ(out.magic, kSuperblockMagic);
  EXPECT_EQ(out.format_version, kFormatVersionPlain);
  EXPECT_EQ(out.generation, 9u);
  EXPECT_EQ(out.page_size, 8192u);
  EXPECT_EQ(out.superblock_count, 3u);
  expect_body_equal(out, in);
}

TEST(SuperblockFormat, EncryptedRoundTripKeepsBodyOutOfTheClear) {
  KeyBytes dek = test_data_key();
  Superblock in = sample_encrypted(dek);
  auto bytes = serialize_encrypted(in, dek.data());
  ASSERT_TRUE(bytes.ok());
  const Page& page = bytes.value();
  EXPECT_EQ(load_u32(page.data() + 4), kFormatVersionEncrypted);
  EXPECT_EQ(page[324], 1);
  EXPECT_EQ(load_u32(page.data() + 325), 8232u);
  EXPECT_EQ(load_u16(page.data() + 1396), 300u);
  for (size_t i = 16; i < 48; ++i) ASSERT_EQ(page[i], 0) << i;
  for (size_t i = 52; i < 308; ++i) ASSERT_EQ(page[i], 0) << i;
  for (size_t i = 312; i < 324; ++i) ASSERT_EQ(page[i], 0) << i;
  for (size_t i = 1398 + 300; i < kTrailerOffset; ++i) ASSERT_EQ(page[i], 0) << i;
  EXPECT_TRUE(page_trailer_ok(page.data()));

  Superblock out = parsed(page);
  ASSERT_TRUE(out.encryption);
  EXPECT_EQ(out.encryption->stride, 8232u);
  EXPECT_EQ(out.generation, 9u);
  EXPECT_EQ(out.handle_root, kNoPage);  // unknown until the body is opened
  EXPECT_TRUE(out.encryption->slots[0].active());
  EXPECT_EQ(out.encryption->slots[0].tag, in.encryption->slots[0].tag);

  ASSERT_TRUE(decrypt_body(out, page, dek.data()));
  expect_body_equal(out, in);

  auto again = serialize_encrypted(in, dek.data());
  ASSERT_TRUE(again.ok());
  EXPECT_NE(again.value(), page);  // fresh nonce each time
}

TEST(SuperblockFormat, SerializeEncryptedWithoutHeaderIsInternal) {
  KeyBytes dek = test_data_key();
  auto r = serialize_encrypted(sample(), dek.data());
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Internal);
  EXPECT_EQ(r.error().message(), "serialize_encrypted requires Superblock.encryption = Some");
}

TEST(SuperblockFormat, DefectsInCheckOrder) {
  Page good = serialize(sample());

  Page flipped = good;
  flipped[100] ^= 1;
  EXPECT_EQ(defect_of(flipped).text(), "bad checksum");

  // Bad magic and a bad count together: magic is checked first.
  Page magic = good;
  magic[0] = 'X';
  store_u32(magic.data() + 308, 99);
  page_trailer_set(magic.data());
  EXPECT_EQ(defect_of(magic).text(), "bad magic");
  // With a stale trailer the checksum decides.
  magic[1] = 'Y';
  EXPECT_EQ(defect_of(magic).text(), "bad checksum");

  for (uint32_t n : {0u, 1u, 17u}) {
    Page count = good;
    store_u32(count.data() + 308, n);
    page_trailer_set(count.data());
    EXPECT_EQ(defect_of(count).text(), "bad superblock_count " + std::to_string(n));
  }
  for (uint32_t n : {2u, 16u}) {
    Page count = good;
    store_u32(count.data() + 308, n);
    page_trailer_set(count.data());
    EXPECT_EQ(parsed(count).superblock_count, n);
  }

  std::vector<uint8_t> short_buf(good.begin(), good.begin() + 8000);
  EXPECT_EQ(defect_of(short_buf).kind, SuperblockDefectKind::BadChecksum);
  // Hash of 8184 zero bytes is not zero.
  Page zero{};
  EXPECT_EQ(defect_of(zero).text(), "bad checksum");
}

TEST(SuperblockFormat, AnyNonZeroAlgorithmByteReadsAsEncrypted) {
  Page page = serialize(sample());
  page[324] = 7;
  page_trailer_set(page.data());
  Superblock sb = parsed(page);
  ASSERT_TRUE(sb.encryption);
  EXPECT_EQ(sb.encryption->algorithm, 7);
}

// ------------------------------------------------------------ decrypt_body

class DecryptBodyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dek_ = test_data_key();
    auto r = serialize_encrypted(sample_encrypted(dek_), dek_.data());
    ASSERT_TRUE(r.ok());
    page_ = r.value();
  }
  // Applies `edit`, recomputes the trailer, and reports whether the body
  // still opens (the slot must still deserialize).
  template <typename F>
  bool opens_after(F edit, const uint8_t* key = nullptr) {
    Page p = page_;
    edit(p);
    page_trailer_set(p.data());
    auto r = deserialize(p);
    if (!std::holds_alternative<Superblock>(r)) {
      ADD_FAILURE() << "slot no longer deserializes";
      return false;
    }
    Superblock sb = std::get<Superblock>(r);
    Superblock before = sb;
    bool ok = decrypt_body(sb, p, key ? key : dek_.data());
    if (!ok) expect_body_equal(sb, before);  // untouched on failure
    return ok;
  }

  KeyBytes dek_;
  Page page_;
};

TEST_F(DecryptBodyTest, AssociatedDataTiesBodyToClearFields) {
  EXPECT_TRUE(opens_after([](Page&) {}));
  EXPECT_FALSE(opens_after([](Page& p) { store_u64(p.data() + 8, 10); }));    // generation
  EXPECT_FALSE(opens_after([](Page& p) { store_u32(p.data() + 308, 2); }));   // count
  EXPECT_FALSE(opens_after([](Page& p) { store_u32(p.data() + 4, 0x00020001); }));  // version
}

TEST_F(DecryptBodyTest, DamagedOrForeignBodyFails) {
  EXPECT_FALSE(opens_after([](Page& p) { p[1398 + 150] ^= 0x10; }));  // ciphertext
  EXPECT_FALSE(opens_after([](Page& p) { p[1380] ^= 1; }));           // tag
  EXPECT_FALSE(opens_after([](Page& p) { p[1356 + 23] ^= 0x80; }));   // nonce
  KeyBytes other = dek_;
  other[0] ^= 1;
  EXPECT_FALSE(opens_after([](Page&) {}, other.data()));
}

TEST_F(DecryptBodyTest, ImplausibleLengthsFail) {
  EXPECT_FALSE(opens_after([](Page& p) { store_u16(p.data() + 1396, 6787); }));
  EXPECT_FALSE(opens_after([](Page& p) { store_u16(p.data() + 1396, 0xFFFF); }));
  EXPECT_FALSE(opens_after([](Page& p) { store_u16(p.data() + 1396, 0); }));
  EXPECT_FALSE(opens_after([](Page& p) { store_u16(p.data() + 1396, 299); }));
}

TEST_F(DecryptBodyTest, AuthenticShortBodyIsRejected) {
  // A genuinely sealed 200-byte body under the right key and associated data.
  auto reseal_short = [this](Page& p) {
    uint8_t ad[24] = {};
    std::memcpy(ad, p.data(), 16);  // magic, version, generation
    std::memcpy(ad + 16, p.data() + 308, 4);
    uint8_t body[200] = {};
    seal_detached(dek_.data(), p.data() + 1356, ad, sizeof ad, body, sizeof body, p.data() + 1398,
                  p.data() + 1380);
    std::memset(p.data() + 1398 + 200, 0, 100);
    store_u16(p.data() + 1396, 200);
  };
  EXPECT_FALSE(opens_after(reseal_short));
}

// -------------------------------------------------------------- selection

std::vector<uint8_t> unit(const Superblock& sb) {
  Page p = serialize(sb);
  return std::vector<uint8_t>(p.begin(), p.end());
}

TEST(SuperblockSelection, NewestValidWinsAndTiesGoToLaterPage) {
  // A fresh 3-slot database: generations 2, 1, 0 in slots 0, 1, 2.
  std::vector<std::vector<uint8_t>> c = {unit(sample(2)), unit(sample(1)), unit(sample(0))};
  auto r = select_superblock(c);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().index, 0u);
  EXPECT_EQ(r.value().superblock.generation, 2u);

  // First commit: generation 3 into slot 0; second: 4 into slot 1.
  EXPECT_EQ(slot_for_generation(3, 3), 0u);
  EXPECT_EQ(slot_for_generation(4, 3), 1u);
  c[1] = unit(sample(4));
  EXPECT_EQ(select_superblock(c).value().index, 1u);

  // A torn newest slot falls back to the previous generation.
  c[1][500] ^= 4;
  c[0] = unit(sample(3));
  EXPECT_EQ(select_superblock(c).value().index, 0u);

  c = {unit(sample(5)), unit(sample(5)), unit(sample(1))};
  EXPECT_EQ(select_superblock(c).value().index, 1u);
}

TEST(SuperblockSelection, FallbackAndSameCommittedState) {
  std::vector<std::vector<uint8_t>> c = {unit(sample(2)), unit(sample(1)), unit(sample(0))};
  EXPECT_EQ(select_fallback(c, 0)->index, 1u);
  EXPECT_EQ(select_fallback(c, 1)->index, 0u);
  c[1][500] ^= 4;
  EXPECT_EQ(select_fallback(c, 0)->index, 2u);
  c[2][500] ^= 4;
  EXPECT_FALSE(select_fallback(c, 0));

  const Superblock a = sample(5);
  EXPECT_TRUE(same_committed_state(a, sample(4)));  // the generation aside
  std::vector<std::function<void(Superblock&)>> edits = {
      [](Superblock& s) { s.handle_root += 1; },   [](Superblock& s) { s.freemap_root += 1; },
      [](Superblock& s) { s.freemap_depth += 1; }, [](Superblock& s) { s.page_count += 1; },
      [](Superblock& s) { s.next_handle += 1; },   [](Superblock& s) { s.named_roots[9] ^= 1; },
      [](Superblock& s) { s.membership_root = kNoPage; },
      [](Superblock& s) { s.superblock_count = 4; },
  };
  for (const auto& edit : edits) {
    Superblock b = sample(4);
    edit(b);
    EXPECT_FALSE(same_committed_state(a, b));
  }
  const KeyBytes dek = test_data_key();
  const Superblock e = sample_encrypted(dek, 5);
  Superblock f = e;
  f.generation = 4;
  EXPECT_TRUE(same_committed_state(e, f));
  EXPECT_FALSE(same_committed_state(e, a));
  f.encryption->slots[3].state = 1;  // another key slot
  EXPECT_FALSE(same_committed_state(e, f));
}

TEST(SuperblockSelection, AllSixteenUnitsCompeteButNoMore) {
  std::vector<std::vector<uint8_t>> c;
  for (int i = 0; i < 18; ++i) c.push_back(std::vector<uint8_t>(kPageSize, 0));
  c[0] = unit(sample(1, 2));
  c[1] = unit(sample(0, 2));
  c[9] = unit(sample(50, 2));   // a content page that happens to pass
  c[16] = unit(sample(99, 2));  // beyond the candidate range
  // A longer unit (sealed stride) is judged by its first 8192 bytes.
  c[9].resize(kSealedStride, 0);
  auto r = select_superblock(c);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().index, 9u);
}

std::string corrupt_message(const std::vector<std::vector<uint8_t>>& c) {
  auto r = select_superblock(c);
  EXPECT_FALSE(r.ok());
  if (r.ok()) return "";
  EXPECT_EQ(r.error().kind(), ErrorKind::CorruptSuperblock);
  return r.error().message();
}

TEST(SuperblockSelection, DefectListFollowsTheClaimedCount) {
  std::vector<std::vector<uint8_t>> zeros(2, std::vector<uint8_t>(kPageSize, 0));
  EXPECT_EQ(corrupt_message(zeros),
            "no valid superblock found: slot 0: bad checksum; slot 1: bad checksum");

  // Slot 0 unreadable; slot 1 claims 3 slots but its checksum is wrong. The
  // claimed count still decides how many are listed.
  std::vector<std::vector<uint8_t>> c(5, std::vector<uint8_t>(kPageSize, 0));
  c[1] = unit(sample(1, 3));
  c[1][20] ^= 1;
  Page magic = serialize(sample(1, 2));
  magic[3] = 0;
  page_trailer_set(magic.data());
  c[2] = std::vector<uint8_t>(magic.begin(), magic.end());
  EXPECT_EQ(corrupt_message(c),
            "no valid superblock found: slot 0: bad checksum; slot 1: bad checksum; "
            "slot 2: bad magic");

  // Out-of-range counts are passed over when looking for K.
  std::vector<std::vector<uint8_t>> d(4, std::vector<uint8_t>(kPageSize, 0));
  Page bad_count = serialize(sample(1, 2));
  store_u32(bad_count.data() + 308, 17);
  page_trailer_set(bad_count.data());
  d[0] = std::vector<uint8_t>(bad_count.begin(), bad_count.end());
  EXPECT_EQ(corrupt_message(d),
            "no valid superblock found: slot 0: bad superblock_count 17; slot 1: bad checksum");

  // K is capped at what was read.
  std::vector<std::vector<uint8_t>> one(1, std::vector<uint8_t>(kPageSize, 0));
  EXPECT_EQ(corrupt_message(one), "no valid superblock found: slot 0: bad checksum");
  EXPECT_EQ(corrupt_message({}), "no valid superblock found");
}

TEST(SuperblockRotation, GenerationCounterStopsAtTheEnd) {
  EXPECT_EQ(next_generation(0).value(), 1u);
  auto r = next_generation(~uint64_t{0});
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Internal);
  EXPECT_EQ(r.error().message(), "txn_counter overflowed u64 (2^64 commits) \u2014 unreachable");
}

// The key-slot area travels inside an encrypted superblock.
TEST(KeySlots, HeaderSurvivesTheSuperblockAndStillUnlocks) {
  KeyBytes dek = test_data_key();
  Superblock sb = sample_encrypted(dek);
  ASSERT_TRUE(wrap_into(*sb.encryption, 4, make_key(KeyKind::Passphrase, "second"), dek.data(),
                        kTinyCosts)
                  .ok());
  auto page = serialize_encrypted(sb, dek.data());
  ASSERT_TRUE(page.ok());
  Superblock back = parsed(page.value());
  ASSERT_TRUE(back.encryption);
  auto r = unlock(*back.encryption, make_key(KeyKind::Passphrase, "second"));
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value().slot, 4u);
  ASSERT_TRUE(decrypt_body(back, page.value(), r.value().data_key.data()));
  expect_body_equal(back, sb);
}

}  // namespace
}  // namespace ambrik
