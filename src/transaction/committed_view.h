// CommittedView: the last committed state of a database, as a reader that
// copies it (the compactor, a backup) sees it.
//
// Offered for a closed file by the tools' open (tools/source.h) and for an
// open database by TransactionManager::committed_view(). Both readers go
// through the same copy code, so a backup and a compaction of the same
// state write the same file.
//
// Ownership: the view borrows the page cache and cipher of whoever offered
// it. REQUIRES: nothing changes the committed state while the view is in
// use (an open database: no other call into the manager meanwhile; a running
// transaction may exist, since it never changes committed pages in place).
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "crypto/cipher.h"
#include "page_cache.h"
#include "superblock/superblock.h"

namespace ambrik {

struct CommittedView {
  // The committed state: handle_root, membership_root (kNoPage for none),
  // page_count, next_handle, named_roots, superblock_count and, for an
  // encrypted database, the crypto header with its key slots. The
  // generation and free map describe the source only.
  Superblock superblock;
  PageCache* cache = nullptr;          // reads of the committed pages
  const PageCipher* cipher = nullptr;  // the data key; null for plaintext
  uint64_t units = 0;                  // page units the storage holds
  // Paths a copy must never be written over: the database file and its
  // spill file (empty for a database in memory).
  std::optional<std::string> database_path;
  bool encrypted() const { return superblock.encryption.has_value(); }
};

}  // namespace ambrik
