#include "shared/reader_table.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <functional>
#include <limits>
#include <random>
#include <thread>

#include "check.h"

namespace ambrik {

static_assert(std::endian::native == std::endian::little,
              "the table's words are accessed in place as little-endian");
static_assert(std::atomic_ref<uint64_t>::is_always_lock_free,
              "atomics in memory shared between processes must be lock-free");

namespace {

constexpr size_t kNewest = 24, kCommitting = 32, kLogHead = 40, kWaiting = 48, kTickets = 56;
constexpr size_t kPinned = 0, kOwner = 8, kTicket = 16;
// Joins that found an invalid table and retried: an initialiser that died
// half-way leaves one, and two newcomers that both find it each block the
// other's rebuild until one of them steps back.
constexpr int kJoinAttempts = 5;
// An initialiser holds the member byte for a few system calls only.
constexpr double kInitialiserWaitSeconds = 5.0;

off_t slot_lock_byte(uint32_t i) {
  return ReaderTable::kHeaderLen + off_t{i} * ReaderTable::kSlotLen;
}

// One non-blocking lock operation of the open file description on `len`
// bytes from `start` (0: to the end of any file): 0, or the errno.
int ofd_lock(int fd, short type, off_t start, off_t len = 1) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = len;
  for (;;) {
    if (::fcntl(fd, F_OFD_SETLK, &fl) == 0) return 0;
    if (errno != EINTR) return errno;
  }
}

bool conflict(int err) { return err == EAGAIN || err == EACCES; }

// A file system (or kernel) without open-file-description locks.
bool locks_unsupported(int err) {
  return err == EINVAL || err == ENOLCK || err == EOPNOTSUPP;
}

// Whether another open file description holds any lock on byte `start` of
// `fd` (asked as for a write lock, which any lock would conflict with; the
// question needs no write access): 1 or 0, or -errno.
int ofd_held(int fd, off_t start) {
  struct flock fl;
  std::memset(&fl, 0, sizeof fl);
  fl.l_type = F_WRLCK;
  fl.l_whence = SEEK_SET;
  fl.l_start = start;
  fl.l_len = 1;
  for (;;) {
    if (::fcntl(fd, F_OFD_GETLK, &fl) == 0) return fl.l_type != F_UNLCK ? 1 : 0;
    if (errno != EINTR) return -errno;
  }
}

// Whether the table at `path` has members (or an initialiser). No regular
// file there, or one on a file system without these locks, has none: no
// member could have joined it.
Result<bool> has_members(const std::string& path) {
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) {
    if (errno == ENOENT || errno == ELOOP) return false;
    return Error::io_errno(errno);
  }
  struct stat st;
  int held = ::fstat(fd, &st) != 0 ? -errno
             : S_ISREG(st.st_mode) ? ofd_held(fd, ReaderTable::kMemberByte)
                                   : 0;
  ::close(fd);
  if (held < 0 && locks_unsupported(-held)) return false;
  if (held < 0) return Error::io_errno(-held);
  return held == 1;
}

// Calls `attempt` until it returns true, with pauses growing to 2 ms (a
// waiter in line must notice its turn soon), until the deadline: LockFailed
// then, or when `between_polls` fails; an error of `attempt` ends it.
Status poll_until(double timeout_seconds, const std::function<Status()>& between_polls,
                  const std::function<Result<bool>()>& attempt) {
  using Clock = std::chrono::steady_clock;
  const bool forever = timeout_seconds == std::numeric_limits<double>::infinity();
  const double wait = timeout_seconds > 0 ? timeout_seconds : 0.0;
  const Clock::time_point deadline =
      forever || wait > 1e9 ? Clock::time_point::max()
                            : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                                 std::chrono::duration<double>(wait));
  auto pause = std::chrono::microseconds(50);
  for (;;) {
    if (TRY(attempt())) return ok_status();
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return Error::simple(ErrorKind::LockFailed);
    if (between_polls && !between_polls().ok()) return Error::simple(ErrorKind::LockFailed);
    auto step = std::chrono::duration_cast<Clock::duration>(pause);
    if (deadline - now < step) step = deadline - now;
    std::this_thread::sleep_for(step);
    pause = std::min(pause * 2, std::chrono::microseconds(2000));
  }
}

// Polls for a lock until the deadline. Not F_OFD_SETLKW: a blocking wait
// cannot be bounded. LockFailed on timeout.
Status poll_lock(int fd, short type, off_t start, double timeout_seconds,
                 const std::function<Status()>& between_polls = {}) {
  return poll_until(timeout_seconds, between_polls, [&]() -> Result<bool> {
    const int err = ofd_lock(fd, type, start);
    if (err == 0) return true;
    if (!conflict(err)) return Error::io_errno(err);
    return false;
  });
}

// Why the table behind `fd` is not a valid table of the database
// `identity`, or "" when it is. Its slot count goes to `slots`.
std::string defect(int fd, uint64_t identity, uint32_t& slots) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return std::string("cannot be examined: ") + std::strerror(errno);
  struct {
    char magic[8];
    uint32_t version, slots;
    uint64_t identity;
  } h;
  if (st.st_size < off_t{sizeof h} || ::pread(fd, &h, sizeof h, 0) != ssize_t{sizeof h})
    return "is truncated";
  if (std::memcmp(h.magic, ReaderTable::kMagic, 8) != 0) return "does not start with its magic";
  if (h.version != ReaderTable::kVersion) return "has format version " + std::to_string(h.version);
  if (h.slots == 0 || h.slots > ReaderTable::kMaxSlots) return "has an invalid slot count";
  if (st.st_size != off_t{ReaderTable::kHeaderLen} * (off_t{h.slots} + 1) +
                        16 * off_t{ReaderTable::kCountLogEntries})
    return "is truncated or extended";
  if (h.identity != identity) return "belongs to another file of that name";
  slots = h.slots;
  return "";
}

}  // namespace

uint64_t ReaderTable::identity_of(const struct stat& st) {
  const uint64_t dev = static_cast<uint64_t>(st.st_dev) * 0x9E3779B97F4A7C15ull;
  return std::rotl(dev, 32) ^ static_cast<uint64_t>(st.st_ino);
}

ReaderTable::ReaderTable(std::string path, int fd, uint32_t slots)
    : path_(std::move(path)), fd_(fd), slots_(slots), owner_(::getpid()) {}

ReaderTable::~ReaderTable() {
  if (fd_ < 0) return;
  if (::getpid() != owner_) {
    drop_in_child();
    return;
  }
  // Clear the pin before letting go of the slot's lock: once the lock is
  // free, the slot may be someone else's.
  if (slot_ != kNoSlot) {
    slot_word(slot_, kPinned).store(0);
    slot_word(slot_, kOwner).store(0);
  }
  // Explicitly, not by the close: a forked child's copy of the descriptor
  // would otherwise keep every lock of this object.
  ofd_lock(fd_, F_UNLCK, 0, 0);
  if (base_ != nullptr) ::munmap(base_, len_);
  ::close(fd_);
}

void ReaderTable::drop_in_child() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  base_ = nullptr;
  slot_ = kNoSlot;
  writer_ = false;
}

std::atomic_ref<uint64_t> ReaderTable::word(size_t offset) const {
  AMBRIK_DCHECK(base_ != nullptr && offset + 8 <= len_);
  return std::atomic_ref<uint64_t>(*reinterpret_cast<uint64_t*>(base_ + offset));
}

Status ReaderTable::map(size_t len) {
  void* p = ::mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd_, 0);
  if (p == MAP_FAILED) return Error::io_errno(errno);
  base_ = static_cast<uint8_t*>(p);
  len_ = len;
  // A child must not reach the parent's slot through an inherited mapping.
  ::madvise(p, len, MADV_DONTFORK);
  return ok_status();
}

// Called with the member byte write-locked: nobody else uses the table.
Status ReaderTable::initialise(uint64_t identity, uint64_t newest, uint32_t slot_count) {
  const size_t len = table_len(slot_count);
  // Emptied first so that every byte of the new table is zero; the blocks
  // are reserved so that a store into the mapping cannot fault on a full disk.
  if (::ftruncate(fd_, 0) != 0) return Error::io_errno(errno);
  if (int err = ::posix_fallocate(fd_, 0, static_cast<off_t>(len))) return Error::io_errno(err);
  slots_ = slot_count;
  TRY(map(len));
  const uint32_t version = kVersion;
  std::memcpy(base_ + 8, &version, 4);
  std::memcpy(base_ + 12, &slot_count, 4);
  std::memcpy(base_ + 16, &identity, 8);
  word(kNewest).store(newest);
  word(kCommitting).store(0);
  word(kLogHead).store(0);
  log_append(kLogMarker, newest);  // what a member that opened at `newest` replays from
  std::memcpy(base_, kMagic, 8);  // last: a table with its magic is whole
  // Converting our own write lock to a read lock is atomic: no other
  // initialiser can slip in between.
  if (int err = ofd_lock(fd_, F_RDLCK, kMemberByte)) return Error::io_errno(err);
  return ok_status();
}

Result<std::unique_ptr<ReaderTable>> ReaderTable::open(const std::string& db_path,
                                                       uint64_t identity,
                                                       uint64_t newest_generation,
                                                       uint32_t slot_count) {
  AMBRIK_DCHECK(slot_count >= 1 && slot_count <= kMaxSlots);
  AMBRIK_DCHECK(newest_generation >= 1);
  std::string path = db_path + ".readers";
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  std::unique_ptr<ReaderTable> t(new ReaderTable(path, fd, slot_count));
  struct stat st;
  if (::fstat(fd, &st) != 0) return Error::io_errno(errno);
  // Rebuilding rewrites the file whole: never through a second name of the
  // database or of any other file.
  if (!S_ISREG(st.st_mode) || st.st_nlink != 1 || identity_of(st) == identity)
    return Error::io_errno(EEXIST);

  std::string why;
  std::minstd_rand jitter(static_cast<uint32_t>(::getpid()));
  for (int attempt = 0; attempt < kJoinAttempts; ++attempt) {
    int err = ofd_lock(fd, F_WRLCK, kMemberByte);
    if (err == 0) {
      TRY(t->initialise(identity, newest_generation, slot_count));
      return t;
    }
    if (!conflict(err)) return Error::io_errno(err);
    TRY(poll_lock(fd, F_RDLCK, kMemberByte, kInitialiserWaitSeconds));
    uint32_t slots = 0;
    why = defect(fd, identity, slots);
    if (why.empty()) {
      t->slots_ = slots;
      TRY(t->map(table_len(slots)));
      return t;
    }
    // Whoever left it so may be gone by now: alone, we rebuild it.
    err = ofd_lock(fd, F_WRLCK, kMemberByte);
    if (err == 0) {
      TRY(t->initialise(identity, newest_generation, slot_count));
      return t;
    }
    ofd_lock(fd, F_UNLCK, kMemberByte);
    std::this_thread::sleep_for(std::chrono::microseconds(500 + jitter() % (2000 << attempt)));
  }
  return Error::io_text(IoKind::InvalidData, "reader table " + path + " is in use and " + why);
}

Status ReaderTable::admit_plain_reader(int db_fd, const std::string& db_path) {
  // Where the database's file system has no such locks, no member can ask
  // for the announcement either (plain_reader_present fails there), so the
  // look below is what keeps the two apart.
  const int err = ofd_lock(db_fd, F_RDLCK, kPlainReaderByte);
  if (err != 0 && !locks_unsupported(err)) return Error::io_errno(err);
  Result<bool> members = has_members(db_path + ".readers");
  if (members.ok() && !members.value()) return ok_status();
  if (err == 0) ofd_lock(db_fd, F_UNLCK, kPlainReaderByte);
  if (!members.ok()) return std::move(members).error();
  return Error::lock_failed("the file is in shared use (opened with shared=True)");
}

Result<bool> ReaderTable::plain_reader_present(int db_fd) {
  const int held = ofd_held(db_fd, kPlainReaderByte);
  if (held < 0) return Error::io_errno(-held);
  return held == 1;
}

Status ReaderTable::claim_slot() {
  if (slot_ != kNoSlot) return ok_status();
  for (uint32_t i = 0; i < slots_; ++i) {
    const int err = ofd_lock(fd_, F_WRLCK, slot_lock_byte(i));
    if (err == 0) {
      slot_word(i, kPinned).store(0);  // a dead owner's pin protects no one
      slot_word(i, kTicket).store(0);
      slot_word(i, kOwner).store(static_cast<uint64_t>(owner_));
      slot_ = i;
      return ok_status();
    }
    if (!conflict(err)) return Error::io_errno(err);
  }
  return Error::io_text(IoKind::ResourceBusy, "reader table " + path_ + " has no free slot (" +
                                                  std::to_string(slots_) + " in use)");
}

uint64_t ReaderTable::pin() {
  AMBRIK_DCHECK(slot_ != kNoSlot);
  std::atomic_ref<uint64_t> mine = slot_word(slot_, kPinned);
  std::atomic_ref<uint64_t> newest = word(kNewest);
  uint64_t g = newest.load();
  if (mine.load() != 0) return g;
  // A writer that raised newest past g before our store became visible may
  // have scanned the slots without seeing it: then g is not safe, and the
  // newer generation is tried. Once newest is unchanged after the store,
  // every later scan sees the pin.
  for (;;) {
    AMBRIK_DCHECK(g != 0);
    mine.store(g);
    const uint64_t now = newest.load();
    if (now == g) return g;
    g = now;
  }
}

void ReaderTable::set_pinned(uint64_t g) {
  AMBRIK_DCHECK(slot_ != kNoSlot);
  AMBRIK_DCHECK(g == 0 || writer_ || (pinned() != 0 && g >= pinned()));
  slot_word(slot_, kPinned).store(g);
}

uint64_t ReaderTable::pinned() const {
  return slot_ == kNoSlot ? 0 : slot_word(slot_, kPinned).load();
}

Status ReaderTable::lock_writer(double timeout_seconds,
                                const std::function<Status()>& between_polls) {
  if (writer_) return ok_status();
  // Nobody queued: one try, the usual case.
  if (word(kWaiting).load() == 0 || slot_ == kNoSlot) {
    const int err = ofd_lock(fd_, F_WRLCK, kWriterByte);
    if (err == 0) {
      writer_ = true;
      return ok_status();
    }
    if (!conflict(err)) return Error::io_errno(err);
    if (slot_ == kNoSlot) {
      TRY(poll_lock(fd_, F_WRLCK, kWriterByte, timeout_seconds, between_polls));
      writer_ = true;
      return ok_status();
    }
  }
  // Queued by ticket: only the oldest live waiter takes the lock, so a
  // writer that begins again right after its commit cannot keep the others
  // out for ever.
  const uint64_t ticket = word(kTickets).fetch_add(1) + 1;
  slot_word(slot_, kTicket).store(ticket);
  word(kWaiting).fetch_add(1);
  auto first_in_line = [&] {
    for (uint32_t i = 0; i < slots_; ++i) {
      if (i == slot_) continue;
      const uint64_t t = slot_word(i, kTicket).load();
      if (t != 0 && t < ticket && slot_alive(i)) return false;
    }
    return true;
  };
  Status got = poll_until(timeout_seconds, between_polls, [&]() -> Result<bool> {
    if (!first_in_line()) return false;
    const int err = ofd_lock(fd_, F_WRLCK, kWriterByte);
    if (err == 0) return true;
    if (!conflict(err)) return Error::io_errno(err);
    return false;
  });
  slot_word(slot_, kTicket).store(0);
  word(kWaiting).fetch_sub(1);
  TRY(got);
  writer_ = true;
  return ok_status();
}

void ReaderTable::unlock_writer() {
  if (!writer_) return;
  ofd_lock(fd_, F_UNLCK, kWriterByte);
  writer_ = false;
}

// Probes by taking the slot's lock rather than asking who holds it: held,
// nobody can claim the slot while its leftovers are cleared, so a new
// owner's pin is never wiped.
bool ReaderTable::slot_alive(uint32_t i) {
  const int err = ofd_lock(fd_, F_WRLCK, slot_lock_byte(i));
  if (err != 0) return true;  // held, or the probe failed: assume alive
  slot_word(i, kPinned).store(0);
  slot_word(i, kOwner).store(0);
  slot_word(i, kTicket).store(0);
  ofd_lock(fd_, F_UNLCK, slot_lock_byte(i));
  return false;
}

uint64_t ReaderTable::oldest_pinned(uint64_t upto) {
  uint64_t oldest = upto;
  for (uint32_t i = 0; i < slots_; ++i) {
    const uint64_t g = slot_word(i, kPinned).load();
    if (g == 0 || g >= oldest) continue;
    if (i != slot_ && !slot_alive(i)) continue;
    oldest = g;
  }
  return oldest;
}

void ReaderTable::publish_commit_start(uint64_t g) {
  AMBRIK_DCHECK(writer_ && g > newest());
  word(kCommitting).store(g);
}

void ReaderTable::publish_commit_end(uint64_t g) {
  AMBRIK_DCHECK(writer_ && g >= newest());
  word(kNewest).store(g);
  word(kCommitting).store(0);
}

void ReaderTable::log_append(uint64_t page, uint64_t value) {
  const uint64_t head = word(kLogHead).load(std::memory_order_relaxed);
  log_word(head, 0).store(page, std::memory_order_relaxed);
  log_word(head, 8).store(value, std::memory_order_relaxed);
  word(kLogHead).store(head + 1, std::memory_order_release);
}

void ReaderTable::log_counts(uint64_t g, std::span<const CountChange> changes) {
  AMBRIK_DCHECK(writer_ && g != 0);
  log_append(kLogMarker, g);
  for (const auto& [page, count] : changes) log_append(page, count);
}

void ReaderTable::log_barrier() {
  AMBRIK_DCHECK(writer_);
  log_append(kLogMarker, 0);
}

bool ReaderTable::replay_counts(uint64_t since, std::vector<CountChange>& out) const {
  const uint64_t head = word(kLogHead).load(std::memory_order_acquire);
  const uint64_t floor = head > kCountLogEntries ? head - kCountLogEntries : 0;
  // Back from the head to the marker of a commit at or before `since`; the
  // entries after it are the later commits'.
  uint64_t start = head;
  bool found = false;
  for (uint64_t j = head; j-- > floor;) {
    if (log_word(j, 0).load(std::memory_order_relaxed) != kLogMarker) continue;
    const uint64_t g = log_word(j, 8).load(std::memory_order_relaxed);
    if (g == 0) return false;
    if (g <= since) {
      found = true;
      break;
    }
    start = j;
  }
  if (!found) return false;
  for (uint64_t j = start; j < head; ++j) {
    const uint64_t page = log_word(j, 0).load(std::memory_order_relaxed);
    if (page == kLogMarker) continue;
    out.emplace_back(page, static_cast<uint32_t>(log_word(j, 8).load(std::memory_order_relaxed)));
  }
  return true;
}

uint64_t ReaderTable::newest() const { return word(kNewest).load(); }
uint64_t ReaderTable::committing() const { return word(kCommitting).load(); }

}  // namespace ambrik
