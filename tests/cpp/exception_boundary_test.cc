// No C++ exception leaves the engine: an operation that an exception ends
// (memory running out, in practice) poisons the database and returns an
// error. A global operator new that can be told to fail the k-th allocation
// from now (once: a large request the heap refuses, not a heap with nothing
// left) stands in for it; it is armed only around the one call under test.
#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <vector>

#include "oracle.h"
#include "page_io.h"
#include "test_util.h"
#include "tools/backup.h"
#include "transaction/transaction_manager.h"

namespace ambrik::testing {
// Also armed by the key-map fault sweep (keymap_test.cc).
thread_local long t_allocations_left = -1;  // -1: never fail
}  // namespace ambrik::testing
using ambrik::testing::t_allocations_left;

// The replacements below pair malloc with free; GCC pairs the library's
// operator new with this free when it inlines both and warns.
#pragma GCC diagnostic ignored "-Wmismatched-new-delete"

void* operator new(std::size_t n) {
  if (t_allocations_left == 0) {
    t_allocations_left = -1;
    throw std::bad_alloc();
  }
  if (t_allocations_left > 0) --t_allocations_left;
  if (void* p = std::malloc(n == 0 ? 1 : n)) return p;
  throw std::bad_alloc();
}
void* operator new[](std::size_t n) { return ::operator new(n); }
void operator delete(void* p) noexcept { std::free(p); }
void operator delete[](void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
void operator delete[](void* p, std::size_t) noexcept { std::free(p); }

namespace ambrik {
namespace {

template <typename T>
Status status_of(const Result<T>& r) {
  return r.ok() ? ok_status() : Status(r.error());
}

std::unique_ptr<TransactionManager> fresh_database() {
  OpenOptions o;
  o.cache_max_bytes = 16 * 8192;
  auto opened = TransactionManager::open_storage(
      std::make_unique<PageIo>(std::make_unique<MemoryStorage>(), false), o);
  EXPECT_TRUE(opened.ok());
  return std::move(opened).value();
}

// Fails the k-th allocation of each kind of call in turn, until the call
// gets through without reaching it.
TEST(ExceptionBoundary, FailedAllocationPoisonsAndReturnsAnError) {
  const std::vector<uint8_t> small(100, 7), large(30000, 9);
  enum Call { kAllocate, kUpdate, kCommit, kRead };
  for (Call call : {kAllocate, kUpdate, kCommit, kRead}) {
    int failures = 0;
    for (long k = 0;; ++k) {
      auto db = fresh_database();
      ASSERT_TRUE(db->begin().ok());
      uint64_t h = db->allocate(small).value();
      for (int i = 0; i < 40; ++i) ASSERT_TRUE(db->allocate(small).ok());
      if (call == kRead) {
        ASSERT_TRUE(db->commit().ok());
      }
      Status st = ok_status();
      t_allocations_left = k;
      switch (call) {
        case kAllocate: st = status_of(db->allocate(large)); break;
        case kUpdate: st = db->update(h, large); break;
        case kCommit: st = db->commit(); break;
        case kRead: st = status_of(db->read(h)); break;
      }
      const bool reached = t_allocations_left == -1;
      t_allocations_left = -1;
      if (!reached) {
        ASSERT_TRUE(st.ok()) << "call " << call << " k " << k;
        break;
      }
      ++failures;
      ASSERT_FALSE(st.ok()) << "call " << call << " k " << k;
      EXPECT_EQ(st.error().kind(), ErrorKind::Io) << "call " << call << " k " << k;
      EXPECT_EQ(st.error().os_errno(), ENOMEM);
      EXPECT_TRUE(db->is_poisoned());
      EXPECT_EQ(db->read(h).error().kind(), ErrorKind::Poisoned);
      ASSERT_LT(k, 10000) << "call " << call << " never got through";
    }
    EXPECT_GT(failures, 0) << "call " << call << " allocated nothing";
  }
}

// A backup only reads the database: memory running out at any point of it
// fails the backup alone, leaves no file behind, and the database goes on.
TEST(ExceptionBoundary, FailedAllocationInABackupDoesNotPoison) {
  const std::vector<uint8_t> small(100, 7), large(30000, 9);
  testing::TempDir dir;
  OpenOptions o;
  o.path = dir.file("db");
  o.cache_max_bytes = 16 * 8192;
  auto db = TransactionManager::open(o).value();
  ASSERT_TRUE(db->begin().ok());
  std::vector<uint64_t> handles;
  for (int i = 0; i < 40; ++i)
    handles.push_back(db->allocate(i % 8 ? small : large, i % 3).value());
  ASSERT_TRUE(db->commit().ok());
  ASSERT_TRUE(db->begin().ok());  // a transaction under way, its pages dirty, stays usable
  for (int i = 0; i < 8; ++i) handles.push_back(db->allocate(large).value());
  const std::string dst = dir.file("copy");
  auto leftovers = [&] {
    std::string names;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) {
      const std::string name = e.path().filename().string();
      if (name != "db" && name != "db.spillway") names += name + " ";
    }
    return names;
  };
  int failures = 0;
  for (long k = 0;; ++k) {
    bool reached = false;
    auto r = [&] {
      tools::Destination to(dst, false);  // gone, with its temporary file, on return
      t_allocations_left = k;
      auto attempt = tools::backup(*db, to);
      reached = t_allocations_left == -1;
      t_allocations_left = -1;
      return attempt;
    }();
    if (!reached) {
      ASSERT_TRUE(r.ok()) << "k " << k << ": " << r.error().message();
      break;
    }
    ++failures;
    ASSERT_FALSE(r.ok()) << "k " << k;
    EXPECT_EQ(r.error().os_errno(), ENOMEM) << "k " << k << ": " << r.error().message();
    ASSERT_FALSE(db->is_poisoned()) << "k " << k;
    ASSERT_EQ(leftovers(), "") << "k " << k;
    ASSERT_LT(k, 10000);
  }
  EXPECT_GT(failures, 50);
  for (size_t i = 0; i < handles.size(); ++i)
    ASSERT_EQ(db->read(handles[i]).value(), i % 8 && i < 40 ? small : large);
  ASSERT_TRUE(db->allocate(small).ok());
  ASSERT_TRUE(db->commit().ok());
  db.reset();
  for (const std::string& file : {dst, dir.file("db")}) {
    std::ifstream f(file, std::ios::binary);
    testing::expect_sound(std::vector<uint8_t>(std::istreambuf_iterator<char>(f), {}), {}, file);
  }
}

}  // namespace
}  // namespace ambrik
