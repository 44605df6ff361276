#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "guarded_copy.h"
#include "page.h"
#include "page_io.h"
#include "test_util.h"

namespace ambrik {
namespace {

std::vector<uint8_t> pattern(size_t len, uint8_t seed) {
  std::vector<uint8_t> v(len);
  for (size_t i = 0; i < len; ++i) v[i] = static_cast<uint8_t>(seed + i * 13);
  return v;
}

// A temporary file removed on scope exit.
class TempFile {
 public:
  TempFile() {
    std::string tmpl = testing::temp_template("page-io");
    fd_ = ::mkstemp(tmpl.data());
    path_ = tmpl;
  }
  ~TempFile() { ::unlink(path_.c_str()); }
  // Hands the descriptor to a FileStorage.
  int release() { return std::exchange(fd_, -1); }
  off_t size() const {
    struct stat st {};
    return ::stat(path_.c_str(), &st) == 0 ? st.st_size : -1;
  }
  std::vector<uint8_t> contents() const {
    std::vector<uint8_t> v(static_cast<size_t>(size()));
    int fd = ::open(path_.c_str(), O_RDONLY);
    EXPECT_TRUE(pread_full(fd, 0, v.data(), v.size()).ok());
    ::close(fd);
    return v;
  }
  const std::string& path() const { return path_; }

 private:
  int fd_ = -1;
  std::string path_;
};

struct MemIo {
  MemoryStorage* mem;
  std::unique_ptr<PageIo> io;
};

MemIo memory_io(std::vector<uint8_t> initial = {}, bool read_only = false) {
  auto storage = std::make_unique<MemoryStorage>();
  storage->bytes() = std::move(initial);
  MemoryStorage* raw = storage.get();
  return {raw, std::make_unique<PageIo>(std::move(storage), read_only)};
}

// Hashed while this file's statics are set up, which may be before those of
// the engine: the page hash must already work then.
const uint8_t kZeroPage[kPageSize] = {};
const uint64_t kTrailerAtStartup = page_trailer_compute(kZeroPage);

TEST(PageTrailer, UsableFromStaticInitialisers) {
  EXPECT_EQ(kTrailerAtStartup, page_trailer_compute(kZeroPage));
  EXPECT_EQ(xxh3(kZeroPage, kTrailerOffset), kTrailerAtStartup);
}

TEST(PageIoMemory, WritingPastTheEndZeroFillsTheGap) {
  auto m = memory_io();
  EXPECT_EQ(m.io->page_count(), 0u);
  auto unit = pattern(kPageSize, 1);
  ASSERT_TRUE(m.io->write_page_unit(5, unit.data(), unit.size()).ok());
  EXPECT_EQ(m.io->page_count(), 6u);
  ASSERT_EQ(m.mem->bytes().size(), 6 * kPageSize);
  EXPECT_EQ(std::vector<uint8_t>(m.mem->bytes().begin(), m.mem->bytes().begin() + 5 * kPageSize),
            std::vector<uint8_t>(5 * kPageSize, 0));
  auto page3 = m.io->read_page_unit(3);
  ASSERT_TRUE(page3.ok());
  EXPECT_EQ(page3.value(), std::vector<uint8_t>(kPageSize, 0));
  EXPECT_FALSE(page_trailer_ok(page3.value().data()));
  auto page5 = m.io->read_page_unit(5);
  ASSERT_TRUE(page5.ok());
  EXPECT_EQ(page5.value(), unit);
}

TEST(PageIoMemory, ReadAtPageCountIsInvalidEvenIfStorageIsLonger) {
  auto m = memory_io(std::vector<uint8_t>(2 * kPageSize, 0));
  ASSERT_EQ(m.io->page_count(), 2u);
  // Grow the bytes behind PageIo's back: page_count is not re-derived.
  m.mem->bytes().resize(4 * kPageSize, 0);
  auto r = m.io->read_page_unit(2);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidPageId);
  EXPECT_EQ(r.error().a(), 2u);
  EXPECT_TRUE(m.io->read_page_unit(1).ok());
}

TEST(PageIoMemory, ReadOnlyRefusesEveryWriteAndLeavesBytes) {
  auto before = pattern(3 * kPageSize, 7);
  auto m = memory_io(before, /*read_only=*/true);
  auto unit = pattern(kPageSize, 2);
  auto w = m.io->write_page_unit(0, unit.data(), unit.size());
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().kind(), ErrorKind::ReadOnlyMode);
  auto s = m.io->set_page_count(1);
  ASSERT_FALSE(s.ok());
  EXPECT_EQ(s.error().kind(), ErrorKind::ReadOnlyMode);
  auto y = m.io->sync();
  ASSERT_FALSE(y.ok());
  EXPECT_EQ(y.error().kind(), ErrorKind::ReadOnlyMode);
  EXPECT_EQ(m.mem->bytes(), before);
  EXPECT_EQ(m.io->page_count(), 3u);
  EXPECT_EQ(m.io->fsync_calls(), 0u);
  EXPECT_TRUE(m.io->read_page_unit(2).ok());
}

TEST(PageIoMemory, SyncCountsEvenWithoutAFile) {
  auto m = memory_io();
  ASSERT_TRUE(m.io->sync().ok());
  ASSERT_TRUE(m.io->sync().ok());
  EXPECT_EQ(m.io->fsync_calls(), 2u);
}

TEST(PageIoMemory, SealedStridePlacesPageTwoAt16464) {
  auto m = memory_io();
  m.io->set_sealed_stride();
  ASSERT_EQ(m.io->stride(), 8232u);
  auto unit = pattern(kSealedStride, 3);
  ASSERT_TRUE(m.io->write_page_unit(2, unit.data(), unit.size()).ok());
  ASSERT_EQ(m.mem->bytes().size(), 3 * kSealedStride);
  EXPECT_EQ(std::vector<uint8_t>(m.mem->bytes().begin() + 16464, m.mem->bytes().end()), unit);
  EXPECT_EQ(m.mem->bytes()[16463], 0);

  // Falling back to plaintext units recomputes the count, rounding down.
  m.io->set_stride();
  EXPECT_EQ(m.io->page_count(), (3 * kSealedStride) / kPageSize);
}

TEST(PageIoMemory, SetPageCountCutsAndExtends) {
  auto m = memory_io(pattern(4 * kPageSize, 1));
  ASSERT_TRUE(m.io->set_page_count(2).ok());
  EXPECT_EQ(m.mem->bytes().size(), 2 * kPageSize);
  EXPECT_EQ(m.io->page_count(), 2u);
  ASSERT_TRUE(m.io->set_page_count(3).ok());
  EXPECT_EQ(m.mem->bytes().size(), 3 * kPageSize);
  auto r = m.io->read_page_unit(2);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), std::vector<uint8_t>(kPageSize, 0));
}

TEST(PageIoMemory, WrongUnitLengthIsRefusedWithoutWriting) {
  auto m = memory_io();
  auto unit = pattern(100, 1);
  auto w = m.io->write_page_unit(0, unit.data(), unit.size());
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().kind(), ErrorKind::Io);
  EXPECT_EQ(w.error().io_kind(), IoKind::Other);
  EXPECT_EQ(w.error().message(), "I/O error: page unit length 100 != stride 8192");
  EXPECT_TRUE(m.mem->bytes().empty());
  EXPECT_EQ(m.io->page_count(), 0u);
}

TEST(PageIoFile, WritePastEndAndReadBack) {
  TempFile f;
  PageIo io(std::make_unique<FileStorage>(f.release()), false);
  EXPECT_EQ(io.page_count(), 0u);
  auto unit = pattern(kPageSize, 9);
  ASSERT_TRUE(io.write_page_unit(5, unit.data(), unit.size()).ok());
  EXPECT_EQ(io.page_count(), 6u);
  ASSERT_EQ(f.size(), static_cast<off_t>(6 * kPageSize));
  auto bytes = f.contents();
  EXPECT_EQ(std::vector<uint8_t>(bytes.begin(), bytes.begin() + 5 * kPageSize),
            std::vector<uint8_t>(5 * kPageSize, 0));
  auto r = io.read_page_unit(5);
  ASSERT_TRUE(r.ok());
  EXPECT_EQ(r.value(), unit);
  ASSERT_TRUE(io.sync().ok());
  EXPECT_EQ(io.fsync_calls(), 1u);
  ASSERT_TRUE(io.set_page_count(2).ok());
  EXPECT_EQ(f.size(), static_cast<off_t>(2 * kPageSize));
}

TEST(PageIoFile, VectoredRunsRoundTripAndStayInRange) {
  TempFile f;
  PageIo io(std::make_unique<FileStorage>(f.release()), false);
  std::vector<std::vector<uint8_t>> units;
  std::vector<const uint8_t*> out;
  for (uint8_t i = 0; i < 5; ++i) {
    units.push_back(pattern(kPageSize, i));
    out.push_back(units.back().data());
  }
  ASSERT_TRUE(io.write_page_units(3, out.data(), out.size()).ok());
  EXPECT_EQ(io.page_count(), 8u);
  ASSERT_EQ(f.size(), static_cast<off_t>(8 * kPageSize));
  std::vector<std::vector<uint8_t>> back(4, std::vector<uint8_t>(kPageSize));
  std::vector<uint8_t*> in;
  for (auto& b : back) in.push_back(b.data());
  ASSERT_TRUE(io.read_page_units(4, in.data(), in.size()).ok());
  for (size_t i = 0; i < back.size(); ++i) EXPECT_EQ(back[i], units[i + 1]) << i;
  // A run that reaches past the page count reads nothing and names the
  // first missing id.
  auto r = io.read_page_units(6, in.data(), 3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::InvalidPageId);
  EXPECT_EQ(r.error().message(), "invalid page id 8 (out of range for file)");
  io.set_read_only(true);
  EXPECT_EQ(io.write_page_units(0, out.data(), 2).error().kind(), ErrorKind::ReadOnlyMode);
}

TEST(PageIoFile, ExistingFileLengthGivesPageCount) {
  TempFile f;
  int fd = f.release();
  ASSERT_EQ(::ftruncate(fd, 3 * kPageSize + 100), 0);
  PageIo io(std::make_unique<FileStorage>(fd), false);
  EXPECT_EQ(io.page_count(), 3u);
}

TEST(PageIoFile, ShortFileReadIsUnexpectedEof) {
  TempFile f;
  int fd = f.release();
  ASSERT_EQ(::ftruncate(fd, 2 * kPageSize), 0);
  PageIo io(std::make_unique<FileStorage>(fd), false);
  ASSERT_EQ(io.page_count(), 2u);
  // Someone shortens the file after page_count was taken.
  ASSERT_EQ(::truncate(f.path().c_str(), kPageSize + 10), 0);
  auto r = io.read_page_unit(1);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().kind(), ErrorKind::Io);
  EXPECT_EQ(r.error().io_kind(), IoKind::UnexpectedEof);
  EXPECT_EQ(r.error().os_errno(), 0);
  EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");
}

// Exits 0 when page 1 of `path` reads back as `want` although the address
// space has room for the heap but none for the 64 MiB a mapping would take.
[[noreturn, maybe_unused]] void read_under_address_limit(const std::string& path,
                                                         const std::vector<uint8_t>& want) {
  long pages = 0;
  FILE* statm = std::fopen("/proc/self/statm", "r");
  if (!statm || std::fscanf(statm, "%ld", &pages) != 1) std::_Exit(2);
  std::fclose(statm);
  struct rlimit as;
  if (::getrlimit(RLIMIT_AS, &as) != 0) std::_Exit(3);
  as.rlim_cur = static_cast<rlim_t>(pages) * 4096 + (16 << 20);
  if (::setrlimit(RLIMIT_AS, &as) != 0) std::_Exit(3);
  PageIo io(std::make_unique<FileStorage>(::open(path.c_str(), O_RDONLY | O_CLOEXEC)), true);
  auto page = io.read_page_unit(1);
  std::_Exit(page.ok() && page.value() == want ? 0 : 4);
}

// The descriptor paths the mapping usually hides: a vectored read that
// stops part-way through a buffer (the file was shortened under it), a
// vectored write cut short by the file size limit, and a file that cannot
// be mapped at all (reads then go through the descriptor).
TEST(PageIoFile, ShortVectoredTransfersAndNoMapping) {
  TempFile f;
  PageIo io(std::make_unique<FileStorage>(f.release()), false);
  std::vector<std::vector<uint8_t>> units;
  std::vector<const uint8_t*> out;
  for (uint8_t i = 0; i < 4; ++i) {
    units.push_back(pattern(kPageSize, i));
    out.push_back(units.back().data());
  }
  ASSERT_TRUE(io.write_page_units(0, out.data(), 4).ok());
  ASSERT_EQ(::truncate(f.path().c_str(), 2 * kPageSize + kPageSize / 2), 0);
  std::vector<std::vector<uint8_t>> back(3, std::vector<uint8_t>(kPageSize));
  std::vector<uint8_t*> in;
  for (auto& b : back) in.push_back(b.data());
  Status r = io.read_page_units(0, in.data(), 3);
  ASSERT_FALSE(r.ok());
  EXPECT_EQ(r.error().message(), "I/O error: failed to fill whole buffer");
  EXPECT_EQ(back[1], units[1]);
  EXPECT_TRUE(std::equal(back[2].begin(), back[2].begin() + kPageSize / 2, units[2].begin()));

  struct rlimit old_limit;
  ASSERT_EQ(::getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  struct rlimit small = old_limit;
  small.rlim_cur = 5 * kPageSize + 100;
  auto old_xfsz = ::signal(SIGXFSZ, SIG_IGN);
  ASSERT_EQ(::setrlimit(RLIMIT_FSIZE, &small), 0);
  Status w = io.write_page_units(3, out.data(), 4);
  ::setrlimit(RLIMIT_FSIZE, &old_limit);
  ::signal(SIGXFSZ, old_xfsz);
  ASSERT_FALSE(w.ok());
  EXPECT_EQ(w.error().os_errno(), EFBIG);
  EXPECT_EQ(f.size(), static_cast<off_t>(5 * kPageSize + 100));

#if defined(__SANITIZE_ADDRESS__)
  GTEST_SKIP() << "an address-space limit breaks the sanitizer's shadow memory";
#else
  EXPECT_EXIT(read_under_address_limit(f.path(), units[1]), ::testing::ExitedWithCode(0), "");
#endif
}

// Reads come from a mapping of the file: pages written later, shrinking the
// file and growing it past the mapped range must all read back as written.
TEST(PageIoFile, MappedReadsFollowWritesAndLength) {
  TempFile f;
  PageIo io(std::make_unique<FileStorage>(f.release()), false);
  auto a = pattern(kPageSize, 1), b = pattern(kPageSize, 2), c = pattern(kPageSize, 3);
  ASSERT_TRUE(io.write_page_unit(0, a.data(), a.size()).ok());
  ASSERT_EQ(io.read_page_unit(0).value(), a);
  ASSERT_TRUE(io.write_page_unit(0, b.data(), b.size()).ok());
  ASSERT_TRUE(io.write_page_unit(1, c.data(), c.size()).ok());
  EXPECT_EQ(io.read_page_unit(0).value(), b);
  EXPECT_EQ(io.read_page_unit(1).value(), c);
  ASSERT_TRUE(io.set_page_count(1).ok());
  ASSERT_TRUE(io.set_page_count(2).ok());
  EXPECT_EQ(io.read_page_unit(1).value(), std::vector<uint8_t>(kPageSize, 0));
  // A sparse page far beyond the first mapping's reach.
  uint64_t far = (uint64_t{3} << 30) / kPageSize;
  ASSERT_TRUE(io.write_page_unit(far, a.data(), a.size()).ok());
  EXPECT_EQ(io.read_page_unit(far).value(), a);
  EXPECT_EQ(io.read_page_unit(0).value(), b);
}

// An admission that refuses lets go of the lock (a writer could take it),
// keeps the wait going and names the failure when the wait runs out; any
// other refusal ends the wait at once.
TEST(FileLock, RefusedAdmissionHoldsNothing) {
  TempFile f;
  const int r = ::open(f.path().c_str(), O_RDONLY | O_CLOEXEC);
  const int w = ::open(f.path().c_str(), O_RDONLY | O_CLOEXEC);
  int tries = 0;
  auto busy = [&] {
    EXPECT_EQ(lock_file(w, FileLockKind::Exclusive, 0).error().kind(), ErrorKind::LockFailed);
    return ++tries < 3 ? Error::lock_failed("busy") : ok_status();
  };
  ASSERT_TRUE(lock_file(r, FileLockKind::Shared, 5, {}, busy).ok());
  EXPECT_EQ(tries, 3);
  ::flock(r, LOCK_UN);
  tries = -100;
  Status refused = lock_file(r, FileLockKind::Shared, 0.05, {}, busy);
  EXPECT_EQ(refused.error().message(), "failed to acquire exclusive file lock: busy");
  EXPECT_GT(tries, -99);
  ASSERT_TRUE(lock_file(w, FileLockKind::Exclusive, 0).ok());
  ::flock(w, LOCK_UN);
  refused = lock_file(r, FileLockKind::Shared, 5, {}, [] { return Error::io_errno(EIO); });
  EXPECT_EQ(refused.error().os_errno(), EIO);
  EXPECT_TRUE(lock_file(w, FileLockKind::Exclusive, 0).ok());
  ::close(r);
  ::close(w);
}

// The SIGBUS handler only takes faults of its own copies: any other SIGBUS
// still ends the process as before.
TEST(GuardedCopyDeathTest, ForeignSigbusStillFatal) {
  uint8_t src[16] = {1, 2, 3}, dst[16] = {};
  ASSERT_TRUE(guarded_copy(dst, src, sizeof src));
  EXPECT_EQ(dst[2], 3);
  EXPECT_DEATH(::raise(SIGBUS), "");
}

void returning_handler(int) {}

// The handler is checked once per operation, yet a handler the program
// installs between two operations, or a stray SIGBUS that makes ours give
// way in the middle of one, does not leave the next copy unguarded: its
// fault still ends the copy. In a child with an alarm, so a fault re-run
// forever fails the test instead of hanging it.
TEST(GuardedCopyDeathTest, HandlerChangedBetweenOperationsStillGuarded) {
  EXPECT_EXIT(
      {
        ::alarm(20);
        std::string tmpl = testing::temp_template("guard");
        const int fd = ::mkstemp(tmpl.data());
        ::unlink(tmpl.c_str());
        if (fd < 0 || ::ftruncate(fd, 3 * 4096) != 0) ::_exit(2);
        void* m = ::mmap(nullptr, 3 * 4096, PROT_READ, MAP_SHARED, fd, 0);
        if (m == MAP_FAILED) ::_exit(2);
        const auto* map = static_cast<const uint8_t*>(m);
        uint8_t buf[4096];
        {
          GuardedOperation op;
          if (!guarded_copy(buf, map, sizeof buf)) ::_exit(3);
        }
        struct sigaction sa = {};
        sa.sa_handler = returning_handler;
        ::sigaction(SIGBUS, &sa, nullptr);
        if (::ftruncate(fd, 0) != 0) ::_exit(2);
        {
          GuardedOperation op;
          if (guarded_copy(buf, map, sizeof buf)) ::_exit(4);
          ::raise(SIGBUS);  // ours gives way to the returning handler
          if (guarded_copy(buf, map + 4096, sizeof buf)) ::_exit(5);
          {
            GuardedOperation nested;
            if (guarded_copy(buf, map + 8192, sizeof buf)) ::_exit(6);
          }
          if (guarded_copy(buf, map + 4096, sizeof buf)) ::_exit(7);
        }
        ::_exit(0);
      },
      ::testing::ExitedWithCode(0), "");
}

}  // namespace
}  // namespace ambrik
