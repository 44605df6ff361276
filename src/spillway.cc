#include "spillway.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#define XXH_STATIC_LINKING_ONLY
#include <xxhash.h>

#include <cerrno>
#include <cstring>

#include "check.h"
#include "page.h"
#include "page_io.h"

namespace ambrik {

Spillway::Spillway(int fd, uint64_t max_bytes, uint64_t record_len)
    : fd_(fd), max_bytes_(max_bytes), record_len_(record_len) {}

Spillway::~Spillway() {
  if (fd_ >= 0) ::close(fd_);
}

std::unique_ptr<Spillway> Spillway::in_memory(uint64_t max_bytes, uint64_t record_len) {
  AMBRIK_DCHECK(record_len > 0);
  return std::unique_ptr<Spillway>(new Spillway(-1, max_bytes, record_len));
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
  auto spillway = std::unique_ptr<Spillway>(new Spillway(fd, max_bytes, record_len));
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
  XXH3_state_t state;
  XXH3_64bits_reset(&state);
  XXH3_64bits_update(&state, id_le, sizeof id_le);
  XXH3_64bits_update(&state, payload, record_len_);
  return XXH3_64bits_digest(&state);
}

Status Spillway::put(uint64_t id, const uint8_t* payload) {
  uint64_t slot;
  if (const uint64_t* existing = slots_.find(id)) {
    slot = *existing;
  } else {
    uint64_t needed = sat_mul(sat_add(slots_.size(), 1), record_len_);
    if (max_bytes_ < needed) return Error::spillway_full(max_bytes_);
    slot = next_slot_++;
    slots_[id] = slot;
  }
  Status written = write_record(slot, id, payload);
  // Whatever part of the record reached the backing, it is not the page:
  // the caller keeps the page, so the mapping must not survive.
  if (!written.ok()) slots_.erase(id);
  return written;
}

Status Spillway::write_record(uint64_t slot, uint64_t id, const uint8_t* payload) {
  uint8_t header[kHeaderLen];
  store_u64(header, id);
  store_u64(header + 8, record_checksum(id, payload));
  uint64_t off = record_offset(slot);
  if (fd_ >= 0) {
    TRY(pwrite_full(fd_, off, header, kHeaderLen));
    return pwrite_full(fd_, off + kHeaderLen, payload, record_len_);
  }
  uint64_t end = off + kHeaderLen + record_len_;
  if (memory_.size() < end) memory_.resize(end, 0);
  std::memcpy(memory_.data() + off, header, kHeaderLen);
  std::memcpy(memory_.data() + off + kHeaderLen, payload, record_len_);
  return ok_status();
}

Result<const uint8_t*> Spillway::rehydrate(uint64_t id) {
  const uint64_t* slot = slots_.find(id);
  if (!slot) return Error::invalid_page_id(id);
  uint64_t off = record_offset(*slot);
  uint64_t len = kHeaderLen + record_len_;
  const uint8_t* rec;
  if (fd_ >= 0) {
    record_.resize(len);
    TRY(pread_full(fd_, off, record_.data(), len));
    rec = record_.data();
  } else {
    if (memory_.size() < off + len)
      return Error::io_text(IoKind::UnexpectedEof,
                            "spillway memory backing too short for slot " + std::to_string(*slot));
    rec = memory_.data() + off;
  }
  const uint8_t* payload = rec + kHeaderLen;
  if (load_u64(rec) != id || load_u64(rec + 8) != record_checksum(id, payload))
    return Error::checksum_mismatch(id);
  return payload;
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
  if (fd_ < 0) {
    memory_.clear();
    return ok_status();
  }
  while (::ftruncate(fd_, 0) != 0) {
    if (errno != EINTR) return Error::from_errno(errno);
  }
  if (::lseek(fd_, 0, SEEK_SET) < 0) return Error::from_errno(errno);
  return ok_status();
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
