#include "error.h"

#include <cerrno>
#include <cstring>

namespace ambrik {

namespace {

const char* const kIoKindNames[] = {
    "NotFound", "PermissionDenied", "ConnectionRefused", "ConnectionReset",
    "HostUnreachable", "NetworkUnreachable", "ConnectionAborted", "NotConnected",
    "AddrInUse", "AddrNotAvailable", "NetworkDown", "BrokenPipe", "AlreadyExists",
    "WouldBlock", "NotADirectory", "IsADirectory", "DirectoryNotEmpty",
    "ReadOnlyFilesystem", "FilesystemLoop", "StaleNetworkFileHandle", "InvalidInput",
    "InvalidData", "TimedOut", "WriteZero", "StorageFull", "NotSeekable",
    "QuotaExceeded", "FileTooLarge", "ResourceBusy", "ExecutableFileBusy", "Deadlock",
    "CrossesDevices", "TooManyLinks", "InvalidFilename", "ArgumentListTooLong",
    "Interrupted", "Unsupported", "UnexpectedEof", "OutOfMemory", "InProgress",
    "Other", "Uncategorized",
};
static_assert(sizeof(kIoKindNames) / sizeof(kIoKindNames[0]) ==
              static_cast<int>(IoKind::Uncategorized) + 1);

const std::string kEmpty;
const std::vector<SlotDefect> kNoDefects;

}  // namespace

bool poisons_database(ErrorKind kind) {
  switch (kind) {
    case ErrorKind::Io:
    case ErrorKind::ChecksumMismatch:
    case ErrorKind::CorruptSuperblock:
    case ErrorKind::FileSizeMismatch:
    case ErrorKind::LockFailed:
    case ErrorKind::UnsupportedFormatVersion:
    case ErrorKind::CorruptPage:
    case ErrorKind::InvalidPageId:
    case ErrorKind::UnsupportedPageSize:
    case ErrorKind::DecryptionFailed:
    case ErrorKind::Internal:
      return true;
    default:
      return false;
  }
}

std::string SuperblockDefect::text() const {
  switch (kind) {
    case SuperblockDefectKind::BadChecksum: return "bad checksum";
    case SuperblockDefectKind::BadMagic: return "bad magic";
    case SuperblockDefectKind::BadCount: return "bad superblock_count " + std::to_string(value);
  }
  return "bad checksum";
}

const char* io_kind_name(IoKind kind) { return kIoKindNames[static_cast<int>(kind)]; }

IoKind io_kind_from_errno(int err) {
  switch (err) {
    case ENOENT: return IoKind::NotFound;
    case EPERM: case EACCES: return IoKind::PermissionDenied;
    case EINTR: return IoKind::Interrupted;
    case E2BIG: return IoKind::ArgumentListTooLong;
    case EAGAIN: return IoKind::WouldBlock;
    case ENOMEM: return IoKind::OutOfMemory;
    case EBUSY: return IoKind::ResourceBusy;
    case EEXIST: return IoKind::AlreadyExists;
    case EXDEV: return IoKind::CrossesDevices;
    case ENOTDIR: return IoKind::NotADirectory;
    case EISDIR: return IoKind::IsADirectory;
    case EINVAL: return IoKind::InvalidInput;
    case ETXTBSY: return IoKind::ExecutableFileBusy;
    case EFBIG: return IoKind::FileTooLarge;
    case ENOSPC: return IoKind::StorageFull;
    case ESPIPE: return IoKind::NotSeekable;
    case EROFS: return IoKind::ReadOnlyFilesystem;
    case EMLINK: return IoKind::TooManyLinks;
    case EPIPE: return IoKind::BrokenPipe;
    case EDEADLK: return IoKind::Deadlock;
    case ENAMETOOLONG: return IoKind::InvalidFilename;
    case ENOSYS: return IoKind::Unsupported;
#if ENOTSUP != ENOSYS
    case ENOTSUP: return IoKind::Unsupported;
#endif
    case ENOTEMPTY: return IoKind::DirectoryNotEmpty;
    case ELOOP: return IoKind::FilesystemLoop;
    case EADDRINUSE: return IoKind::AddrInUse;
    case EADDRNOTAVAIL: return IoKind::AddrNotAvailable;
    case ENETDOWN: return IoKind::NetworkDown;
    case ENETUNREACH: return IoKind::NetworkUnreachable;
    case ECONNABORTED: return IoKind::ConnectionAborted;
    case ECONNRESET: return IoKind::ConnectionReset;
    case ENOTCONN: return IoKind::NotConnected;
    case ETIMEDOUT: return IoKind::TimedOut;
    case ECONNREFUSED: return IoKind::ConnectionRefused;
    case EHOSTUNREACH: return IoKind::HostUnreachable;
    case EINPROGRESS: return IoKind::InProgress;
    case ESTALE: return IoKind::StaleNetworkFileHandle;
    case EDQUOT: return IoKind::QuotaExceeded;
    default: return IoKind::Uncategorized;
  }
}

Error Error::simple(ErrorKind kind) { return Error(kind); }

Error Error::lock_failed(std::string reason) {
  Error e(ErrorKind::LockFailed);
  e.detail_ = std::make_shared<Detail>(Detail{std::move(reason), {}, 0, IoKind::Other});
  return e;
}

Error Error::invalid_handle(uint64_t handle) {
  Error e(ErrorKind::InvalidHandle);
  e.a_ = handle;
  return e;
}

Error Error::savepoint_not_found(std::string name) {
  Error e(ErrorKind::SavepointNotFound);
  e.detail_ = std::make_shared<Detail>(Detail{std::move(name), {}, 0, IoKind::Other});
  return e;
}

Error Error::duplicate_savepoint(std::string name) {
  Error e(ErrorKind::DuplicateSavepoint);
  e.detail_ = std::make_shared<Detail>(Detail{std::move(name), {}, 0, IoKind::Other});
  return e;
}

Error Error::invalid_superblock_count(uint32_t count) {
  Error e(ErrorKind::InvalidSuperblockCount);
  e.a_ = count;
  return e;
}

Error Error::cache_full(uint64_t dirty_pages) {
  Error e(ErrorKind::CacheFull);
  e.a_ = dirty_pages;
  return e;
}

Error Error::spillway_full(uint64_t limit) {
  Error e(ErrorKind::SpillwayFull);
  e.a_ = limit;
  return e;
}

Error Error::tag_mismatch(uint32_t expected, uint32_t actual, uint64_t handle) {
  Error e(ErrorKind::TagMismatch);
  e.a_ = expected;
  e.b_ = actual;
  e.c_ = handle;
  return e;
}

Error Error::checksum_mismatch(uint64_t page) {
  Error e(ErrorKind::ChecksumMismatch);
  e.a_ = page;
  return e;
}

Error Error::corrupt_superblock(std::vector<SlotDefect> defects) {
  Error e(ErrorKind::CorruptSuperblock);
  e.detail_ = std::make_shared<Detail>(Detail{{}, std::move(defects), 0, IoKind::Other});
  return e;
}

Error Error::file_size_mismatch(uint64_t expected, uint64_t actual) {
  Error e(ErrorKind::FileSizeMismatch);
  e.a_ = expected;
  e.b_ = actual;
  return e;
}

Error Error::unsupported_format_version(uint32_t found, uint32_t supported) {
  Error e(ErrorKind::UnsupportedFormatVersion);
  e.a_ = found;
  e.b_ = supported;
  return e;
}

Error Error::corrupt_page(uint64_t page) {
  Error e(ErrorKind::CorruptPage);
  e.a_ = page;
  return e;
}

Error Error::invalid_page_id(uint64_t page) {
  Error e(ErrorKind::InvalidPageId);
  e.a_ = page;
  return e;
}

Error Error::unsupported_page_size(uint32_t file_page_size, uint32_t build_page_size) {
  Error e(ErrorKind::UnsupportedPageSize);
  e.a_ = file_page_size;
  e.b_ = build_page_size;
  return e;
}

Error Error::decryption_failed(uint64_t page) {
  Error e(ErrorKind::DecryptionFailed);
  e.a_ = page;
  return e;
}

Error Error::corrupt_key_map(uint64_t handle) {
  Error e(ErrorKind::CorruptKeyMap);
  e.a_ = handle;
  return e;
}

Error Error::not_a_key_map(std::string root_name, uint64_t handle) {
  Error e(ErrorKind::NotAKeyMap);
  e.a_ = handle;
  e.detail_ = std::make_shared<Detail>(Detail{std::move(root_name), {}, 0, IoKind::Other});
  return e;
}

Error Error::io_errno(int err) {
  Error e(ErrorKind::Io);
  std::string text = std::strerror(err);
  text += " (os error " + std::to_string(err) + ")";
  e.detail_ = std::make_shared<Detail>(Detail{std::move(text), {}, err, io_kind_from_errno(err)});
  return e;
}

Error Error::io_text(IoKind kind, std::string description) {
  Error e(ErrorKind::Io);
  e.detail_ = std::make_shared<Detail>(Detail{std::move(description), {}, 0, kind});
  return e;
}

Error Error::from_errno(int err) {
  if (err == ENOENT) return Error(ErrorKind::DatabaseFileNotFound);
  return io_errno(err);
}

Error Error::internal(std::string text) {
  Error e(ErrorKind::Internal);
  e.detail_ = std::make_shared<Detail>(Detail{std::move(text), {}, 0, IoKind::Other});
  return e;
}

const std::string& Error::name() const { return detail_ ? detail_->text : kEmpty; }
const std::vector<SlotDefect>& Error::defects() const {
  return detail_ ? detail_->defects : kNoDefects;
}
int Error::os_errno() const { return detail_ ? detail_->os_errno : 0; }
IoKind Error::io_kind() const { return detail_ ? detail_->io_kind : IoKind::Other; }
const std::string& Error::io_description() const { return detail_ ? detail_->text : kEmpty; }

std::string Error::message() const {
  auto n = [](uint64_t v) { return std::to_string(v); };
  switch (kind_) {
    case ErrorKind::InvalidHandle: return "invalid handle: " + n(a_);
    case ErrorKind::NoActiveTransaction: return "no active transaction";
    case ErrorKind::TransactionAlreadyActive: return "transaction already active";
    case ErrorKind::SavepointNotFound: return "savepoint not found: " + name();
    case ErrorKind::DuplicateSavepoint: return "duplicate savepoint: " + name();
    case ErrorKind::ReadOnlyMode: return "database is read-only";
    case ErrorKind::DatabaseFileNotFound: return "database file not found";
    case ErrorKind::InvalidRootName:
      return "invalid named-root name (empty, too long, non-UTF-8, or contains NUL)";
    case ErrorKind::RootNameTableFull: return "named-root table is full (all slots are in use)";
    case ErrorKind::InvalidSuperblockCount:
      return "invalid superblock_count " + n(a_) + "; must be in 2..=16";
    case ErrorKind::CacheFull:
      return "page cache full: " + n(a_) +
             " dirty pages held; commit or roll back to free cache";
    case ErrorKind::SpillwayFull:
      if (a_ == 0)
        return "spillway is disabled (spillway_max_bytes=0); commit or roll back to free cache";
      return "spillway full: " + n(a_) +
             "-byte limit reached; commit or roll back to free cache and spillway";
    case ErrorKind::TransactionInProgress:
      return "configuration changes are only allowed between transactions; commit or roll "
             "back first";
    case ErrorKind::TagMismatch:
      return "handle " + n(c_) + " has tag " + n(b_) + ", not the expected " + n(a_);
    case ErrorKind::Io: return "I/O error: " + io_description();
    case ErrorKind::ChecksumMismatch: return "checksum mismatch on page " + n(a_);
    case ErrorKind::CorruptSuperblock: {
      std::string m = "no valid superblock found";
      bool first = true;
      for (const SlotDefect& d : defects()) {
        m += first ? ":" : ";";
        first = false;
        m += " slot " + n(d.slot) + ": " + d.defect.text();
      }
      return m;
    }
    case ErrorKind::FileSizeMismatch:
      return "file size mismatch: expected " + n(a_) + " bytes, got " + n(b_);
    case ErrorKind::LockFailed:
      return name().empty() ? "failed to acquire exclusive file lock"
                            : "failed to acquire exclusive file lock: " + name();
    case ErrorKind::UnsupportedFormatVersion:
      return "unsupported on-disk format version: found " + n(a_) + ", this build supports " +
             n(b_);
    case ErrorKind::Poisoned:
      return "database handle is poisoned after a previous fatal error; drop and reopen";
    case ErrorKind::CorruptPage: return "corrupt page structure at page " + n(a_);
    case ErrorKind::InvalidPageId: return "invalid page id " + n(a_) + " (out of range for file)";
    case ErrorKind::UnsupportedPageSize:
      return "page size mismatch: file was written with " + n(a_) +
             "-byte pages, this build uses " + n(b_) + "-byte pages";
    case ErrorKind::NoEncryptionKey: return "database is encrypted but no encryption_key was supplied";
    case ErrorKind::InvalidEncryptionKey:
      return "encryption key does not match any key slot (wrong passphrase or raw key)";
    case ErrorKind::EncryptionNotSupported:
      return "encryption not supported for this open (key supplied for a plaintext database, "
             "or unknown crypto algorithm)";
    case ErrorKind::NoFreeKeySlot:
      return "no free key slot: all 8 key slots are occupied (remove an unused key first)";
    case ErrorKind::LastKeySlot:
      return "refusing to remove the last active key slot (the database would become "
             "permanently unopenable)";
    case ErrorKind::DecryptionFailed:
      return "decryption/authentication failed for page " + n(a_);
    case ErrorKind::CorruptKeyMap: return "corrupt key map structure in value " + n(a_);
    case ErrorKind::NotAKeyMap:
      return "named root " + name() + " is bound to handle " + n(a_) + ", which is not a key map";
    case ErrorKind::WriterBusy:
      return "another writer holds the shared database's write lock";
    case ErrorKind::Internal: return name();
  }
  return "unknown error";
}

}  // namespace ambrik
