#include <fcntl.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <new>
#include <string>
#include <thread>

#include "shared/reader_table.h"
#include "test_util.h"

namespace ambrik {
namespace {

// A database file to stand beside.
struct Db {
  testing::TempDir dir;
  std::string path = dir.file("db"), table = path + ".readers";
  uint64_t identity = 0;
  Db() {
    int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    struct stat st;
    ::fstat(fd, &st);
    ::close(fd);
    identity = ReaderTable::identity_of(st);
  }
  std::unique_ptr<ReaderTable> open(uint64_t newest = 1, uint32_t slots = 4) const {
    auto t = ReaderTable::open(path, identity, newest, slots);
    if (!t.ok()) ADD_FAILURE() << t.error().message();
    return t.ok() ? std::move(t).value() : nullptr;
  }
  uint64_t slot_pin(uint32_t i) const {  // as the file holds it
    uint64_t g = ~uint64_t{0};
    int fd = ::open(table.c_str(), O_RDONLY | O_CLOEXEC);
    (void)!::pread(fd, &g, 8, 64 + 64 * i);
    ::close(fd);
    return g;
  }
};

// A forked child running `body(fd)`, which reports 'y' or 'n' on fd and then
// waits; killed and reaped when the object goes, also after a failed ASSERT.
struct Child {
  pid_t pid = -1;
  char verdict = 0;  // 0: it died before reporting
  template <typename F>
  explicit Child(F body) {
    int p[2];
    if (::pipe(p) != 0) return;
    if ((pid = ::fork()) == 0) {
      body(p[1]);
      ::_exit(0);
    }
    ::close(p[1]);
    (void)!::read(p[0], &verdict, 1);
    ::close(p[0]);
  }
  ~Child() { kill(); }
  void kill() {
    if (pid > 0) ::kill(pid, SIGKILL), ::waitpid(pid, nullptr, 0);
    pid = -1;
  }
};

void report(int fd, bool ok) { (void)!::write(fd, ok ? "y" : "n", 1); }

TEST(ReaderTable, TwoObjectsOfOneProcessExcludeEachOther) {
  Db db;
  auto a = db.open(7, 2), b = db.open(99, 3), c = db.open();  // b, c join a's table
  EXPECT_EQ(b->slot_count(), 2u);
  ASSERT_TRUE(a->claim_slot().ok() && b->claim_slot().ok());
  EXPECT_EQ(b->slot(), 1u);
  EXPECT_EQ(c->claim_slot().error().io_kind(), IoKind::ResourceBusy);  // full

  EXPECT_EQ(a->pin(), 7u);
  ASSERT_TRUE(b->lock_writer(0).ok());
  auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(c->lock_writer(0.05).error().kind(), ErrorKind::LockFailed);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(50));
  b->publish_commit_start(8);
  EXPECT_EQ(a->committing(), 8u);
  b->publish_commit_end(8);
  EXPECT_EQ(a->newest(), 8u);
  EXPECT_EQ(a->committing(), 0u);
  EXPECT_EQ(a->pin(), 8u);  // the older pin stays: it protects 8 as well
  EXPECT_EQ(b->oldest_pinned(9), 7u);
  a->set_pinned(8);  // its snapshot of 7 ended
  EXPECT_EQ(b->oldest_pinned(9), 8u);
  a->unpin();
  EXPECT_EQ(b->oldest_pinned(9), 9u);
  std::thread release([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    b->unlock_writer();
  });
  EXPECT_TRUE(c->lock_writer(10).ok());
  release.join();

  a->pin();
  a.reset();  // its slot is cleared and free again
  c.reset();  // and so is the writer lock
  EXPECT_EQ(db.slot_pin(0), 0u);
  auto d = db.open();
  ASSERT_TRUE(d->claim_slot().ok() && d->lock_writer(0).ok());
  EXPECT_EQ(d->slot(), 0u);
}

// Rebuilt when nobody else uses it, refused while someone does.
TEST(ReaderTable, DamagedOrForeignTableRebuiltAloneRefusedInUse) {
  Db db;
  for (int damage = 0; damage < 3; ++damage) {  // garbage, truncated, foreign
    SCOPED_TRACE(damage);
    auto harm = [&] {
      int fd = ::open(db.table.c_str(), O_RDWR | O_CLOEXEC);
      const bool harmed = damage == 0   ? ::pwrite(fd, "NOTATABL", 8, 0) == 8
                          : damage == 1 ? ::ftruncate(fd, 70) == 0
                                        : true;
      EXPECT_TRUE(harmed);
      ::close(fd);
    };
    { auto a = db.open(5); }
    harm();
    const uint64_t identity = damage == 2 ? ~db.identity : db.identity;  // another file's
    auto alone = ReaderTable::open(db.path, identity, 6, 4);
    ASSERT_TRUE(alone.ok()) << alone.error().message();
    EXPECT_EQ(alone.value()->newest(), 6u);
    alone.value().reset();

    auto holder = db.open(5);
    harm();
    auto refused = ReaderTable::open(db.path, identity, 6, 4);
    ASSERT_FALSE(refused.ok());
    EXPECT_EQ(refused.error().io_kind(), IoKind::InvalidData);
    EXPECT_NE(refused.error().message().find("is in use"), std::string::npos);
    ASSERT_EQ(::truncate(db.table.c_str(), 5 * 64), 0);  // the holder's mapping whole again
  }
  // A second name of the database is never rewritten.
  ASSERT_EQ(::unlink(db.table.c_str()), 0);
  ASSERT_EQ(::link(db.path.c_str(), db.table.c_str()), 0);
  EXPECT_EQ(ReaderTable::open(db.path, db.identity, 1, 4).error().os_errno(), EEXIST);
}

TEST(ReaderTable, DeadReadersPinNothingAndChildrenLeaveParentsLocksAlone) {
  Db db;
  auto w = db.open(5);
  Child reader([&](int fd) {
    ReaderTable* t = ReaderTable::open(db.path, db.identity, 1, 4).value().release();
    report(fd, t->claim_slot().ok() && t->pin() == 5);
    ::pause();
  });
  ASSERT_EQ(reader.verdict, 'y');
  EXPECT_EQ(w->oldest_pinned(9), 5u);
  reader.kill();
  EXPECT_EQ(w->oldest_pinned(9), 9u);
  EXPECT_EQ(db.slot_pin(0), 0u);  // cleared, not only skipped

  // A child destroys its copy of v and keeps its copy of w's descriptor.
  auto v = db.open();
  ASSERT_TRUE(w->claim_slot().ok() && v->claim_slot().ok() && w->lock_writer(0).ok());
  EXPECT_EQ(v->pin(), 5u);
  Child child([&](int fd) {
    v.reset();
    report(fd, true);
    ::pause();
  });
  ASSERT_EQ(child.verdict, 'y');
  auto other = db.open();
  EXPECT_EQ(other->oldest_pinned(9), 5u);
  EXPECT_EQ(other->lock_writer(0).error().kind(), ErrorKind::LockFailed);
  w.reset();  // releases its locks although the child holds the descriptor
  ASSERT_TRUE(other->lock_writer(0).ok() && other->claim_slot().ok());
  EXPECT_EQ(other->slot(), 0u);
  other.reset();
  v.reset();
  EXPECT_EQ(db.open(3)->newest(), 3u);  // no member left: rebuilt
}

// A plain read-only open and a member never use the database at once,
// whichever comes first; each side's check sees the other's announcement.
TEST(ReaderTable, PlainReadersAndMembersExcludeEachOther) {
  Db db;
  auto ro = [&] { return ::open(db.path.c_str(), O_RDONLY | O_CLOEXEC); };
  const int probe = ro();  // a member's descriptor of the database
  auto announced = [&] { return testing::must(ReaderTable::plain_reader_present(probe)); };

  // Plain readers first (no table file yet): any number, seen by members.
  const int r1 = ro(), r2 = ro();
  ASSERT_TRUE(ReaderTable::admit_plain_reader(r1, db.path).ok());
  ASSERT_TRUE(ReaderTable::admit_plain_reader(r2, db.path).ok());
  EXPECT_TRUE(announced());
  ::close(r1);
  ::close(r2);
  EXPECT_FALSE(announced());
  Child child([&](int fd) {  // another process's reader, until it dies
    report(fd, ReaderTable::admit_plain_reader(ro(), db.path).ok());
    ::pause();
  });
  ASSERT_EQ(child.verdict, 'y');
  EXPECT_TRUE(announced());
  child.kill();
  EXPECT_FALSE(announced());

  // A member first: plain readers are refused and withdraw.
  auto refused = [&] {
    const int r = ro();
    Status st = ReaderTable::admit_plain_reader(r, db.path);
    const bool withdrawn = !announced();
    ::close(r);
    return st.ok() ? std::string("admitted")
                   : st.error().message() + (withdrawn ? "" : " (still announced)");
  };
  const std::string in_shared_use =
      "failed to acquire exclusive file lock: the file is in shared use (opened with "
      "shared=True)";
  {
    auto member = db.open();
    EXPECT_EQ(refused(), in_shared_use);
  }
  EXPECT_EQ(refused(), "admitted");  // the file stays, its members are gone
  {
    // An initialiser at work counts as a member.
    const int t = ::open(db.table.c_str(), O_RDWR | O_CLOEXEC);
    struct flock fl = {};
    fl.l_type = F_WRLCK;
    fl.l_len = 1;
    ASSERT_EQ(::fcntl(t, F_OFD_SETLK, &fl), 0);
    EXPECT_EQ(refused(), in_shared_use);
    ::close(t);
  }
  // Not a regular file: never a table with members (and never waited on).
  ASSERT_EQ(::unlink(db.table.c_str()), 0);
  ASSERT_EQ(::mkfifo(db.table.c_str(), 0644), 0);
  EXPECT_EQ(refused(), "admitted");
  ::close(probe);
}

// A reader process pins, checks and unpins in a tight loop; the writer stops
// it at arbitrary instants (often inside pin, between reading newest and
// publishing the pin), commits and takes the slots' verdict, then lets it
// run on. A pin held must never lie below a verdict: the writer would
// recycle pages that generation reaches.
TEST(ReaderTable, PinIsNeverBelowWhatAWriterMayRecycle) {
  Db db;
  auto w = db.open();
  ASSERT_TRUE(w->lock_writer(0).ok());
  struct Shared {
    std::atomic<uint64_t> recyclable{0}, pins{0}, violations{0};
  };
  void* mem = ::mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE,
                     MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(mem, MAP_FAILED);
  Shared* sh = new (mem) Shared;
  Child reader([&](int fd) {
    ReaderTable* r = ReaderTable::open(db.path, db.identity, 1, 4).value().release();
    report(fd, r->claim_slot().ok());
    for (uint64_t last = 0;; sh->pins.fetch_add(1)) {
      const uint64_t g = r->pin();
      if (g < last || sh->recyclable.load() > g) sh->violations.fetch_add(1);
      last = g;
      r->unpin();
    }
  });
  ASSERT_EQ(reader.verdict, 'y');
  uint64_t g = 1;
  auto commit = [&] {
    w->publish_commit_start(++g);
    w->publish_commit_end(g);
    sh->recyclable.store(w->oldest_pinned(g));
  };
  for (int round = 0; round < 2000; ++round) {
    ::kill(reader.pid, SIGSTOP);
    ::waitpid(reader.pid, nullptr, WUNTRACED);
    commit();
    const uint64_t before = sh->pins.load();
    ::kill(reader.pid, SIGCONT);
    while (sh->pins.load() == before) {  // until the interrupted check is done
      commit();
      std::this_thread::sleep_for(std::chrono::microseconds(20));
    }
  }
  reader.kill();
  EXPECT_EQ(sh->violations.load(), 0u);
  ::munmap(mem, sizeof(Shared));
}

}  // namespace
}  // namespace ambrik
