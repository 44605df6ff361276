#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "page.h"
#include "page_io.h"
#include "spillway.h"
#include "test_util.h"

namespace ambrik {
namespace {

using testing::TempDir;

constexpr uint64_t kPage = kPageSize;

using testing::make_page;

uint64_t file_size(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : ~uint64_t{0};
}

TEST(Spillway, RecordsAreVerifiedAndSlotsNotReused) {
  TempDir dir;
  std::string db = dir.file("db");
  auto sw = Spillway::open_file(db, 3 * kPage, kPage).value();
  std::vector<uint8_t> a = make_page(1), b = make_page(2);
  ASSERT_TRUE(sw->put(5, a.data()).ok());
  ASSERT_TRUE(sw->put(6, b.data()).ok());
  ASSERT_TRUE(sw->put(6, a.data()).ok());  // same slot, new payload
  EXPECT_EQ(sw->next_slot(), 2u);
  EXPECT_EQ(std::memcmp(sw->rehydrate(6).value(), a.data(), kPage), 0);
  EXPECT_EQ(file_size(db + ".spillway"), 2 * (kPage + 16));

  sw->forget(6);
  EXPECT_EQ(sw->rehydrate(6).error().kind(), ErrorKind::InvalidPageId);
  ASSERT_TRUE(sw->put(6, b.data()).ok());
  EXPECT_EQ(sw->next_slot(), 3u);
  ASSERT_TRUE(sw->put(7, b.data()).ok());
  EXPECT_EQ(sw->put(8, b.data()).error().kind(), ErrorKind::SpillwayFull);
  EXPECT_FALSE(sw->has(8));

  // Slot 0 is id 5's: a flipped payload byte, or another id's record moved
  // there, is caught.
  int fd = ::open((db + ".spillway").c_str(), O_RDWR | O_CLOEXEC);
  std::vector<uint8_t> rec(kPage + 16);
  ASSERT_TRUE(pread_full(fd, 0, rec.data(), rec.size()).ok());
  rec[16 + 9] ^= 0x80;
  ASSERT_TRUE(pwrite_full(fd, 0, rec.data(), rec.size()).ok());
  EXPECT_EQ(sw->rehydrate(5).error().kind(), ErrorKind::ChecksumMismatch);
  ASSERT_TRUE(pread_full(fd, 2 * (kPage + 16), rec.data(), rec.size()).ok());
  ASSERT_TRUE(pwrite_full(fd, 0, rec.data(), rec.size()).ok());
  EXPECT_EQ(sw->rehydrate(5).error().message(), "checksum mismatch on page 5");
  ::close(fd);

  ASSERT_TRUE(sw->truncate().ok());
  EXPECT_EQ(sw->slot_count(), 0u);
  EXPECT_EQ(sw->next_slot(), 0u);
  EXPECT_EQ(file_size(db + ".spillway"), 0u);
}

}  // namespace
}  // namespace ambrik
