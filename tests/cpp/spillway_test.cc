#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fault_storage.h"
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

// Batches: a batch that mixes new ids with one that already has a slot
// writes every record where a one-by-one put would, reads come back in the
// caller's order whatever the slot order, and a batch that does not fit
// leaves nothing behind. Both backings behave alike.
TEST(Spillway, BatchesMatchSinglePuts) {
  TempDir dir;
  for (bool file : {true, false}) {
    SCOPED_TRACE(file ? "file" : "memory");
    auto sw = file ? Spillway::open_file(dir.file(file ? "f" : "m"), 8 * kPage, kPage).value()
                   : Spillway::in_memory(8 * kPage, kPage);
    std::vector<std::vector<uint8_t>> pages;
    for (uint8_t i = 0; i < 6; ++i) pages.push_back(make_page(static_cast<uint8_t>(10 + i)));
    ASSERT_TRUE(sw->put(41, pages[0].data()).ok());  // slot 0
    uint64_t ids[4] = {40, 41, 42, 43};
    const uint8_t* payloads[4] = {pages[1].data(), pages[2].data(), pages[3].data(),
                                  pages[4].data()};
    ASSERT_TRUE(sw->put_batch(ids, payloads, 4).ok());
    EXPECT_EQ(sw->next_slot(), 4u);  // 41 kept slot 0
    EXPECT_EQ(sw->room(), 4u);

    uint64_t want[4] = {43, 40, 42, 41};
    std::vector<uint8_t> out(4 * kPage);
    ASSERT_TRUE(sw->rehydrate_batch(want, 4, out.data()).ok());
    EXPECT_EQ(std::memcmp(out.data(), pages[4].data(), kPage), 0);
    EXPECT_EQ(std::memcmp(out.data() + kPage, pages[1].data(), kPage), 0);
    EXPECT_EQ(std::memcmp(out.data() + 2 * kPage, pages[3].data(), kPage), 0);
    EXPECT_EQ(std::memcmp(out.data() + 3 * kPage, pages[2].data(), kPage), 0);
    EXPECT_EQ(std::memcmp(sw->rehydrate(42).value(), pages[3].data(), kPage), 0);

    uint64_t too_many[5] = {50, 51, 52, 53, 54};
    const uint8_t* five[5] = {pages[5].data(), pages[5].data(), pages[5].data(),
                              pages[5].data(), pages[5].data()};
    EXPECT_EQ(sw->put_batch(too_many, five, 5).error().kind(), ErrorKind::SpillwayFull);
    for (uint64_t id : too_many) EXPECT_FALSE(sw->has(id));
    EXPECT_EQ(sw->next_slot(), 4u);
    uint64_t missing[2] = {40, 99};
    EXPECT_EQ(sw->rehydrate_batch(missing, 2, out.data()).error().message(),
              "invalid page id 99 (out of range for file)");
  }

  // A batch whose vectored write stops part-way (the second record's
  // payload) maps none of its ids, the one that had a slot included, and
  // keeps its slots used; the id spilled again reads back from a new slot.
  auto plan = std::make_shared<testing::FaultPlan>();
  auto sw = Spillway::over(
      std::make_unique<testing::FaultStorage>(std::make_shared<testing::SharedImage>(), plan),
      8 * kPage, kPage);
  std::vector<uint8_t> a = make_page(1), b = make_page(2);
  ASSERT_TRUE(sw->put(41, a.data()).ok());
  uint64_t ids[2] = {41, 43};
  const uint8_t* payloads[2] = {b.data(), b.data()};
  plan->fail_at = plan->calls + 4;
  EXPECT_EQ(sw->put_batch(ids, payloads, 2).error().kind(), ErrorKind::Io);
  EXPECT_FALSE(sw->has(41) || sw->has(43));
  EXPECT_EQ(sw->next_slot(), 2u);
  ASSERT_TRUE(sw->put(43, a.data()).ok());
  EXPECT_EQ(std::memcmp(sw->rehydrate(43).value(), a.data(), kPage), 0);
}

}  // namespace
}  // namespace ambrik
