// Snapshot: a read-only view of one commit of an open database that stays
// the same whatever this database commits while it is open, and may be read
// from another thread than the one that runs the database's transactions.
//
// Invariants:
//  - Its reads go to the file, through a page cache of its own (at most
//    4 MiB, filled by what it reads), never through the database's cache,
//    which belongs to the writer's thread. The pages of a commit never change in place (later
//    transactions copy what they change) and, while the snapshot is open,
//    are never handed out again (its generation is pinned in the database's
//    GenerationPins), so the file holds exactly the commit's pages for as
//    long as the snapshot reads them. The running transaction's pages reach
//    the file only at its commit, at ids no open snapshot reaches.
//  - One mutex per snapshot serialises its reads and its close; nothing is
//    shared with the database object but the pins.
//  - Once closed (close(), destruction, or the database closing first) it
//    reads nothing and pins nothing: access() is empty.
//
// Ownership: the snapshot reads through the database file's descriptor,
// which stays the database's (no copy: a copy would hold the file lock, in
// a forked child too); the database closes its snapshots before it closes
// the file. It shares the database's pins. A database in memory
// has no file to read apart from the writer: TransactionManager::snapshot
// refuses it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string_view>
#include <vector>

#include "named_roots.h"
#include "result.h"

namespace ambrik {

class GenerationPins;
class PageCache;
struct SnapshotState;
using ValueSink = std::function<uint8_t*(size_t)>;

class Snapshot {
 public:
  ~Snapshot();
  Snapshot(const Snapshot&) = delete;
  Snapshot& operator=(const Snapshot&) = delete;

  // The reads, each holding the snapshot's lock for its length. They mirror
  // the database's reads outside a transaction, with the same errors.
  class Access {
   public:
    Result<std::vector<uint8_t>> read(uint64_t handle);
    // See TransactionManager::read_into.
    Result<bool> read_into(uint64_t handle, const ValueSink& sink);
    Result<uint32_t> tag(uint64_t handle);  // 0 when untagged
    Result<uint8_t> client_byte(uint64_t handle);
    Result<std::vector<uint64_t>> handles();
    Result<std::vector<uint64_t>> handles_with_tag(uint32_t tag);
    Result<std::optional<uint64_t>> get_root_name(std::string_view name);
    // The bound on the snapshot's page cache, for a layer above that sizes
    // its own caches of decoded values by it.
    uint64_t cache_budget_bytes() const;

   private:
    friend class Snapshot;
    Access(std::unique_lock<std::mutex> lock, SnapshotState& s) : lock_(std::move(lock)), s_(&s) {}
    std::unique_lock<std::mutex> lock_;
    SnapshotState* s_;
  };

  // The reads, or nothing once the snapshot is closed.
  std::optional<Access> access();
  // access() without waiting: nothing, with `busy` set, while another thread
  // holds the snapshot (a caller that holds a lock of its own can let go of
  // it before it waits).
  std::optional<Access> try_access(bool& busy);
  // Unpins and lets go of the file; later calls do nothing. Any thread.
  void close();
  bool closed();
  // The generation of the commit it shows.
  uint64_t generation() const;

  // What the database hands a new snapshot: the commit it shows.
  struct Source {
    int fd = -1;                        // the database file's; borrowed
    const uint8_t* data_key = nullptr;  // null for a plaintext file
    uint64_t handle_root = 0;
    uint64_t membership_root = 0;
    uint64_t page_count = 0;
    NamedRootTable named_roots{};
    uint64_t generation = 0;
    std::shared_ptr<GenerationPins> pins;  // pinned here, unpinned at close
    // Non-zero: the caller has pinned this generation (at most
    // `generation`) for the snapshot, which unpins it at close.
    uint64_t pinned_generation = 0;
  };
  // Pins source.generation unless the caller did; on an error nothing stays
  // pinned or open.
  static Result<std::unique_ptr<Snapshot>> open(const Source& source);
  // The state, for the database to close the snapshot when it closes first.
  std::weak_ptr<SnapshotState> state() const { return state_; }
  static void close_state(SnapshotState& s);

 private:
  explicit Snapshot(std::shared_ptr<SnapshotState> state) : state_(std::move(state)) {}
  std::shared_ptr<SnapshotState> state_;
};

}  // namespace ambrik
