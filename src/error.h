// Error values of the engine.
//
// Every engine operation returns either its result or exactly one `Error`.
// The set of kinds is closed; each kind renders one fixed English message
// (see `message()`).
//
// An `Error` is small: a kind and up to three integer payload fields live
// inline; the rare bulky payloads (savepoint names, I/O descriptions, the
// superblock defect list) live behind a shared pointer so that copying an
// error never copies strings.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace ambrik {

// Declared order is part of the contract: bindings index tables by kind.
enum class ErrorKind : uint8_t {
  InvalidHandle = 0,
  NoActiveTransaction,
  TransactionAlreadyActive,
  SavepointNotFound,
  DuplicateSavepoint,
  ReadOnlyMode,
  DatabaseFileNotFound,
  InvalidRootName,
  RootNameTableFull,
  InvalidSuperblockCount,
  CacheFull,
  SpillwayFull,
  TransactionInProgress,
  TagMismatch,
  Io,
  ChecksumMismatch,
  CorruptSuperblock,
  FileSizeMismatch,
  LockFailed,
  UnsupportedFormatVersion,
  Poisoned,
  CorruptPage,
  InvalidPageId,
  UnsupportedPageSize,
  NoEncryptionKey,
  InvalidEncryptionKey,
  EncryptionNotSupported,
  NoFreeKeySlot,
  LastKeySlot,
  DecryptionFailed,
  // A key map's header or node is not what the map's layout allows (the
  // handle of the value). Not fatal: the engine read the value correctly.
  CorruptKeyMap,
  // A key map was asked for under a named root that is bound to a value
  // which is no map's header (the root name and the handle): a mistake of
  // the caller, not damage.
  NotAKeyMap,
  // begin() in shared mode could not take the write lock within the
  // object's lock_timeout: another writer's transaction is running. Not
  // fatal: nothing of this object changed.
  WriterBusy,
  // Not one of the user-visible kinds: a condition valid use can never
  // produce ("OS RNG unavailable", counter overflow). It abandons the
  // operation and poisons the database; bindings must not report it as one
  // of the ordinary kinds.
  Internal,
};

inline constexpr int kErrorKindCount = 33;

// True for the kinds after which an open database refuses all further work
// until it is opened again: Io, ChecksumMismatch, CorruptSuperblock,
// FileSizeMismatch, LockFailed, UnsupportedFormatVersion, CorruptPage,
// InvalidPageId, UnsupportedPageSize, DecryptionFailed, and Internal.
// Poisoned itself is the consequence, not a cause.
bool poisons_database(ErrorKind kind);

enum class SuperblockDefectKind : uint8_t { BadChecksum, BadMagic, BadCount };

struct SuperblockDefect {
  SuperblockDefectKind kind = SuperblockDefectKind::BadChecksum;
  uint32_t value = 0;  // the count found, for BadCount
  std::string text() const;
};

struct SlotDefect {
  uint32_t slot;
  SuperblockDefect defect;
};

// The I/O error kind names, in their declared order.
enum class IoKind : uint8_t {
  NotFound, PermissionDenied, ConnectionRefused, ConnectionReset, HostUnreachable,
  NetworkUnreachable, ConnectionAborted, NotConnected, AddrInUse, AddrNotAvailable,
  NetworkDown, BrokenPipe, AlreadyExists, WouldBlock, NotADirectory, IsADirectory,
  DirectoryNotEmpty, ReadOnlyFilesystem, FilesystemLoop, StaleNetworkFileHandle,
  InvalidInput, InvalidData, TimedOut, WriteZero, StorageFull, NotSeekable,
  QuotaExceeded, FileTooLarge, ResourceBusy, ExecutableFileBusy, Deadlock,
  CrossesDevices, TooManyLinks, InvalidFilename, ArgumentListTooLong, Interrupted,
  Unsupported, UnexpectedEof, OutOfMemory, InProgress, Other, Uncategorized,
};

const char* io_kind_name(IoKind kind);
IoKind io_kind_from_errno(int err);

class Error {
 public:
  // Constructors, one per kind (or family of kinds) with its payload.
  static Error simple(ErrorKind kind);  // kinds without payload
  // LockFailed with the reason appended to its fixed text, for a refusal
  // that the plain text would not explain.
  static Error lock_failed(std::string reason);
  static Error invalid_handle(uint64_t handle);
  static Error savepoint_not_found(std::string name);
  static Error duplicate_savepoint(std::string name);
  static Error invalid_superblock_count(uint32_t count);
  static Error cache_full(uint64_t dirty_pages);
  static Error spillway_full(uint64_t limit);
  static Error tag_mismatch(uint32_t expected, uint32_t actual, uint64_t handle);
  static Error checksum_mismatch(uint64_t page);
  static Error corrupt_superblock(std::vector<SlotDefect> defects);
  static Error file_size_mismatch(uint64_t expected, uint64_t actual);
  static Error unsupported_format_version(uint32_t found, uint32_t supported);
  static Error corrupt_page(uint64_t page);
  static Error invalid_page_id(uint64_t page);
  static Error unsupported_page_size(uint32_t file_page_size, uint32_t build_page_size);
  static Error decryption_failed(uint64_t page);
  static Error corrupt_key_map(uint64_t handle);
  static Error not_a_key_map(std::string root_name, uint64_t handle);
  // An I/O error with an OS error number (errno != 0) or a fixed description.
  static Error io_errno(int err);
  static Error io_text(IoKind kind, std::string description);
  // The one OS-error rule: ENOENT becomes DatabaseFileNotFound, all else Io.
  static Error from_errno(int err);
  static Error internal(std::string text);

  ErrorKind kind() const { return kind_; }
  bool poisons_database() const { return ambrik::poisons_database(kind_); }
  uint64_t a() const { return a_; }
  uint64_t b() const { return b_; }
  uint64_t c() const { return c_; }
  const std::string& name() const;  // savepoint or root name, internal text, lock refusal reason
  const std::vector<SlotDefect>& defects() const;
  // Io only: 0 when the error carries no OS error number.
  int os_errno() const;
  IoKind io_kind() const;
  const std::string& io_description() const;

  // The message text of this error.
  std::string message() const;

 private:
  struct Detail {
    std::string text;
    std::vector<SlotDefect> defects;
    int os_errno = 0;
    IoKind io_kind = IoKind::Other;
  };
  explicit Error(ErrorKind kind) : kind_(kind) {}

  ErrorKind kind_;
  uint64_t a_ = 0, b_ = 0, c_ = 0;
  std::shared_ptr<const Detail> detail_;
};

}  // namespace ambrik
