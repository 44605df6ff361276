#include "tools/shared_use.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <limits>

namespace ambrik::tools {
namespace {

// A table the tool rebuilds (its last member left meanwhile) keeps this
// slot count while it is in use: as many as the engine's shared open makes,
// so that members joining later are not cramped by the tool's.
constexpr uint32_t kSlotsIfRebuilt = 254;

std::string seconds_text(double s) {
  if (s == std::numeric_limits<double>::infinity()) return "ever";
  char buf[32];
  std::snprintf(buf, sizeof buf, "%g s", s);
  return buf;
}

}  // namespace

Status SharedUse::admit(int db_fd, const std::string& db_path, DescriptorWatch* watch,
                        std::unique_ptr<SharedUse>& joined) {
  joined.reset();
  Status plain = ReaderTable::admit_plain_reader(db_fd, db_path);
  // LockFailed is its refusal of a file with members, the announcement
  // already withdrawn.
  if (plain.ok() || plain.error().kind() != ErrorKind::LockFailed) return plain;
  struct stat st;
  if (::fstat(db_fd, &st) != 0) return Error::io_errno(errno);
  // Forks wait while the table's descriptor exists untracked.
  if (watch) watch->hold();
  auto opened = ReaderTable::open(db_path, ReaderTable::identity_of(st), 1, kSlotsIfRebuilt);
  bool tracked = true;
  if (opened.ok() && watch && !watch->add(opened.value()->descriptor())) {
    tracked = false;
    opened.value().reset();
  }
  if (watch) watch->release();
  if (!opened.ok()) return std::move(opened).error();
  if (!tracked) return Error::io_errno(ENOMEM);
  joined.reset(new SharedUse(std::move(opened).value(), watch));
  return ok_status();
}

SharedUse::~SharedUse() {
  // The table's own close lets go of the pin and every lock explicitly.
  close_watched(watch_, table_->descriptor(), [this] { table_.reset(); });
}

Status SharedUse::hold(SharedHold how, const FileAccess& access) {
  if (how == SharedHold::Pin) {
    TRY(table_->claim_slot());
    table_->pin();
    return ok_status();
  }
  const double wait = access.lock_timeout_seconds > 0 ? access.lock_timeout_seconds
                                                      : kDefaultWriterWaitSeconds;
  Status locked = table_->lock_writer(wait, access.between_polls);
  if (locked.ok() || locked.error().kind() != ErrorKind::LockFailed) return locked;
  return Error::lock_failed("the file is in shared use and its writers kept the write lock for " +
                            seconds_text(wait) +
                            " (reading the free map waits for a pause between commits)");
}

}  // namespace ambrik::tools
