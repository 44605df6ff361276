#include "tools/tool_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

namespace ambrik::tools {

Result<std::unique_ptr<ToolFile>> ToolFile::open(const std::string& path, int flags,
                                                 DescriptorWatch* watch, mode_t mode) {
  // Made before the descriptor exists: from the open on, the object owns
  // it, and a failure below closes it the watched way.
  std::unique_ptr<ToolFile> out(new ToolFile(-1, watch));
  int fd;
  if (watch) watch->hold();
  do {
    fd = ::open(path.c_str(), flags | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  const int err = errno;
  const bool tracked = fd < 0 || watch == nullptr || watch->add(fd);
  if (fd >= 0 && !tracked) ::close(fd);
  if (watch) watch->release();
  if (fd < 0) return Error::io_errno(err);
  if (!tracked) return Error::io_errno(ENOMEM);
  out->fd_ = fd;
  out->file_.emplace(fd);
  return out;
}

ToolFile::~ToolFile() {
  if (fd_ < 0) return;
  close_watched(watch_, fd_, [this] {
    if (file_) file_.reset();
    else ::close(fd_);
  });
}

std::optional<Error> ToolFile::first_error() const {
  std::lock_guard<std::mutex> lock(mu_);
  return first_error_;
}

template <typename T>
T ToolFile::noted(T r) {
  if (!r.ok()) {
    std::lock_guard<std::mutex> lock(mu_);
    if (!first_error_) first_error_ = r.error();
  }
  return r;
}

Status ToolFile::read_at(uint64_t offset, uint8_t* buf, size_t len) {
  return noted(file_->read_at(offset, buf, len));
}
Status ToolFile::write_at(uint64_t offset, const uint8_t* buf, size_t len) {
  return noted(file_->write_at(offset, buf, len));
}
Status ToolFile::write_vec_at(uint64_t offset, const struct iovec* iov, size_t count) {
  return noted(file_->write_vec_at(offset, iov, count));
}
Status ToolFile::read_vec_at(uint64_t offset, const struct iovec* iov, size_t count) {
  return noted(file_->read_vec_at(offset, iov, count));
}
Status ToolFile::read_vec_hashed(uint64_t offset, const struct iovec* iov, size_t count,
                                 size_t unit, size_t hashed, uint64_t* hashes) {
  return noted(file_->read_vec_hashed(offset, iov, count, unit, hashed, hashes));
}
Status ToolFile::set_length(uint64_t len) { return noted(file_->set_length(len)); }
Result<uint64_t> ToolFile::length() { return noted(file_->length()); }
Status ToolFile::sync() { return noted(file_->sync()); }

}  // namespace ambrik::tools
