// TransactionManager: everything of one open database.
//
// Owns the PageCache (and through it the PageIo, Spillway and PageCipher),
// the committed and working state records, the free-page recycling state,
// the slot packer, the pending-free list and the transaction flags.
//
// Lifecycle (each arrow names the function that takes it):
//
//        open()/create                begin()
//   (none) -----------> idle ------------------------> active
//                        ^  <------- commit() ---------  |
//                        |  <------- rollback() -------  |
//                        |                               | fatal error, or any
//          fatal error   v                               v error in commit
//                     poisoned  <-------------------------
//
// Every public operation except is_poisoned() refuses with Poisoned once the
// database is poisoned. Every operation that ends with a fatal error kind
// sets the poisoned flag before returning it; commit poisons on an error of
// any kind once its first flush has begun. The only way out of poisoned is to
// destroy the manager and open the file again.
//
// Not thread-safe: the owner serialises calls (the Python layer holds a
// per-database mutex).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/key.h"
#include "page_cache.h"
#include "result.h"
#include "transaction/committed_view.h"
#include "transaction/snapshot.h"

namespace ambrik {

// Where read_into puts a value: given its length, returns a writable buffer
// of that many bytes, or null when it cannot.
using ValueSink = std::function<uint8_t*(size_t)>;

// How a commit reaches the disk.
//  Full:    three syncs (pages, free map, superblock): durable when commit
//           returns.
//  Ordered: pages and free map, one sync, then the superblock unsynced. A
//           crash of the process loses nothing; a power failure may lose
//           the last commits, never more, and the file opens to one of the
//           commits that returned. sync() makes them all durable.
enum class Durability : uint8_t { Full, Ordered };

struct OpenOptions {
  std::optional<std::string> path;  // absent: in-memory database
  uint64_t cache_max_bytes = 8388608;
  std::optional<uint64_t> spillway_max_bytes;  // absent: 1024 * cache_max_bytes (saturating)
  DrainInsertion drain_insertion = DrainInsertion::LruTail;
  bool create_if_missing = true;
  bool read_only = false;
  uint32_t superblock_count = 2;
  std::optional<Key> encryption_key;
  // Shared mode: several objects, in this process or others, open the file
  // at once (all in shared mode). Writers take turns (begin waits up to
  // lock_timeout_seconds for the write lock, then WriterBusy); reads see the
  // newest commit in the file; snapshots and reads pin what they read in the
  // reader table "<path>.readers". Excludes default-mode opens, and plain
  // read-only opens, both ways (LockFailed). REQUIRES: a path.
  bool shared = false;
  // Ordered is not available in shared mode (Io Unsupported).
  Durability durability = Durability::Full;
  // Seconds to wait for another holder of the file lock to let go before
  // LockFailed (0: fail at once; infinity: wait for ever). A read-only open
  // shares the lock with other read-only opens (see lock_file and
  // ReaderTable::admit_plain_reader).
  double lock_timeout_seconds = 0.0;
  // Called with the database file's descriptor right after it is opened,
  // before the lock is taken or a key derived, so that an owner which closes
  // descriptors in forked children can track it from the start. The
  // descriptor stays the engine's; on a failed open the engine closes it.
  std::function<void(int fd)> on_file_opened;
  // Called between polls while waiting for the file lock (see
  // lock_file); an error it returns ends the open with it.
  LockPollFn on_lock_wait;
};

class TransactionManagerImpl;

struct StatsValues {
  uint64_t handle_count = 0;
  uint64_t total_pages = 0;
  uint64_t file_size_bytes = 0;
  // Absent until the first dirty page had to leave the cache.
  std::optional<uint64_t> spillway_logical_bytes;
  std::optional<uint64_t> spillway_max_bytes;
};

struct CounterValues {
  uint64_t cache_hits = 0;
  uint64_t cache_misses = 0;
  uint64_t pages_allocated = 0;
  uint64_t fsync_calls = 0;
};

struct DefragSettings {
  double sparse_threshold = 0.25;
  uint64_t max_values = 0;  // 0: no limit
};

struct DefragResult {
  uint64_t pages_examined = 0;
  uint64_t pages_freed = 0;
  uint64_t values_moved = 0;
};

struct DeletedWithTag {
  std::vector<uint64_t> deleted;  // ascending
  bool complete = false;
};

class TransactionManager {
 public:
  // Opens or creates the database. Runs without touching Python. A path
  // holding a NUL byte is refused with Io (InvalidInput) before anything is
  // opened.
  static Result<std::unique_ptr<TransactionManager>> open(const OpenOptions& options);
  // Opens (or creates, when it holds no whole page) the database in storage
  // the caller provides, e.g. an in-memory image; `options.path` only names
  // the spill file. The file lock is the caller's business.
  static Result<std::unique_ptr<TransactionManager>> open_storage(std::unique_ptr<PageIo> io,
                                                                  const OpenOptions& options);
  ~TransactionManager();

  bool is_poisoned() const;
  // For a layer above whose change spans several calls (a key-map write)
  // and could not undo the calls that succeeded: what the engine holds is
  // no longer fit to commit.
  void poison();

  // Advances with every call that may change what a read sees (every write,
  // begin, rollback, rollback_to, defrag), whether it succeeds or not; a
  // layer above that keeps decoded values may trust them while this number
  // stays the same.
  uint64_t change_count() const { return changes_; }
  // The page cache's budget in bytes (cache_max_bytes as it stands).
  uint64_t cache_budget_bytes() const;

  // Makes every returned commit durable: one sync in the ordered mode; in
  // the full mode (or for a database in memory) there is nothing to sync,
  // and it only counts one. Also inside a transaction, whose own pages it
  // does not commit.
  Status sync();

  Status begin();
  // begin(); in shared mode `between_polls` runs between polls of the write
  // lock while another writer holds it (an error it returns ends the wait
  // with WriterBusy).
  Status begin(const LockPollFn& between_polls);
  Status commit();
  Status rollback();

  // Shared mode: every read outside a transaction sees the newest commit in
  // the file and pins it while it runs. A layer above that reads several
  // values that must come from one commit (a key map's nodes) opens a read
  // scope: the reads until the matching end_reads() see the commit pinned
  // at its start. Scopes nest; they cost nothing in the default mode or
  // inside a transaction. Not a snapshot: a begin() inside a scope moves on
  // to the newest commit.
  Status begin_reads();
  void end_reads();
  bool is_shared() const;

  // Value operations (tag 0 = untagged).
  Result<uint64_t> allocate(std::span<const uint8_t> value, uint32_t tag = 0);
  Result<std::vector<uint8_t>> read(uint64_t handle);
  // The value of `handle`, written into the buffer `sink(length)` returns
  // (exactly `length` bytes; called at most once, with no other call into
  // the engine in between). false, with nothing written, when sink returns
  // null; on an error, a buffer already obtained holds unspecified bytes.
  Result<bool> read_into(uint64_t handle, const ValueSink& sink);
  // A hint that the small values of `handles` (the first 64) are about to
  // be read: their bytes already in memory are brought towards the CPU, so
  // that the reads that follow do not wait for memory one after another.
  // Changes nothing, reads nothing from the file, never fails.
  void prefetch(std::span<const uint64_t> handles);
  Status update(uint64_t handle, std::span<const uint8_t> value);
  Status delete_handle(uint64_t handle);
  Status delete_many(std::span<const uint64_t> handles);
  Result<std::vector<uint64_t>> handles();

  // Tags. REQUIRES: tag != 0 (the caller refuses 0 before calling).
  Result<uint32_t> tag(uint64_t handle);  // 0 when untagged
  Result<std::vector<uint64_t>> handles_with_tag(uint32_t tag);
  Status delete_tagged(uint64_t handle, uint32_t tag);
  Result<DeletedWithTag> delete_with_tag(uint32_t tag, uint64_t max);

  // Client byte and named roots (names are UTF-8 bytes).
  Result<uint8_t> client_byte(uint64_t handle);
  Status set_client_byte(uint64_t handle, uint8_t byte);
  Result<std::optional<uint64_t>> get_root_name(std::string_view name);
  Status set_root_name(std::string_view name, uint64_t handle);
  Status clear_root_name(std::string_view name);

  // Savepoints of the running transaction.
  Status savepoint(const std::string& name);
  Status rollback_to(const std::string& name);
  Status release(const std::string& name);

  // Key slots of an encrypted database (between transactions).
  Status add_key(const Key& existing, const Key& added);
  Status remove_key(const Key& key);
  Status rotate_key(const Key& old_key, const Key& new_key);

  // Settings that may change between transactions.
  Status set_cache_max_bytes(uint64_t bytes);
  Status set_spillway_max_bytes(uint64_t bytes);
  Status set_drain_insertion(DrainInsertion policy);

  Result<StatsValues> stats();
  Result<CounterValues> counters();
  // Runs inside the caller's transaction.
  Result<DefragResult> defrag(const DefragSettings& settings);

  // The last committed state, read through this database's cache (also
  // inside a transaction, whose working state it does not show). Valid
  // until the next call into the manager. Poisoned when poisoned;
  // UnsupportedFormatVersion for a file of a newer minor format.
  Result<CommittedView> committed_view();

  // A read-only view of the last commit (inside a transaction too, whose
  // working state it does not show), readable from any thread while this
  // database runs transactions and commits (see snapshot.h). While it is
  // open the pages that later commits free are not reused: the file grows
  // by at most what they free. The database closes the snapshots still open
  // when it is destroyed. Io (Unsupported, not poisoning) for a database in
  // memory; Poisoned when poisoned.
  Result<std::unique_ptr<Snapshot>> snapshot();
  // Closes every snapshot still open, each after its read in progress (the
  // destructor does it too). An owner that holds locks of its own when it
  // destroys the manager calls it first, so that it never waits for a
  // reader while holding them.
  void close_snapshots();

  // The database file's descriptor (it carries the file lock), or -1 for a
  // database in memory. A binding that lets a process fork uses it to close
  // a child's copy (closing a copy never releases the lock, which belongs to
  // the open file description).
  int file_descriptor() const;
  // Shared mode: the reader table's descriptor (it carries this object's
  // pins and turn), for the same use; -1 in the default mode.
  int reader_table_descriptor() const;

  // Internal access for tests.
  TransactionManagerImpl& impl() { return *impl_; }

 private:
  explicit TransactionManager(std::unique_ptr<TransactionManagerImpl> impl);
  std::unique_ptr<TransactionManagerImpl> impl_;
  uint64_t changes_ = 0;
  int read_scope_ = 0;
  uint64_t scope_pin_ = 0;  // the generation a read scope pinned (0: none)
};

// begin_reads() for the life of the object, end_reads() when it goes (when
// begin_reads succeeded).
class ReadScope {
 public:
  explicit ReadScope(TransactionManager& tm) : tm_(tm), status_(tm.begin_reads()) {}
  ~ReadScope() {
    if (status_.ok()) tm_.end_reads();
  }
  ReadScope(const ReadScope&) = delete;
  ReadScope& operator=(const ReadScope&) = delete;
  const Status& status() const { return status_; }

 private:
  TransactionManager& tm_;
  Status status_;
};

}  // namespace ambrik
