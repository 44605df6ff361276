// Source: a closed database file opened for the operator tools.
//
// Opens the file read-only and locks it as the engine's read-only open does
// (so it runs beside read-only opens, and a file a writer has open is
// refused with LockFailedError; a file in shared use is read as one of its
// members instead, see shared_use.h), reads the superblock candidates at
// the right stride, reports on each one, chooses the current superblock by
// the engine's rule (select_superblock), unlocks an encrypted file with the
// given key and opens a read-only page cache over it. Nothing is ever
// written.
//
// Unlike the engine's open, damage is not an error here: a file without a
// valid superblock still yields a Source (with `select_error` set and no
// cache), and a file shorter than its committed page count is opened so
// that the pages that exist can be examined. Errors are kept for what stops
// any examination: missing or empty file, a file with no superblock magic
// in any slot (no database at all), lock, I/O, no or wrong key, a format
// this build does not read.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "crypto/key.h"
#include "page_cache.h"
#include "result.h"
#include "superblock/superblock.h"
#include "tools/shared_use.h"
#include "tools/tool_file.h"
#include "transaction/committed_view.h"

namespace ambrik::tools {

struct SlotReport {
  uint32_t index = 0;
  bool valid = false;
  std::string defect;  // why not, when !valid
  uint64_t generation = 0;
  bool encrypted = false;
  uint32_t format_version = 0;
  uint32_t superblock_count = 0;
  // Encrypted and valid: whether its sealed body opens with the data key
  // (false also when no data key is known).
  bool body_opens = false;
};

struct Source {
  std::string path;
  uint64_t file_bytes = 0;
  uint64_t stride = kPageSize;
  uint64_t units = 0;  // whole page units in the file
  std::vector<SlotReport> candidates;  // page units 0..15 as read
  // Set when no candidate passes; the rest below is then empty.
  std::optional<Error> select_error;
  size_t chosen = 0;
  Superblock superblock;  // the chosen one, body opened
  uint32_t superblock_count = 0;
  // Read-only cache over the file (cipher installed for an encrypted file).
  std::unique_ptr<PageCache> cache;
  // Encrypted file: the data key unlocked by the caller's key.
  SecretBytes data_key;
  // A newer minor version of the format (read, never carried over).
  bool newer_minor = false;
  // Set when the file is in shared use: the hold that keeps what is read
  // intact. Declared after the cache, so that it goes first: the table
  // wants the database file open for as long as it is joined.
  std::unique_ptr<SharedUse> shared;
  bool encrypted() const { return superblock.encryption.has_value(); }
  // The committed state for a copy. REQUIRES: cache (no select_error).
  CommittedView view() const;
};

// Order-independent digest of a set of (tag, handle) pairs: the tags of the
// live handles and the membership index are compared through it without
// holding either side in memory.
struct PairDigest {
  uint64_t count = 0, sum = 0, mix = 0;
  void add(uint32_t tag, uint64_t handle);
  bool operator==(const PairDigest&) const = default;
};

// Errors: DatabaseFileNotFound (missing or empty file); CorruptSuperblock
// when no unit carries a superblock's magic (as the engine's open says);
// LockFailed, Io (and whatever access.between_polls returns during a lock
// wait); EncryptionNotSupported (a key for a plaintext file, or an unknown
// algorithm), NoEncryptionKey, InvalidEncryptionKey (no slot opens, or the
// chosen body does not), UnsupportedFormatVersion (another major version),
// UnsupportedPageSize. The file is locked as the engine's read-only open
// locks it, waiting as `access` says; a file in shared use is read under
// `hold` (LockFailed when the write lock stays taken, Io when the reader
// table cannot be joined), the superblock chosen once the hold is in place.
Result<std::unique_ptr<Source>> open_source(const std::string& path,
                                            const std::optional<Key>& key,
                                            uint64_t cache_bytes,
                                            const FileAccess& access = {},
                                            SharedHold hold = SharedHold::Writer);
// The same over storage the caller has opened (an image in memory, a copy
// of a file); `label` stands for the path in reports. Nothing is written.
Result<std::unique_ptr<Source>> open_storage_source(std::unique_ptr<Storage> storage,
                                                    const std::string& label,
                                                    const std::optional<Key>& key,
                                                    uint64_t cache_bytes);

}  // namespace ambrik::tools
