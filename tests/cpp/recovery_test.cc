#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>
#include <variant>

#include "fault_storage.h"
#include "test_util.h"
#include "superblock/superblock.h"
#include "test_peer.h"
#include "transaction/manager_impl.h"

namespace ambrik {
namespace {

using testing::FaultStorage;
using testing::SharedImage;
using testing::TempPath;

TEST(Recovery, InterruptedCreationNeverLeavesASuperblockBeyondTheFile) {
  for (uint32_t n : {2u, 3u, 16u}) {
    for (int fail = 1; fail <= static_cast<int>(n); ++fail) {
      auto image = std::make_shared<SharedImage>();
      auto storage = std::make_unique<FaultStorage>(image);
      storage->fail_write_at = fail;
      auto io = std::make_unique<PageIo>(std::move(storage), false);
      auto r = TransactionManagerImpl::create_new(std::move(io), CacheSettings{}, n, nullptr,
                                                  nullptr);
      ASSERT_FALSE(r.ok());
      const uint64_t units = image->bytes.size() / kPageSize;
      for (uint64_t s = 0; s < units && s < n; ++s) {
        std::span<const uint8_t> page(image->bytes.data() + s * kPageSize, kPageSize);
        auto parsed = deserialize(page);
        if (auto* sb = std::get_if<Superblock>(&parsed)) {
          EXPECT_LE(sb->page_count, units);
        }
      }
    }
  }
}

TEST(Recovery, NewerMinorEncryptedFormatOpensReadOnly) {
  TempPath tmp;
  const std::string& path = tmp.path();
  OpenOptions o;
  o.path = path;
  o.encryption_key = Key{KeyKind::Raw, SecretBytes(reinterpret_cast<const uint8_t*>("key"), 3)};
  KeyBytes data_key;
  {
    auto m = TransactionManagerImpl::open(o);
    ASSERT_TRUE(m.ok()) << m.error().message();
    std::memcpy(data_key.data(), TestPeer::cache(*m.value()).cipher()->key(), kKeyBytes);
  }
  // Rewrite slot 1 as a newer generation claiming format 2.1.
  std::vector<uint8_t> unit(kSealedStride);
  {
    std::ifstream f(path, std::ios::binary);
    f.read(reinterpret_cast<char*>(unit.data()), unit.size());
  }
  auto parsed = deserialize(std::span<const uint8_t>(unit.data(), kPageSize));
  ASSERT_TRUE(std::holds_alternative<Superblock>(parsed));
  Superblock sb = std::get<Superblock>(parsed);
  ASSERT_TRUE(decrypt_body(sb, std::span<const uint8_t>(unit.data(), kPageSize), data_key.data()));
  sb.generation = 5;
  auto bytes = serialize_encrypted(sb, data_key.data(), 0x00020001);
  ASSERT_TRUE(bytes.ok());
  {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(kSealedStride);
    f.write(reinterpret_cast<const char*>(bytes.value().data()), kPageSize);
  }
  auto reopened = TransactionManagerImpl::open(o);
  ASSERT_TRUE(reopened.ok()) << reopened.error().message();
  EXPECT_TRUE(TestPeer::cache(*reopened.value()).io().read_only());
  EXPECT_EQ(reopened.value()->begin().error().kind(), ErrorKind::ReadOnlyMode);
}

TEST(Recovery, HandleTableDepthIsRecoveredBeforeTheMembershipIndex) {
  TempPath tmp;
  const std::string& path = tmp.path();
  OpenOptions o;
  o.path = path;
  uint64_t handle_root = 0, membership_root = 0;
  {
    auto m = TransactionManagerImpl::open(o);
    ASSERT_TRUE(m.ok()) << m.error().message();
    ASSERT_TRUE(m.value()->begin().ok());
    const uint8_t v[] = {1, 2, 3};
    ASSERT_TRUE(m.value()->allocate(v, 7).ok());
    ASSERT_TRUE(m.value()->commit().ok());
    handle_root = TestPeer::committed(*m.value()).handle_root;
    membership_root = TestPeer::committed(*m.value()).membership_root;
  }
  ASSERT_NE(handle_root, kNoPage);
  ASSERT_NE(membership_root, kNoPage);
  // Both roots fail their checksum; the handle table is read first.
  for (uint64_t page : {handle_root, membership_root}) {
    std::fstream f(path, std::ios::in | std::ios::out | std::ios::binary);
    f.seekp(static_cast<std::streamoff>(page * kPageSize + 100));
    f.put('\x5a');
  }
  auto reopened = TransactionManagerImpl::open(o);
  ASSERT_FALSE(reopened.ok());
  EXPECT_EQ(reopened.error().kind(), ErrorKind::ChecksumMismatch);
  EXPECT_EQ(reopened.error().a(), handle_root);
}

}  // namespace
}  // namespace ambrik
