// TransactionManager: everything of one open database.
//
// Owns the PageCache (and through it the PageIo, Spillway and PageCipher),
// the committed and working state records, the free-page recycling state,
// the slot packer, the pending-free list and the transaction flags.
//
// Lifecycle (each arrow names the function that takes it):
//
//        open()/create                begin()
//   (none) -----------> idle ------------------------> active
//                        ^  <------- commit() ---------  |
//                        |  <------- rollback() -------  |
//                        |                               | fatal error, or any
//          fatal error   v                               v error in commit
//                     poisoned  <-------------------------
//
// Every public operation except is_poisoned() refuses with Poisoned once the
// database is poisoned. Every operation that ends with a fatal error kind
// sets the poisoned flag before returning it; commit poisons on an error of
// any kind once its first flush has begun. The only way out of poisoned is to
// destroy the manager and open the file again.
//
// Not thread-safe: the owner serialises calls (the Python layer holds a
// per-database mutex).
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "crypto/key.h"
#include "page_cache.h"
#include "result.h"

namespace ambrik {

struct OpenOptions {
  std::optional<std::string> path;  // absent: in-memory database
  uint64_t cache_max_bytes = 8388608;
  std::optional<uint64_t> spillway_max_bytes;  // absent: 1024 * cache_max_bytes (saturating)
  DrainInsertion drain_insertion = DrainInsertion::LruTail;
  bool create_if_missing = true;
  bool read_only = false;
  uint32_t superblock_count = 2;
  std::optional<Key> encryption_key;
};

class TransactionManagerImpl;

class TransactionManager {
 public:
  // Opens or creates the database. Runs without touching Python.
  static Result<std::unique_ptr<TransactionManager>> open(const OpenOptions& options);
  ~TransactionManager();

  bool is_poisoned() const;

  Status begin();
  Status commit();
  Status rollback();

  // Value operations (tag 0 = untagged).
  Result<uint64_t> allocate(std::span<const uint8_t> value, uint32_t tag = 0);
  Result<std::vector<uint8_t>> read(uint64_t handle);
  Status update(uint64_t handle, std::span<const uint8_t> value);
  Status delete_handle(uint64_t handle);
  Status delete_many(std::span<const uint64_t> handles);
  Result<std::vector<uint64_t>> handles();

  // Internal access for tests.
  TransactionManagerImpl& impl() { return *impl_; }

 private:
  explicit TransactionManager(std::unique_ptr<TransactionManagerImpl> impl);
  std::unique_ptr<TransactionManagerImpl> impl_;
};

}  // namespace ambrik
