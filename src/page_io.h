// PageIo: the only component that touches the database file's bytes.
//
// The storage is an array of page units; page p lies at byte p * stride
// (8192 for plaintext, 8232 for sealed units). PageIo reads and writes whole
// units, sets the storage length, forces it to stable storage and tracks
// `page_count` (units the storage holds). It knows nothing of page contents.
//
// The bytes live behind `Storage`, a narrow interface with a file and a
// memory implementation; tests plug in fault-injecting or crash-simulating
// storages through the same seam.
//
// Ownership: PageIo owns its Storage; a FileStorage owns its descriptor, and
// closing it releases the advisory lock taken at open.
#pragma once

#include <sys/uio.h>

#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "result.h"

namespace ambrik {

class Storage {
 public:
  virtual ~Storage() = default;
  // Reads exactly `len` bytes at `offset`; end of data before that fails with
  // Io "failed to fill whole buffer" (UnexpectedEof).
  virtual Status read_at(uint64_t offset, uint8_t* buf, size_t len) = 0;
  // Writes all `len` bytes, extending the storage (gap reads as zeros).
  virtual Status write_at(uint64_t offset, const uint8_t* buf, size_t len) = 0;
  // Writes the concatenation of `count` buffers at `offset`. The default
  // writes them one by one with write_at; a failure may leave any prefix
  // written.
  virtual Status write_vec_at(uint64_t offset, const struct iovec* iov, size_t count);
  // Reads `count` buffers filled one after the other from `offset`, as
  // read_at would read their concatenation. The default reads them one by
  // one with read_at.
  virtual Status read_vec_at(uint64_t offset, const struct iovec* iov, size_t count);
  // read_vec_at, also setting hashes[k] to the XXH3 of the first `hashed`
  // bytes of each `unit`-byte unit read (the buffers' lengths sum to a whole
  // number of units, each unit's bytes in at most 8 buffers). The default
  // hashes what read_vec_at placed in the buffers.
  virtual Status read_vec_hashed(uint64_t offset, const struct iovec* iov, size_t count,
                                 size_t unit, size_t hashed, uint64_t* hashes);
  virtual Status set_length(uint64_t len) = 0;
  virtual Result<uint64_t> length() = 0;
  virtual Status sync() = 0;
  // The descriptor that carries the file lock, or -1 when there is none.
  virtual int descriptor() const { return -1; }
  // A new, empty storage for the pages a transaction spills out of this
  // one, or null to let the page cache choose ("<path>.spillway" or memory).
  // A storage that injects faults returns one that shares its faults, so
  // the spill file's I/O can fail like the database's.
  virtual std::unique_ptr<Storage> make_spill_storage() { return nullptr; }
};

// A file descriptor; positioned I/O retried on EINTR and continued after
// short transfers.
//
// Short reads (a page or a few) are served from a shared read-only mapping
// of the file when one can be made, which saves a system call per page;
// long runs and all writes go through the descriptor (the kernel keeps both
// views coherent). Only bytes below the length this object knows the file
// to have (from length(), its own writes and set_length) are read through
// the mapping, so a read never touches the mapping beyond the end of the
// file. A file shortened by another program while open makes such a read
// fault; the copy is guarded (guarded_copy.h), the read then goes through
// the descriptor and reports the short file.
class FileStorage final : public Storage {
 public:
  // Takes ownership of `fd`.
  explicit FileStorage(int fd) : fd_(fd) {}
  ~FileStorage() override;
  FileStorage(const FileStorage&) = delete;
  FileStorage& operator=(const FileStorage&) = delete;

  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override;
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override;
  // One pwritev / preadv per at most IOV_MAX buffers, continued after short
  // transfers and retried on EINTR.
  Status write_vec_at(uint64_t offset, const struct iovec* iov, size_t count) override;
  Status read_vec_at(uint64_t offset, const struct iovec* iov, size_t count) override;
  Status read_vec_hashed(uint64_t offset, const struct iovec* iov, size_t count, size_t unit,
                         size_t hashed, uint64_t* hashes) override;
  Status set_length(uint64_t len) override;
  Result<uint64_t> length() override;
  Status sync() override;
  int descriptor() const override { return fd_; }

 private:
  // The mapped bytes at [offset, offset + len), or null when they must be
  // read with the descriptor.
  const uint8_t* mapped(uint64_t offset, size_t len);
  void unmap();
  void mapping_fault();
  void note_written(uint64_t end) { known_len_ = std::max(known_len_, end); }

  int fd_;
  uint8_t* map_ = nullptr;
  uint64_t map_len_ = 0;
  uint64_t known_len_ = 0;
  bool map_failed_ = false;
};

// A growable byte image for databases opened without a path.
class MemoryStorage final : public Storage {
 public:
  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override;
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override;
  Status set_length(uint64_t len) override;
  Result<uint64_t> length() override { return static_cast<uint64_t>(bytes_.size()); }
  Status sync() override { return ok_status(); }
  std::vector<uint8_t>& bytes() { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

// Positioned read/write helpers over a raw descriptor (FileStorage's; tests
// use them to look at files).
Status pread_full(int fd, uint64_t offset, uint8_t* buf, size_t len);
Status pwrite_full(int fd, uint64_t offset, const uint8_t* buf, size_t len);
// The same for the concatenation of `count` buffers (pwritev / preadv).
Status pwritev_full(int fd, uint64_t offset, const struct iovec* iov, size_t count);
Status preadv_full(int fd, uint64_t offset, const struct iovec* iov, size_t count);
// Makes the directory entry of `path` durable by syncing the directory that
// holds it. A file system that cannot sync a directory (EINVAL) is taken as
// having nothing to sync; any other failure is an error.
Status sync_parent_directory(const std::string& path);
// The database file's advisory lock (flock, held by the open file
// description): a writer's exclusive lock, or the shared lock of an open
// that only reads, any number of which coexist. Each kind excludes the
// other.
enum class FileLockKind { Exclusive, Shared };
// Takes the lock of `kind` on `fd`, waiting up to `timeout_seconds` for
// holders of the other kind to let go (polling with growing pauses; 0 or
// less: one try; infinity: no limit). LockFailed when it is not obtained.
// `between_polls`, when set, runs before each pause (at most 50 ms apart);
// an error it returns ends the wait with that error. An owner that must
// answer signals during a long wait checks for them there.
// `admit`, when set, runs each time the lock is obtained, with it held:
// ok keeps the lock; LockFailed (someone the flock cannot see is in the
// way) lets go of the lock and goes on polling, and is the result when the
// wait runs out; any other error ends the wait, the lock released.
using LockPollFn = std::function<Status()>;
using LockAdmitFn = std::function<Status()>;
Status lock_file(int fd, FileLockKind kind, double timeout_seconds,
                 const LockPollFn& between_polls = {}, const LockAdmitFn& admit = {});
// Test hook: every FileStorage::sync first sleeps this long (0: never), so
// that tests can make a commit slow on purpose. Process-wide.
void set_file_sync_delay_for_tests(uint64_t microseconds);

class PageIo {
 public:
  // Starts with stride 8192 and page_count = storage length / 8192 (0 when
  // the length cannot be read: call refresh_length() to learn why).
  PageIo(std::unique_ptr<Storage> storage, bool read_only);

  // REQUIRES: buf holds stride() bytes. InvalidPageId when id >= page_count.
  Status read_page_unit_into(uint64_t id, uint8_t* buf);
  Result<std::vector<uint8_t>> read_page_unit(uint64_t id);
  // Reads units first .. first + count - 1 into the given buffers of
  // stride() bytes each, with as few system calls as the storage allows.
  // InvalidPageId naming the first id at or beyond page_count (nothing is
  // read then).
  Status read_page_units(uint64_t first, uint8_t* const* bufs, size_t count);
  // The same with the units scattered over `nsegs` buffers whose lengths sum
  // to count * stride().
  Status read_page_units(uint64_t first, size_t count, const struct iovec* segs, size_t nsegs);
  // The same, setting hashes[k] to the XXH3 of the first 8184 bytes of unit
  // k (its trailer's checksum) as the unit is read.
  Status read_page_units_hashed(uint64_t first, size_t count, const struct iovec* segs,
                                size_t nsegs, uint64_t* hashes);
  // ReadOnlyMode when read-only; Io "page unit length {len} != stride {s}"
  // for a buffer of the wrong length.
  Status write_page_unit(uint64_t id, const uint8_t* buf, size_t len);
  // Writes `count` units of stride() bytes each at ids first, first + 1, ...
  // with as few system calls as the storage allows. ReadOnlyMode when
  // read-only. A failure may leave any prefix of the units written.
  Status write_page_units(uint64_t first, const uint8_t* const* units, size_t count);
  Status set_page_count(uint64_t n);
  Status sync();
  // Counts a sync that had nothing to do (fsync_calls stays the number of
  // syncs callers asked for).
  void count_sync() { ++fsync_calls_; }
  // Reads the storage length again and recomputes page_count from it;
  // returns the length in bytes.
  Result<uint64_t> refresh_length();
  // Fall-back while opening: stride 8192, page_count recomputed from the
  // length last read or written.
  void set_stride();
  // Switches to sealed units (8232) and recomputes page_count likewise.
  void set_sealed_stride();

  uint64_t stride() const { return stride_; }
  uint64_t page_count() const { return page_count_; }
  bool read_only() const { return read_only_; }
  void set_read_only(bool ro) { read_only_ = ro; }
  uint64_t fsync_calls() const { return fsync_calls_; }
  // Storage length in bytes, as the storage reports it now.
  Result<uint64_t> storage_length() { return storage_->length(); }
  // The storage's lock-carrying descriptor (-1 in memory).
  int descriptor() const { return storage_->descriptor(); }
  Storage& storage() { return *storage_; }

 private:
  std::unique_ptr<Storage> storage_;
  uint64_t length_bytes_ = 0;  // as last read, or as far as a write reached
  std::vector<struct iovec> iov_scratch_;
  uint64_t stride_ = 8192;
  uint64_t fsync_calls_ = 0;
  uint64_t page_count_ = 0;
  bool read_only_ = false;
};

}  // namespace ambrik
