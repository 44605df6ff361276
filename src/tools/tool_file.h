// ToolFile: a file the tools open for their caller (a source they read, the
// temporary file a copy is written to), and how they tell the caller about
// its descriptor.
//
// A process forked while a tool runs inherits a copy of every descriptor it
// holds, and with it the file's lock: a child that lives on keeps a copy's
// destination locked, or a source closed for everyone else. The engine knows
// nothing of fork; an owner that does (the Python binding's fork guard)
// passes a DescriptorWatch, and every descriptor of a ToolFile is then added
// to it right after it is opened and removed only with the watch held across
// its close, so that no fork sees it half gone. Every descriptor is
// close-on-exec as well.
//
// ToolFile is a Storage over the descriptor (a FileStorage inside). It keeps
// the first error of any call on it, including calls from another thread
// (the compactor's writer), so that the owner of a copy can tell a failure
// of its destination from one of the database it reads.
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "page_io.h"
#include "result.h"

namespace ambrik::tools {

class DescriptorWatch {
 public:
  virtual ~DescriptorWatch() = default;
  // Blocks forks until release(); not re-entrant.
  virtual void hold() = 0;
  virtual void release() = 0;
  // REQUIRES: held. False when `fd` cannot be tracked (memory ran out).
  virtual bool add(int fd) = 0;
  virtual void remove(int fd) = 0;
};

// How the tools open a file on their caller's behalf.
struct FileAccess {
  // Seconds to wait for another holder of the file lock (see lock_file);
  // `between_polls` runs during such a wait.
  double lock_timeout_seconds = 0.0;
  LockPollFn between_polls;
  DescriptorWatch* watch = nullptr;  // not owned; null: nobody forks
};

// Closes `fd` by running `close` with the watch held and `fd` removed from
// it (just `close` without a watch).
template <typename F>
void close_watched(DescriptorWatch* watch, int fd, F&& close) {
  if (watch == nullptr) {
    close();
    return;
  }
  watch->hold();
  watch->remove(fd);
  close();
  watch->release();
}

class ToolFile final : public Storage {
 public:
  // open(2) of `path` with `flags` | O_CLOEXEC (and `mode` when creating),
  // retried on EINTR. Errors: Io with the OS error number (ENOENT too: a
  // missing file means different things to different tools); Io ENOMEM when
  // the watch cannot track the descriptor.
  static Result<std::unique_ptr<ToolFile>> open(const std::string& path, int flags,
                                                DescriptorWatch* watch, mode_t mode = 0666);
  ~ToolFile() override;
  ToolFile(const ToolFile&) = delete;
  ToolFile& operator=(const ToolFile&) = delete;

  Status read_at(uint64_t offset, uint8_t* buf, size_t len) override;
  Status write_at(uint64_t offset, const uint8_t* buf, size_t len) override;
  Status write_vec_at(uint64_t offset, const struct iovec* iov, size_t count) override;
  Status read_vec_at(uint64_t offset, const struct iovec* iov, size_t count) override;
  Status read_vec_hashed(uint64_t offset, const struct iovec* iov, size_t count, size_t unit,
                         size_t hashed, uint64_t* hashes) override;
  Status set_length(uint64_t len) override;
  Result<uint64_t> length() override;
  Status sync() override;
  int descriptor() const override { return fd_; }

  // The first error any call above returned, if one did.
  std::optional<Error> first_error() const;

 private:
  ToolFile(int fd, DescriptorWatch* watch) : fd_(fd), watch_(watch) {}
  template <typename T>
  T noted(T r);

  int fd_;
  DescriptorWatch* watch_;
  // Owns fd_ once made; in place, so that nothing allocates between the
  // open and the moment something owns the descriptor.
  std::optional<FileStorage> file_;
  mutable std::mutex mu_;
  std::optional<Error> first_error_;  // guarded by mu_
};

}  // namespace ambrik::tools
