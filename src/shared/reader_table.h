// ReaderTable: the side file through which the processes (and the objects
// of one process) that share a database announce the generations their
// snapshots read, learn of each other's commits with one memory load, and
// take turns writing.
//
// The file is "<database path>.readers", mapped shared by every user. It
// means nothing once the last user has closed it: whoever opens it alone
// rebuilds it whole. Layout (integers little-endian, the host's order: the
// table is shared memory of one machine), 64 × (S + 1) + 16 × R bytes
// (R = kCountLogEntries):
//
//   offset   width  field
//   0        8      magic "AMBRKRDT"
//   8        u32    format version (1)
//   12       u32    slot count S, 1 to 65536
//   16       u64    identity of the database file (st_dev and st_ino folded)
//   24       u64    newest: generation of the newest commit whose
//                   superblock is written; raised by the writer after it
//   32       u64    committing: 0, or the generation a writer is committing
//                   (set before its first write, cleared after newest is
//                   raised). Found non-zero by the next writer: the last
//                   one died inside a commit, and newest may be stale
//   40       u64    count log head: entries ever appended to the log
//   48       u64    waiters: members queued for the write lock (a hint:
//                   one that died queued leaves it too high)
//   56       u64    tickets handed out to queued members so far
//   64 + 64i u64    slot i: pinned generation (0: pins nothing)
//   72 + 64i u64    slot i: pid of its owner (informational)
//   80 + 64i u64    slot i: the owner's ticket while it queues for the
//                   write lock, else 0
//   88 + 64i 40     zero
//   L + 16j  u64    count log entry j mod R (L = 64 × (S + 1)): a data
//                   page id, or kLogMarker
//   L + 16j + 8 u64 its live count after the commit; after kLogMarker the
//                   generation of the commit whose entries follow, or 0 for
//                   a barrier that nothing before it may be replayed across
//
// The count log lets a writer bring the data-page live counts it derived
// from an older commit up to date without reading the whole handle table:
// every commit appends a marker and the counts it changed, after its
// superblock is written and before it raises newest. A writer that dies in
// between leaves committing set; whoever finds it appends a barrier.
//
// Locks are open-file-description byte-range locks (F_OFD_*): two objects
// of one process exclude each other as two processes do, and the system
// drops them when the process dies. They are advisory and independent of
// the bytes they cover:
//
//   byte 0         member: every user holds a read lock on it for its life,
//                  an initialiser a write lock while it rebuilds the table
//   byte 1         writer: held (write) by the one writer at a time
//   byte 64 + 64i  slot i: held (write) by the slot's owner
//   bytes 2 to 63  reserved
//
// Plain read-only opens (not members: they pin nothing) would read pages
// that members' commits reuse, so the two never use a database at once.
// Both take flock's shared lock on the database, which cannot tell them
// apart; instead each side announces itself, then looks for the other:
//
//   a plain read-only open  holds a read lock on byte kPlainReaderByte of
//                           the database file itself (far beyond any page;
//                           a read lock, since its descriptor is read-only)
//                           for its life, then looks for members (a lock on
//                           byte 0 of the table) and, finding one, lets go
//                           and is refused;
//   a member                takes its read lock on byte 0, then looks for a
//                           plain reader's byte (plain_reader_present) and,
//                           finding one, must let go or back off.
//
// Locks are granted and tested in one order by the system, so of two opens
// that race, the one that looks second sees the other's announcement.
//
// Invariant (the reuse rule): a page freed by the commit of generation c may
// be handed out again only when every live slot pins 0 or a generation
// >= c. A writer obtains that bound from `oldest_pinned`; a reader makes its
// pin visible before it reads by `pin`'s protocol (publish newest, then
// check newest did not move), so a writer that holds the write lock and
// scans the slots sees every pin of a generation older than the newest.
// A pin of g protects every later generation too, so one slot per object
// holds the oldest generation the object reads.
//
// The identity check is sound exactly when it matters: a table is kept only
// while someone holds it, and its holders keep their database file open, so
// that file's inode number cannot have been handed to a replacement.
//
// Fork: the child shares the parent's open file description, hence its
// locks. The mapping is not inherited (MADV_DONTFORK); in the child the
// destructor and `drop_in_child` only close the descriptor copy. The parent
// releases its locks explicitly when it closes, so a child that lingers
// holds nothing of it; a child of a parent that dies keeps the parent's
// locks until it exits, execs or calls `drop_in_child`.
//
// One object is one participant: the caller serialises the calls made on it.
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "result.h"

namespace ambrik {

class ReaderTable {
 public:
  static constexpr char kMagic[8] = {'A', 'M', 'B', 'R', 'K', 'R', 'D', 'T'};
  static constexpr uint32_t kVersion = 1;
  static constexpr uint32_t kHeaderLen = 64;
  static constexpr uint32_t kSlotLen = 64;
  static constexpr uint32_t kMaxSlots = 65536;
  static constexpr off_t kMemberByte = 0;
  static constexpr off_t kWriterByte = 1;
  static constexpr uint32_t kNoSlot = ~uint32_t{0};
  static constexpr uint64_t kCountLogEntries = 32768;
  static constexpr uint64_t kLogMarker = ~uint64_t{0};
  using CountChange = std::pair<uint64_t, uint32_t>;  // data page, live count

  // The byte of the database file a plain read-only open holds (read).
  static constexpr off_t kPlainReaderByte = off_t{1} << 62;

  // The identity a table records for the database file described by `st`.
  static uint64_t identity_of(const struct stat& st);

  // Opens or creates "<db_path>.readers". Alone, it rebuilds the table: S =
  // `slot_count`, newest = `newest_generation`. Otherwise it joins the
  // table its users hold, with the slot count found there. Refusals: a
  // symbolic link (Io, ELOOP), a directory (Io, EISDIR) or anything else but
  // a plain file with one link that is not the database (Io, EEXIST); a
  // table in use that is not a valid table of this database (Io,
  // InvalidData, the reason in the text); an initialiser that never
  // finishes (LockFailed); other OS errors by the errno rule. The caller
  // keeps the database file open for the table's life.
  // REQUIRES: 1 <= slot_count <= kMaxSlots, newest_generation >= 1.
  static Result<std::unique_ptr<ReaderTable>> open(const std::string& db_path,
                                                   uint64_t identity,
                                                   uint64_t newest_generation,
                                                   uint32_t slot_count);

  // --- Plain read-only opens. ---
  // Announces a plain read-only open through `db_fd` (the database opened
  // for reading; the announcement lasts as long as its open file
  // description), then looks for members of "<db_path>.readers" (none when
  // there is no such regular file). LockFailed, with the reason in its
  // text, when there are members: the announcement is withdrawn first. Io
  // when the lock or the look fails.
  static Status admit_plain_reader(int db_fd, const std::string& db_path);
  // What a member checks once it holds its read lock on byte 0: whether a
  // plain read-only open of the database behind `db_fd` (any descriptor of
  // it that holds no announcement itself) is announced. Io when the
  // question cannot be asked.
  static Result<bool> plain_reader_present(int db_fd);

  ~ReaderTable();
  ReaderTable(const ReaderTable&) = delete;
  ReaderTable& operator=(const ReaderTable&) = delete;

  const std::string& path() const { return path_; }
  int descriptor() const { return fd_; }
  uint32_t slot_count() const { return slots_; }
  uint32_t slot() const { return slot_; }  // kNoSlot before claim_slot

  // --- Reader side. ---
  // Takes the first slot whose lock is free (clearing what a dead owner
  // left in it); nothing to do when this object has one. Io (ResourceBusy)
  // when every slot is in use.
  Status claim_slot();
  // Makes the newest generation safe to read and returns it. A slot that
  // pins nothing gets the newest generation, published with the retry
  // protocol; a slot that pins an older generation keeps it, since it
  // already protects the newest. REQUIRES: a claimed slot.
  uint64_t pin();
  // Stores `g` as this object's pin. REQUIRES: a claimed slot, and g is 0,
  // or not below the current non-zero pin, or this object holds the write
  // lock and no page freed by a commit after g has been handed out since
  // (a writer pinning the last durable generation before it lets go).
  void set_pinned(uint64_t g);
  uint64_t pinned() const;  // 0 when none or no slot
  void unpin() { set_pinned(0); }

  // --- Writer side. ---
  // Takes the write lock, polling until `timeout_seconds` has passed (0 or
  // NaN: one try; infinity: no limit). LockFailed when it stays taken, or
  // when `between_polls` (run between polls) returns an error. Fair between
  // members with a slot: when anyone is queued, a newcomer queues behind
  // them (a ticket in its slot) and the oldest live ticket goes first.
  Status lock_writer(double timeout_seconds, const std::function<Status()>& between_polls = {});
  void unlock_writer();
  bool holds_writer() const { return writer_; }
  // min(upto, every live pin): pages freed by commits up to the result may
  // be reused. Only slots that would lower the result are checked for
  // liveness (a slot whose lock is free belonged to a dead process: it is
  // cleared and ignored). This object's own pin always counts.
  uint64_t oldest_pinned(uint64_t upto);
  // REQUIRES for both: the write lock; g above newest().
  void publish_commit_start(uint64_t g);
  // Raises newest to g, then clears committing. Also what a writer that
  // found committing set calls with the generation the superblocks hold.
  // REQUIRES: the write lock; g >= newest().
  void publish_commit_end(uint64_t g);
  uint64_t newest() const;
  uint64_t committing() const;

  // --- Count log (see the layout). REQUIRES for all three: the write lock.
  // Appends the counts the commit of generation g changed (a count of 0:
  // the page holds no live value any more).
  void log_counts(uint64_t g, std::span<const CountChange> changes);
  // Appends a barrier: the log before it may miss a commit's changes.
  void log_barrier();
  // The changes of every commit after generation `since`, oldest first;
  // false when the log no longer holds them all (overwritten, a barrier, or
  // a table rebuilt since): the caller derives the counts afresh.
  bool replay_counts(uint64_t since, std::vector<CountChange>& out) const;

  // In a forked child: closes this object's copy of the descriptor without
  // releasing the locks the parent holds through it, and without touching
  // the mapping (not inherited). The object is inert afterwards.
  void drop_in_child();

 private:
  ReaderTable(std::string path, int fd, uint32_t slots);
  Status map(size_t len);
  Status initialise(uint64_t identity, uint64_t newest, uint32_t slot_count);
  std::atomic_ref<uint64_t> word(size_t offset) const;
  std::atomic_ref<uint64_t> slot_word(uint32_t i, size_t field) const {
    return word(kHeaderLen + size_t{i} * kSlotLen + field);
  }
  bool slot_alive(uint32_t i);
  static size_t table_len(uint32_t slots) {
    return size_t{kHeaderLen} * (size_t{slots} + 1) + 16 * kCountLogEntries;
  }
  std::atomic_ref<uint64_t> log_word(uint64_t j, size_t field) const {
    return word(size_t{kHeaderLen} * (size_t{slots_} + 1) + 16 * (j % kCountLogEntries) + field);
  }
  void log_append(uint64_t page, uint64_t value);

  std::string path_;
  int fd_;
  uint8_t* base_ = nullptr;
  size_t len_ = 0;
  uint32_t slots_;
  uint32_t slot_ = kNoSlot;
  bool writer_ = false;
  pid_t owner_;
};

}  // namespace ambrik
