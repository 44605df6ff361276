#include <gtest/gtest.h>

#include <cerrno>

#include "error.h"

namespace ambrik {
namespace {

TEST(ErrorMessages, SimpleKinds) {
  EXPECT_EQ(Error::invalid_handle(0).message(), "invalid handle: 0");
  EXPECT_EQ(Error::simple(ErrorKind::NoActiveTransaction).message(), "no active transaction");
  EXPECT_EQ(Error::savepoint_not_found("sp").message(), "savepoint not found: sp");
  EXPECT_EQ(Error::duplicate_savepoint("a b").message(), "duplicate savepoint: a b");
  EXPECT_EQ(Error::invalid_superblock_count(17).message(),
            "invalid superblock_count 17; must be in 2..=16");
  EXPECT_EQ(Error::cache_full(3).message(),
            "page cache full: 3 dirty pages held; commit or roll back to free cache");
  EXPECT_EQ(Error::tag_mismatch(8, 7, 42).message(), "handle 42 has tag 7, not the expected 8");
  EXPECT_EQ(Error::file_size_mismatch(16384, 8192).message(),
            "file size mismatch: expected 16384 bytes, got 8192");
  EXPECT_EQ(Error::unsupported_format_version(196608, 65537).message(),
            "unsupported on-disk format version: found 196608, this build supports 65537");
  EXPECT_EQ(Error::unsupported_page_size(4096, 8192).message(),
            "page size mismatch: file was written with 4096-byte pages, this build uses "
            "8192-byte pages");
  EXPECT_EQ(Error::invalid_page_id(9).message(), "invalid page id 9 (out of range for file)");
  EXPECT_EQ(Error::decryption_failed(8).message(), "decryption/authentication failed for page 8");
}

TEST(ErrorMessages, SpillwayFullByLimit) {
  EXPECT_EQ(Error::spillway_full(0).message(),
            "spillway is disabled (spillway_max_bytes=0); commit or roll back to free cache");
  EXPECT_EQ(Error::spillway_full(8192).message(),
            "spillway full: 8192-byte limit reached; commit or roll back to free cache and "
            "spillway");
}

TEST(ErrorMessages, CorruptSuperblockListsDefectsInOrder) {
  EXPECT_EQ(Error::corrupt_superblock({}).message(), "no valid superblock found");
  std::vector<SlotDefect> d = {
      {0, {SuperblockDefectKind::BadMagic, 0}},
      {1, {SuperblockDefectKind::BadChecksum, 0}},
      {2, {SuperblockDefectKind::BadCount, 17}},
  };
  EXPECT_EQ(Error::corrupt_superblock(d).message(),
            "no valid superblock found: slot 0: bad magic; slot 1: bad checksum; slot 2: bad "
            "superblock_count 17");
}

TEST(ErrorMessages, IoErrors) {
  Error e = Error::from_errno(EACCES);
  EXPECT_EQ(e.kind(), ErrorKind::Io);
  EXPECT_EQ(e.os_errno(), EACCES);
  EXPECT_STREQ(io_kind_name(e.io_kind()), "PermissionDenied");
  EXPECT_EQ(e.message(), "I/O error: Permission denied (os error 13)");
  EXPECT_EQ(Error::from_errno(ENOENT).kind(), ErrorKind::DatabaseFileNotFound);
  Error eof = Error::io_text(IoKind::UnexpectedEof, "failed to fill whole buffer");
  EXPECT_EQ(eof.os_errno(), 0);
  EXPECT_EQ(eof.message(), "I/O error: failed to fill whole buffer");
  EXPECT_STREQ(io_kind_name(io_kind_from_errno(12345)), "Uncategorized");
  EXPECT_STREQ(io_kind_name(io_kind_from_errno(ENOSPC)), "StorageFull");
}

TEST(ErrorKinds, ExactlyTenKindsPoisonTheDatabase) {
  int fatal = 0;
  for (int k = 0; k < kErrorKindCount; ++k)
    if (poisons_database(static_cast<ErrorKind>(k))) ++fatal;
  EXPECT_EQ(fatal, 10);
  EXPECT_FALSE(poisons_database(ErrorKind::Poisoned));
  EXPECT_TRUE(poisons_database(ErrorKind::DecryptionFailed));
  EXPECT_FALSE(poisons_database(ErrorKind::CacheFull));
  EXPECT_TRUE(poisons_database(ErrorKind::Internal));
}

}  // namespace
}  // namespace ambrik
