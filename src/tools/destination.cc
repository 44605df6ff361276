#include "tools/destination.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <utility>

#include "crypto/cipher.h"

namespace ambrik::tools {
namespace {

// Names drawn for the temporary file before giving up: each collides only
// with a file of 16 random hex digits that already exists.
constexpr int kNameDraws = 16;

// Whether `a` and `b` name the same file, also when `b` does not exist yet
// (a spill file is created only when needed): same inode, or the same name
// in the same directory.
bool names_same_file(const std::string& a, const std::string& b) {
  struct stat sa, sb;
  if (::stat(a.c_str(), &sa) == 0 && ::stat(b.c_str(), &sb) == 0)
    return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
  auto split = [](const std::string& p) -> std::pair<std::string, std::string> {
    const size_t slash = p.rfind('/');
    std::string dir = slash == std::string::npos ? "." : p.substr(0, slash + 1);
    std::string base = slash == std::string::npos ? p : p.substr(slash + 1);
    char* real = ::realpath(dir.c_str(), nullptr);
    if (real != nullptr) {
      dir = real;
      ::free(real);
    }
    return {dir, base};
  };
  return split(a) == split(b);
}

Result<std::string> random_suffix() {
  uint8_t bytes[8];
  TRY(random_bytes(bytes, sizeof bytes));
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  for (uint8_t b : bytes) {
    out += kHex[b >> 4];
    out += kHex[b & 15];
  }
  return out;
}

}  // namespace

Destination::Destination(std::string path, bool overwrite, DescriptorWatch* watch)
    : path_(std::move(path)), overwrite_(overwrite), watch_(watch) {}

Destination::~Destination() {
  file_.reset();
  if (!temp_.empty()) ::unlink(temp_.c_str());
}

Status Destination::fail(Error e) {
  if (!failure_) failure_ = e;
  return e;
}

std::optional<Error> Destination::failure() const {
  if (failure_) return failure_;
  if (file_) return file_->first_error();
  return std::nullopt;
}

Status Destination::refuse_if_in_use() {
  // Without blocking on a FIFO or a device that someone named.
  auto probe = ToolFile::open(path_, O_RDONLY | O_NONBLOCK, watch_);
  if (!probe.ok()) return ok_status();  // nothing there that we can open is in use by us
  if (::flock(probe.value()->descriptor(), LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK)
    return Error::simple(ErrorKind::LockFailed);
  return ok_status();
}

Status Destination::create_temporary() {
  for (int draw = 0;; ++draw) {
    // The name is ours to remove only once the file is: a name that exists
    // belongs to someone else.
    std::string name = path_ + ".compact-" + TRY(random_suffix()) + ".tmp";
    auto created = ToolFile::open(name, O_RDWR | O_CREAT | O_EXCL, watch_);
    if (created.ok()) {
      temp_ = std::move(name);
      file_ = std::move(created).value();
      break;
    }
    if (created.error().os_errno() != EEXIST || draw + 1 == kNameDraws)
      return std::move(created).error();
  }
  if (::flock(file_->descriptor(), LOCK_EX | LOCK_NB) != 0)
    return Error::simple(ErrorKind::LockFailed);
  return ok_status();
}

Status Destination::open(const std::optional<std::string>& database) {
  if (database) {
    for (const std::string& own : {*database, *database + ".spillway"}) {
      if (names_same_file(own, path_))
        return fail(
            Error::io_text(IoKind::InvalidInput, "source and destination are the same file"));
    }
  }
  struct stat st;
  if (::stat(path_.c_str(), &st) == 0) {
    if (!overwrite_) return fail(Error::io_errno(EEXIST));
    if (auto refused = refuse_if_in_use(); !refused.ok()) return fail(std::move(refused).error());
  }
  if (auto made = create_temporary(); !made.ok()) return fail(std::move(made).error());
  return ok_status();
}

Status Destination::commit() {
  if (auto synced = file_->sync(); !synced.ok()) return fail(std::move(synced).error());
  // Whatever can run out of memory comes before the rename: after it, the
  // copy is in place and only the directory's sync is left to fail.
  const size_t slash = path_.rfind('/');
  const std::string dir_name = slash == std::string::npos ? "."
                               : slash == 0               ? "/"
                                                          : path_.substr(0, slash);
  auto dir = ToolFile::open(dir_name, O_RDONLY | O_DIRECTORY, watch_);
  if (!dir.ok()) return fail(std::move(dir).error());
  if (::rename(temp_.c_str(), path_.c_str()) != 0) return fail(Error::io_errno(errno));
  temp_.clear();
  // As sync_parent_directory: a file system that cannot sync a directory
  // has nothing to sync.
  while (::fsync(dir.value()->descriptor()) != 0) {
    if (errno == EINTR) continue;
    if (errno != EINVAL) return fail(Error::io_errno(errno));
    break;
  }
  file_.reset();  // and with it the lock: the copy is anybody's to open now
  return ok_status();
}

}  // namespace ambrik::tools
