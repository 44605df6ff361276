#include "page_io.h"

#include <fcntl.h>
#include <limits.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>
#include <cstring>
#include <exception>
#include <limits>
#include <optional>

#include "guarded_copy.h"
#include "page.h"

namespace ambrik {

Status pread_full(int fd, uint64_t offset, uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pread(fd, buf + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    if (n == 0) return Error::io_text(IoKind::UnexpectedEof, "failed to fill whole buffer");
    done += static_cast<size_t>(n);
  }
  return ok_status();
}

Status pwrite_full(int fd, uint64_t offset, const uint8_t* buf, size_t len) {
  size_t done = 0;
  while (done < len) {
    ssize_t n = ::pwrite(fd, buf + done, len - done, static_cast<off_t>(offset + done));
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error::from_errno(errno);
    }
    if (n == 0) return Error::io_text(IoKind::WriteZero, "failed to write whole buffer");
    done += static_cast<size_t>(n);
  }
  return ok_status();
}

namespace {

// Positioned vectored transfer of the concatenation of `iov`: one system
// call per IOV_MAX buffers, advancing over what each call moved. `Op` is
// preadv or pwritev; `on_zero` is the error of a call that moves nothing.
template <typename Op>
Status vec_full(int fd, uint64_t offset, const struct iovec* iov, size_t count, Op op,
                IoKind zero_kind, const char* zero_text) {
  // A private copy: partial transfers adjust the first pending entry.
  struct iovec local[IOV_MAX];
  while (count > 0) {
    size_t n = std::min<size_t>(count, IOV_MAX);
    std::memcpy(local, iov, n * sizeof(struct iovec));
    size_t first = 0;
    while (first < n) {
      ssize_t moved = op(fd, local + first, static_cast<int>(n - first), static_cast<off_t>(offset));
      if (moved < 0) {
        if (errno == EINTR) continue;
        return Error::from_errno(errno);
      }
      if (moved == 0) return Error::io_text(zero_kind, zero_text);
      offset += static_cast<uint64_t>(moved);
      size_t left = static_cast<size_t>(moved);
      while (first < n && left >= local[first].iov_len) left -= local[first++].iov_len;
      if (left > 0) {
        local[first].iov_base = static_cast<uint8_t*>(local[first].iov_base) + left;
        local[first].iov_len -= left;
      }
    }
    iov += n;
    count -= n;
  }
  return ok_status();
}

}  // namespace

Status pwritev_full(int fd, uint64_t offset, const struct iovec* iov, size_t count) {
  return vec_full(fd, offset, iov, count, ::pwritev, IoKind::WriteZero,
                  "failed to write whole buffer");
}

Status preadv_full(int fd, uint64_t offset, const struct iovec* iov, size_t count) {
  return vec_full(fd, offset, iov, count, ::preadv, IoKind::UnexpectedEof,
                  "failed to fill whole buffer");
}

namespace {
std::atomic<uint64_t> g_sync_delay_us{0};
}  // namespace

void set_file_sync_delay_for_tests(uint64_t microseconds) {
  g_sync_delay_us.store(microseconds, std::memory_order_relaxed);
}

Status lock_file(int fd, FileLockKind kind, double timeout_seconds,
                 const LockPollFn& between_polls, const LockAdmitFn& admit) {
  using Clock = std::chrono::steady_clock;
  // A NaN or negative wait is no wait; an infinite one waits for ever.
  const bool forever = timeout_seconds == std::numeric_limits<double>::infinity();
  const double wait = timeout_seconds > 0 ? timeout_seconds : 0.0;
  const Clock::time_point deadline =
      forever || wait > 1e9
          ? Clock::time_point::max()
          : Clock::now() + std::chrono::duration_cast<Clock::duration>(
                               std::chrono::duration<double>(wait));
  const int op = (kind == FileLockKind::Shared ? LOCK_SH : LOCK_EX) | LOCK_NB;
  auto pause = std::chrono::microseconds(500);
  std::optional<Error> refusal;  // the admission refused at the last try
  for (;;) {
    if (::flock(fd, op) == 0) {
      if (!admit) return ok_status();
      Status admitted = admit();
      if (admitted.ok()) return admitted;
      // Nothing is held while waiting, nor after a refusal.
      ::flock(fd, LOCK_UN);
      if (admitted.error().kind() != ErrorKind::LockFailed) return admitted;
      refusal = std::move(admitted).error();
    } else if (errno == EINTR) {
      continue;
    } else if (errno != EWOULDBLOCK) {
      return Error::simple(ErrorKind::LockFailed);
    } else {
      refusal.reset();  // the latest obstacle names the failure
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) return refusal ? *refusal : Error::simple(ErrorKind::LockFailed);
    if (between_polls) TRY(between_polls());
    // Polling, not a blocking flock: a blocking wait cannot be bounded, and
    // the holder of a lock is usually a process that will not let go soon.
    auto step = std::chrono::duration_cast<Clock::duration>(pause);
    if (deadline - now < step) step = deadline - now;
    std::this_thread::sleep_for(step);
    pause = std::min(pause * 2, std::chrono::microseconds(50000));
  }
}

Status sync_parent_directory(const std::string& path) {
  std::string dir = ".";
  auto slash = path.rfind('/');
  if (slash == 0) dir = "/";
  else if (slash != std::string::npos) dir = path.substr(0, slash);
  int fd;
  do {
    fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::io_errno(errno);
  int err = 0;
  while (::fsync(fd) != 0) {
    if (errno == EINTR) continue;
    if (errno != EINVAL) err = errno;
    break;
  }
  ::close(fd);
  if (err != 0) return Error::io_errno(err);
  return ok_status();
}

Status Storage::write_vec_at(uint64_t offset, const struct iovec* iov, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (iov[i].iov_len == 0) continue;
    TRY(write_at(offset, static_cast<const uint8_t*>(iov[i].iov_base), iov[i].iov_len));
    offset += iov[i].iov_len;
  }
  return ok_status();
}

Status Storage::read_vec_at(uint64_t offset, const struct iovec* iov, size_t count) {
  for (size_t i = 0; i < count; ++i) {
    if (iov[i].iov_len == 0) continue;
    TRY(read_at(offset, static_cast<uint8_t*>(iov[i].iov_base), iov[i].iov_len));
    offset += iov[i].iov_len;
  }
  return ok_status();
}

namespace {
// Runs of pages up to this length are copied out of the mapping. Mapping a
// run in on first touch costs about what a vectored read of it does (1 MiB:
// 123 against 119 us here), and a run read again is already mapped: reading
// 1 MiB values went from 2.0x to 1.75x the time of a copy out of a warm
// mapping. Longer reads go through the descriptor.
constexpr uint64_t kMaxMappedRead = 4 << 20;
// The mapping reserves address space ahead of the file (half its length
// again, in 64 MiB steps), so a growing file is remapped rarely; pages past
// the end of the file are never touched.
constexpr uint64_t kMapGranule = uint64_t{64} << 20;
}  // namespace

Status FileStorage::write_vec_at(uint64_t offset, const struct iovec* iov, size_t count) {
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += iov[i].iov_len;
  TRY(pwritev_full(fd_, offset, iov, count));
  note_written(offset + total);
  return ok_status();
}

Status Storage::read_vec_hashed(uint64_t offset, const struct iovec* iov, size_t count,
                                size_t unit, size_t hashed, uint64_t* hashes) {
  TRY(read_vec_at(offset, iov, count));
  size_t seg = 0, seg_off = 0;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) total += iov[i].iov_len;
  for (size_t k = 0; k < total / unit; ++k) {
    const void* pieces[8];
    size_t lens[8];
    size_t n = 0;
    for (size_t left = unit, want = hashed; left > 0 && seg < count;) {
      const size_t take = std::min(iov[seg].iov_len - seg_off, left);
      const size_t use = std::min(take, want);
      if (use > 0) {
        if (n == 8) return Error::internal("a unit spread over more than 8 buffers");
        pieces[n] = static_cast<const uint8_t*>(iov[seg].iov_base) + seg_off;
        lens[n++] = use;
        want -= use;
      }
      left -= take;
      seg_off += take;
      if (seg_off == iov[seg].iov_len) {
        ++seg;
        seg_off = 0;
      }
    }
    hashes[k] = xxh3_pieces(pieces, lens, n);
  }
  return ok_status();
}

Status FileStorage::read_vec_hashed(uint64_t offset, const struct iovec* iov, size_t count,
                                    size_t unit, size_t hashed, uint64_t* hashes) {
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += iov[i].iov_len;
  const uint8_t* src = total <= kMaxMappedRead ? mapped(offset, total) : nullptr;
  if (src) {
    if (guarded_copy_hashed(iov, count, src, unit, hashed, hashes)) return ok_status();
    mapping_fault();
  }
  return Storage::read_vec_hashed(offset, iov, count, unit, hashed, hashes);
}

Status FileStorage::read_vec_at(uint64_t offset, const struct iovec* iov, size_t count) {
  uint64_t total = 0;
  for (size_t i = 0; i < count; ++i) total += iov[i].iov_len;
  const uint8_t* src = total <= kMaxMappedRead ? mapped(offset, total) : nullptr;
  if (src) {
    if (guarded_copy(iov, count, src)) return ok_status();
    mapping_fault();
  }
  return preadv_full(fd_, offset, iov, count);
}

FileStorage::~FileStorage() {
  unmap();
  if (fd_ >= 0) ::close(fd_);
}

const uint8_t* FileStorage::mapped(uint64_t offset, size_t len) {
  uint64_t end;
  if (__builtin_add_overflow(offset, len, &end) || end > known_len_) return nullptr;
  if (end > map_len_) {
    if (map_failed_) return nullptr;
    unmap();
    uint64_t ahead = known_len_ + known_len_ / 2;
    uint64_t want = (ahead / kMapGranule + 1) * kMapGranule;
    if (want > static_cast<uint64_t>(SIZE_MAX)) {
      map_failed_ = true;
      return nullptr;
    }
    void* p = ::mmap(nullptr, static_cast<size_t>(want), PROT_READ, MAP_SHARED, fd_, 0);
    if (p == MAP_FAILED) {
      map_failed_ = true;
      return nullptr;
    }
    // Reads are random page by page; read-ahead around each would only
    // evict other pages from the kernel's cache.
    ::madvise(p, static_cast<size_t>(want), MADV_RANDOM);
    // A mapping keeps the open file, and so its lock, alive: a forked child
    // must not inherit it (the fork guard of the Python layer closes only
    // the child's descriptors).
    ::madvise(p, static_cast<size_t>(want), MADV_DONTFORK);
    map_ = static_cast<uint8_t*>(p);
    map_len_ = want;
  }
  return map_ + offset;
}

void FileStorage::mapping_fault() {
  // The file is shorter than this object believed: another program changed
  // it. Reads go through the descriptor from now on, which reports what is
  // really there.
  map_failed_ = true;
  unmap();
}

void FileStorage::unmap() {
  if (map_) ::munmap(map_, static_cast<size_t>(map_len_));
  map_ = nullptr;
  map_len_ = 0;
}

Status FileStorage::read_at(uint64_t offset, uint8_t* buf, size_t len) {
  if (const uint8_t* src = len <= kMaxMappedRead ? mapped(offset, len) : nullptr) {
    if (guarded_copy(buf, src, len)) return ok_status();
    mapping_fault();
  }
  return pread_full(fd_, offset, buf, len);
}

Status FileStorage::write_at(uint64_t offset, const uint8_t* buf, size_t len) {
  TRY(pwrite_full(fd_, offset, buf, len));
  note_written(offset + len);
  return ok_status();
}

Status FileStorage::set_length(uint64_t len) {
  // Forget the mapping's view first: bytes past the new end must not be
  // read through it again.
  known_len_ = std::min(known_len_, len);
  while (::ftruncate(fd_, static_cast<off_t>(len)) != 0) {
    if (errno != EINTR) return Error::from_errno(errno);
  }
  known_len_ = len;
  return ok_status();
}

Result<uint64_t> FileStorage::length() {
  off_t end = ::lseek(fd_, 0, SEEK_END);
  if (end < 0) return Error::from_errno(errno);
  known_len_ = static_cast<uint64_t>(end);
  return static_cast<uint64_t>(end);
}

Status FileStorage::sync() {
  if (const uint64_t delay = g_sync_delay_us.load(std::memory_order_relaxed))
    std::this_thread::sleep_for(std::chrono::microseconds(delay));
  while (::fsync(fd_) != 0) {
    if (errno != EINTR) return Error::from_errno(errno);
  }
  return ok_status();
}

Status MemoryStorage::read_at(uint64_t offset, uint8_t* buf, size_t len) {
  if (offset > bytes_.size() || bytes_.size() - offset < len)
    return Error::io_text(IoKind::UnexpectedEof, "failed to fill whole buffer");
  std::memcpy(buf, bytes_.data() + offset, len);
  return ok_status();
}

namespace {

// Grows a memory image without letting an allocation failure escape as an
// exception.
Status resize_image(std::vector<uint8_t>& bytes, uint64_t len) {
  try {
    bytes.resize(len, 0);
  } catch (const std::exception&) {
    return Error::io_errno(ENOMEM);
  }
  return ok_status();
}

}  // namespace

Status MemoryStorage::write_at(uint64_t offset, const uint8_t* buf, size_t len) {
  uint64_t end;
  if (__builtin_add_overflow(offset, len, &end)) return Error::io_errno(EFBIG);
  if (bytes_.size() < end) TRY(resize_image(bytes_, end));
  std::memcpy(bytes_.data() + offset, buf, len);
  return ok_status();
}

Status MemoryStorage::set_length(uint64_t len) {
  return resize_image(bytes_, len);
}

PageIo::PageIo(std::unique_ptr<Storage> storage, bool read_only)
    : storage_(std::move(storage)), read_only_(read_only) {
  auto len = storage_->length();
  length_bytes_ = len.ok() ? len.value() : 0;
  page_count_ = length_bytes_ / stride_;
}

Result<uint64_t> PageIo::refresh_length() {
  length_bytes_ = TRY(storage_->length());
  page_count_ = length_bytes_ / stride_;
  return length_bytes_;
}

void PageIo::set_stride() {
  stride_ = kPlainStride;
  page_count_ = length_bytes_ / stride_;
}

void PageIo::set_sealed_stride() {
  stride_ = kSealedStride;
  page_count_ = length_bytes_ / stride_;
}

Status PageIo::read_page_unit_into(uint64_t id, uint8_t* buf) {
  if (id >= page_count_) return Error::invalid_page_id(id);
  // page_count_ * stride_ never exceeds the storage length, so this offset
  // cannot overflow.
  return storage_->read_at(id * stride_, buf, stride_);
}

Result<std::vector<uint8_t>> PageIo::read_page_unit(uint64_t id) {
  std::vector<uint8_t> buf(stride_, 0);
  TRY(read_page_unit_into(id, buf.data()));
  return buf;
}

Status PageIo::write_page_unit(uint64_t id, const uint8_t* buf, size_t len) {
  if (read_only_) return Error::simple(ErrorKind::ReadOnlyMode);
  if (len != stride_)
    return Error::io_text(IoKind::Other, "page unit length " + std::to_string(len) +
                                             " != stride " + std::to_string(stride_));
  if (id >= ~uint64_t{0} / stride_) return Error::io_errno(EFBIG);
  TRY(storage_->write_at(id * stride_, buf, len));
  page_count_ = std::max(page_count_, id + 1);
  length_bytes_ = std::max(length_bytes_, (id + 1) * stride_);
  return ok_status();
}

Status PageIo::read_page_units(uint64_t first, uint8_t* const* bufs, size_t count) {
  if (count == 1 && first < page_count_) return storage_->read_at(first * stride_, bufs[0], stride_);
  std::vector<struct iovec> iov(count);
  for (size_t i = 0; i < count; ++i) iov[i] = {bufs[i], stride_};
  return read_page_units(first, count, iov.data(), iov.size());
}

Status PageIo::read_page_units(uint64_t first, size_t count, const struct iovec* segs,
                               size_t nsegs) {
  if (count == 0) return ok_status();
  if (first >= page_count_) return Error::invalid_page_id(first);
  if (count > page_count_ - first) return Error::invalid_page_id(page_count_);
  return storage_->read_vec_at(first * stride_, segs, nsegs);
}

Status PageIo::read_page_units_hashed(uint64_t first, size_t count, const struct iovec* segs,
                                      size_t nsegs, uint64_t* hashes) {
  if (count == 0) return ok_status();
  if (first >= page_count_) return Error::invalid_page_id(first);
  if (count > page_count_ - first) return Error::invalid_page_id(page_count_);
  return storage_->read_vec_hashed(first * stride_, segs, nsegs, stride_, kTrailerOffset, hashes);
}

Status PageIo::write_page_units(uint64_t first, const uint8_t* const* units, size_t count) {
  if (read_only_) return Error::simple(ErrorKind::ReadOnlyMode);
  if (count == 0) return ok_status();
  uint64_t end;
  if (__builtin_add_overflow(first, count, &end) || end > ~uint64_t{0} / stride_)
    return Error::io_errno(EFBIG);
  if (count == 1) {
    TRY(storage_->write_at(first * stride_, units[0], stride_));
  } else {
    iov_scratch_.resize(count);
    for (size_t i = 0; i < count; ++i)
      iov_scratch_[i] = {const_cast<uint8_t*>(units[i]), stride_};
    TRY(storage_->write_vec_at(first * stride_, iov_scratch_.data(), count));
  }
  page_count_ = std::max(page_count_, end);
  length_bytes_ = std::max(length_bytes_, end * stride_);
  return ok_status();
}

Status PageIo::set_page_count(uint64_t n) {
  if (read_only_) return Error::simple(ErrorKind::ReadOnlyMode);
  if (n > ~uint64_t{0} / stride_) return Error::io_errno(EFBIG);
  TRY(storage_->set_length(n * stride_));
  page_count_ = n;
  length_bytes_ = n * stride_;
  return ok_status();
}

Status PageIo::sync() {
  if (read_only_) return Error::simple(ErrorKind::ReadOnlyMode);
  TRY(storage_->sync());
  ++fsync_calls_;
  return ok_status();
}

}  // namespace ambrik
