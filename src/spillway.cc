#include "spillway.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <string>

#include "check.h"
#include "page.h"
#include "page_io.h"

namespace ambrik {

Spillway::Spillway(std::unique_ptr<Storage> backing, uint64_t max_bytes, uint64_t record_len)
    : backing_(std::move(backing)), max_bytes_(max_bytes), record_len_(record_len) {}

Spillway::~Spillway() = default;

std::unique_ptr<Spillway> Spillway::in_memory(uint64_t max_bytes, uint64_t record_len) {
  return over(std::make_unique<MemoryStorage>(), max_bytes, record_len);
}

std::unique_ptr<Spillway> Spillway::over(std::unique_ptr<Storage> backing, uint64_t max_bytes,
                                         uint64_t record_len) {
  AMBRIK_DCHECK(record_len > 0 && backing);
  return std::unique_ptr<Spillway>(new Spillway(std::move(backing), max_bytes, record_len));
}

namespace {

// A regular file with no other name that is not the database: what a spill
// file left by an earlier handle, or one just created, looks like. Anything
// else under the spill file's name belongs to somebody else.
bool is_lone_regular_file(const struct stat& st, const struct stat* database) {
  const bool is_database =
      database && st.st_dev == database->st_dev && st.st_ino == database->st_ino;
  return S_ISREG(st.st_mode) && st.st_nlink == 1 && !is_database;
}

}  // namespace

Result<std::unique_ptr<Spillway>> Spillway::open_file(const std::string& db_path,
                                                      uint64_t max_bytes, uint64_t record_len,
                                                      int database_fd) {
  AMBRIK_DCHECK(record_len > 0);
  std::string path = db_path + ".spillway";
  struct stat db_st;
  const struct stat* database = nullptr;
  if (database_fd >= 0) {
    if (::fstat(database_fd, &db_st) != 0) return Error::from_errno(errno);
    database = &db_st;
  }
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0) {
    if (S_ISLNK(st.st_mode)) return Error::from_errno(ELOOP);
    if (!is_lone_regular_file(st, database)) return Error::from_errno(EEXIST);
    if (::unlink(path.c_str()) != 0 && errno != ENOENT) return Error::from_errno(errno);
  } else if (errno != ENOENT) {
    return Error::from_errno(errno);
  }
  int fd;
  do {
    fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  } while (fd < 0 && errno == EINTR);
  if (fd < 0) return Error::from_errno(errno);
  // Owned from here on: every return below closes it.
  auto spillway = over(std::make_unique<FileStorage>(fd), max_bytes, record_len);
  // Whatever raced in between, write only into a file made just now.
  if (::fstat(fd, &st) != 0) return Error::from_errno(errno);
  if (!is_lone_regular_file(st, database) || st.st_size != 0) return Error::from_errno(EEXIST);
  return spillway;
}

void Spillway::set_record_len(uint64_t len) {
  AMBRIK_DCHECK(slots_.size() == 0 && len > 0);
  record_len_ = len;
  record_.clear();
}

uint64_t Spillway::record_checksum(uint64_t id, const uint8_t* payload) const {
  uint8_t id_le[8];
  store_u64(id_le, id);
  const void* pieces[2] = {id_le, payload};
  const size_t lens[2] = {sizeof id_le, static_cast<size_t>(record_len_)};
  return xxh3_pieces(pieces, lens, 2);
}

uint64_t Spillway::room() const {
  uint64_t per = record_len_ == 0 ? 1 : record_len_;
  uint64_t fit = max_bytes_ / per;
  return fit > slots_.size() ? fit - slots_.size() : 0;
}

Status Spillway::put_batch(const uint64_t* ids, const uint8_t* const* payloads, size_t n) {
  size_t fresh = 0;
  for (size_t i = 0; i < n; ++i) fresh += slots_.contains(ids[i]) ? 0 : 1;
  if (fresh > 0) {
    uint64_t needed = sat_mul(sat_add(slots_.size(), fresh), record_len_);
    if (max_bytes_ < needed) return Error::spillway_full(max_bytes_);
  }
  batch_slots_.resize(n);
  headers_.resize(n * kHeaderLen);
  for (size_t i = 0; i < n; ++i) {
    uint64_t slot;
    if (const uint64_t* existing = slots_.find(ids[i])) {
      slot = *existing;
    } else {
      slot = next_slot_++;
      slots_[ids[i]] = slot;
    }
    batch_slots_[i] = slot;
    uint8_t* header = headers_.data() + i * kHeaderLen;
    store_u64(header, ids[i]);
    store_u64(header + 8, record_checksum(ids[i], payloads[i]));
  }
  Status written = [&]() -> Status {
    struct iovec iov[2 * kMaxBatchRun];
    for (size_t i = 0; i < n;) {
      size_t j = i;
      size_t k = 0;
      do {
        iov[k++] = {headers_.data() + j * kHeaderLen, kHeaderLen};
        iov[k++] = {const_cast<uint8_t*>(payloads[j]), static_cast<size_t>(record_len_)};
        ++j;
      } while (j < n && j - i < kMaxBatchRun && batch_slots_[j] == batch_slots_[j - 1] + 1);
      TRY(backing_->write_vec_at(record_offset(batch_slots_[i]), iov, k));
      i = j;
    }
    return ok_status();
  }();
  // Whatever part of a record reached the backing, it is not the page: the
  // caller keeps the pages, so no mapping of the batch may survive.
  if (!written.ok()) {
    for (size_t i = 0; i < n; ++i) slots_.erase(ids[i]);
  }
  return written;
}

Result<const uint8_t*> Spillway::rehydrate(uint64_t id) {
  record_.resize(record_len_);
  TRY(rehydrate_batch(&id, 1, record_.data()));
  return record_.data();
}

void Spillway::order_by_slot(const uint64_t* ids, size_t n) {
  order_.resize(n);
  batch_slots_.resize(n);
  for (size_t i = 0; i < n; ++i) {
    order_[i] = i;
    batch_slots_[i] = *slots_.find(ids[i]);
  }
  std::sort(order_.begin(), order_.end(),
            [&](size_t a, size_t b) { return batch_slots_[a] < batch_slots_[b]; });
}

Status Spillway::rehydrate_batch(const uint64_t* ids, size_t n, uint8_t* out) {
  for (size_t i = 0; i < n; ++i) {
    if (!slots_.contains(ids[i])) return Error::invalid_page_id(ids[i]);
  }
  order_by_slot(ids, n);
  headers_.resize(n * kHeaderLen);
  struct iovec iov[2 * kMaxBatchRun];
  for (size_t a = 0; a < n;) {
    size_t b = a;
    size_t k = 0;
    do {
      size_t i = order_[b];
      iov[k++] = {headers_.data() + i * kHeaderLen, kHeaderLen};
      iov[k++] = {out + i * record_len_, static_cast<size_t>(record_len_)};
      ++b;
    } while (b < n && b - a < kMaxBatchRun &&
             batch_slots_[order_[b]] == batch_slots_[order_[b - 1]] + 1);
    TRY(backing_->read_vec_at(record_offset(batch_slots_[order_[a]]), iov, k));
    for (size_t c = a; c < b; ++c) {
      size_t i = order_[c];
      const uint8_t* header = headers_.data() + i * kHeaderLen;
      const uint8_t* payload = out + i * record_len_;
      if (load_u64(header) != ids[i] || load_u64(header + 8) != record_checksum(ids[i], payload))
        return Error::checksum_mismatch(ids[i]);
    }
    a = b;
  }
  return ok_status();
}

void Spillway::forget(uint64_t id) { slots_.erase(id); }

void Spillway::forget_from(uint64_t n) {
  std::vector<uint64_t> doomed;
  slots_.for_each([&](uint64_t id, uint64_t) {
    if (id >= n) doomed.push_back(id);
  });
  for (uint64_t id : doomed) slots_.erase(id);
}

Status Spillway::truncate() {
  slots_.clear();
  next_slot_ = 0;
  return backing_->set_length(0);
}

void Spillway::collect_ids(size_t max, std::vector<uint64_t>& out) const {
  if (max == 0) return;
  size_t taken = 0;
  slots_.for_each([&](uint64_t id, const uint64_t&) {
    out.push_back(id);
    return ++taken < max;
  });
}

}  // namespace ambrik
