// TransactionManagerImpl: the state of one open database and the engine
// operations over it, split by concern across src/transaction/*.cc:
//   recovery.cc  open and create          lifecycle.cc  begin, rollback
//   commit.cc    commit, superblock write mutate.cc     changes to values, tags,
//   read.cc      lookups in the visible                 roots and client bytes
//                state                     staging.cc    value storage, allocator
//   savepoints.cc                          keys.cc       key slots
//   config.cc    run-time settings         stats.cc      statistics, counters
//   defrag.cc    defragmentation         shared.cc     shared mode: turns,
//   pending_free.cc  records of pages                    refresh, read pins
//                kept for readers
// The tail-page carry is a type of its own (carry.h, carry.cc), and so are
// the pending-free records (pending_free.h).
//
// Invariants:
//  - outside a transaction `working` equals `committed` and the in-memory
//    tree depths describe the committed trees;
//  - `current_slot` is the superblock slot the database currently stands on;
//    a write targets it only while `current_state_elsewhere` says that the
//    superblock open would fall back to without it describes the same
//    committed state, so an interrupted superblock write can never lose the
//    last committed state;
//  - once `poisoned` is set it is never cleared;
//  - shared mode (`table` set): a transaction runs only while this object
//    holds the table's write lock, and begins from the newest commit in the
//    file; outside one, `committed` may be older than the file's newest
//    commit, and every read first pins a generation and refreshes (shared.cc).
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "data_page.h"
#include "freemap_recycle.h"
#include "handle_table.h"
#include "membership_index.h"
#include "page_cache.h"
#include "shared/reader_table.h"
#include "result.h"
#include "superblock/superblock.h"
#include "transaction/carry.h"
#include "transaction/generation_pins.h"
#include "transaction/pending_free.h"
#include "transaction/snapshot.h"
#include "transaction/transaction_manager.h"
#include "u64_map.h"

namespace ambrik {

// The superblock fields a transaction changes.
struct StateRecord {
  uint64_t handle_root = kNoPage;
  FreeMapRoot freemap;
  uint64_t membership_root = kNoPage;
  uint64_t page_count = 0;
  uint64_t next_handle = 1;
  std::array<uint8_t, kNamedRootsBytes> named_roots{};
};

// The state record a superblock describes.
StateRecord state_from(const Superblock& sb);
// Whether the superblock open would choose if the chosen one were torn
// describes the same committed state. `data_key` opens an encrypted body.
bool same_state_as_fallback(std::span<const std::vector<uint8_t>> candidates,
                            const SelectedSuperblock& chosen, const uint8_t* data_key);

struct SavepointRecord {
  PackerSnapshot packer;
  TailCarry::Snapshot carry;
  std::string name;
  std::vector<uint64_t> pending_free;  // the transaction's list at creation
  StateRecord working;
  uint64_t frontier = 0;  // allocation frontier at creation
  RecycleMark recycle;    // free pages and pool entries handed out since
};

// The page lists of the running transaction. All of them start empty at
// every transaction boundary (begin, commit, rollback: `clear`).
struct TxnLists {
  // Pages released by the transaction since it began (or since the newest
  // savepoint was created): marked free at commit.
  std::vector<uint64_t> pending_free;
  // Pages allocated since the transaction began (or since the newest
  // savepoint was created): no committed or saved state refers to them.
  U64Map<bool> txn_private;
  // Private pages that a completed operation superseded; nothing refers to
  // them, so the next allocation may take them. Whatever is left at commit
  // is freed with the pending list.
  std::vector<uint64_t> reusable;
  std::vector<SavepointRecord> savepoints;  // oldest first
  // Pages taken by the value operations now running (see OpScope).
  std::vector<uint64_t> op_taken;
  int op_depth = 0;

  void clear();
  // Savepoint creation: the pages allocated so far belong to the saved state
  // from now on; pages superseded so far are freed at commit instead of
  // being reused below the new frontier, where a return could not undo it.
  // Returns the pending list, which the new savepoint takes over.
  std::vector<uint64_t> seal_for_savepoint();
  // Return to a savepoint: everything released or allocated after it is
  // undone with the changes that did it.
  void forget_since_savepoint();
  // Commit: every released page, in the order it is freed.
  std::vector<uint64_t>& merge_for_commit();
};

class TransactionManagerImpl {
 public:
  // --- recovery.cc
  static Result<std::unique_ptr<TransactionManagerImpl>> open(const OpenOptions& options);
  // open() in shared mode, once the file is open and flock-shared.
  static Result<std::unique_ptr<TransactionManagerImpl>> open_shared(
      std::unique_ptr<Storage> storage, const std::string& path, const OpenOptions& options);
  // Opens (or, when the storage holds no whole page, creates) the database
  // in `io`, which the caller has opened and locked.
  static Result<std::unique_ptr<TransactionManagerImpl>> open_storage(
      std::unique_ptr<PageIo> io, const OpenOptions& options);
  // Writes the n initial superblocks over empty storage. `passphrase_costs`
  // null means this build's Argon2 defaults.
  static Result<std::unique_ptr<TransactionManagerImpl>> create_new(
      std::unique_ptr<PageIo> io, const CacheSettings& settings, uint32_t superblock_count,
      const Key* key, const Argon2Params* passphrase_costs);

  bool is_poisoned() const { return poisoned; }
  // Sets the poisoned flag; nothing clears it. In shared mode the write lock
  // goes too: other writers must not wait for an object that cannot commit.
  void poison() {
    poisoned = true;
    if (table) table->unlock_writer();
  }
  bool in_transaction() const { return active; }
  void set_durability(Durability d) {
    durability = d;
    recycle.set_cooling(d == Durability::Ordered);
  }
  bool shared() const { return table != nullptr; }
  int reader_table_fd() const { return table ? table->descriptor() : -1; }
  uint64_t committed_generation() const { return txn_counter; }

  // --- shared.cc
  // Pins the newest commit in the file for reads outside a transaction and
  // brings the committed state up to it. Returns the generation to unpin.
  // REQUIRES: shared mode, no transaction.
  Result<uint64_t> pin_reads();
  void unpin_reads(uint64_t generation) { pins->unpin(generation); }

  // See TransactionManager::file_descriptor.
  int file_descriptor() const { return cache->io().descriptor(); }

  // --- lifecycle.cc
  // `between_polls`: see TransactionManager::begin.
  Status begin(const LockPollFn& between_polls = {});
  Status rollback();

  // --- commit.cc
  Status commit();
  Status sync();

  // --- read.cc
  Result<HandleEntry> lookup_live(uint64_t handle);
  Result<std::vector<uint8_t>> read(uint64_t handle);
  Result<bool> read_into(uint64_t handle, const ValueSink& sink);
  void prefetch(std::span<const uint64_t> handles);
  Result<std::vector<uint64_t>> handles();

  Result<std::vector<uint64_t>> handles_with_tag(uint32_t tag);
  Result<std::optional<uint64_t>> get_root_name(std::string_view name);

  // --- mutate.cc
  Result<uint64_t> allocate(std::span<const uint8_t> value, uint32_t tag);
  Status update(uint64_t handle, std::span<const uint8_t> value) {
    return update_value(handle, value, /*may_carry=*/true);
  }
  Status delete_inner(uint64_t handle);
  Status delete_many(std::span<const uint64_t> handles);
  Status delete_tagged(uint64_t handle, uint32_t tag);
  Result<DeletedWithTag> delete_with_tag(uint32_t tag, uint64_t max);
  Status set_client_byte(uint64_t handle, uint8_t byte);
  Status set_root_name(std::string_view name, uint64_t handle);
  Status clear_root_name(std::string_view name);

  // --- savepoints.cc
  Status savepoint(const std::string& name);
  Status rollback_to(const std::string& name);
  Status release(const std::string& name);

  // --- keys.cc
  Status add_key(const Key& existing, const Key& added);
  Status remove_key(const Key& key);
  Status rotate_key(const Key& old_key, const Key& new_key);

  // --- config.cc
  Status set_cache_max_bytes(uint64_t bytes);
  uint64_t cache_budget_bytes() const { return cache->cap_pages() * kPageSize; }
  Status set_spillway_max_bytes(uint64_t bytes);
  Status set_drain_insertion(DrainInsertion policy);

  // --- stats.cc
  Result<StatsValues> stats();
  Result<CounterValues> counters();

  // --- defrag.cc
  Result<DefragResult> defrag(const DefragSettings& settings);

  // --- stats.cc
  Result<CommittedView> committed_view();

  // --- snapshots.cc
  // A snapshot of the last commit (also inside a transaction).
  Result<std::unique_ptr<Snapshot>> snapshot();
  // Closes every snapshot still open; the database is closing.
  void close_snapshots();

 private:
  friend struct TestPeer;

  TransactionManagerImpl() = default;

 public:
  ~TransactionManagerImpl() {
    if (table) pins->detach();  // before the table goes: snapshots may outlive us
  }

 private:

  // --- commit.cc
  // The one place that writes a superblock: takes the next generation (one
  // more when its slot is the current one and no other slot holds the same
  // state), writes, syncs, and records the new slot.
  Status write_superblock(const StateRecord& state, uint64_t page_count,
                          const std::optional<CryptoHeader>& crypto, bool sync = true);
  // The durable steps shared by commit and key changes: flush, then
  // `before_superblock` when given (the commit's mark-free pass and second
  // flush; it must end with a flush, since the first one leaves dirty
  // free-map pages for it), then the superblock of `state` with `header`. From the first
  // flush on any error leaves the file in a state that no superblock
  // describes and the memory state half-advanced, so it poisons. Returns the
  // page count written into the superblock.
  // `one_sync` (a commit in the ordered mode): the first flush and the
  // superblock are not synced, only what before_superblock flushes is.
  Result<uint64_t> persist(const std::function<Status()>& before_superblock,
                           const StateRecord& state, const std::optional<CryptoHeader>& header,
                           bool one_sync = false);

  // --- keys.cc
  // Refuses (TransactionInProgress, then ReadOnlyMode; neither poisons)
  // after the caller has checked the keys; then writes `header` in one
  // superblock. REQUIRES: the database is encrypted.
  Status rewrite_crypto_header(const CryptoHeader& header);

  // --- defrag.cc
  Status reclaim_orphaned_freemap_pages();

  // --- mutate.cc
  // update; `may_carry` false keeps the tail-page carry out (defrag: the
  // pages it frees are the sparse ones it empties).
  Status update_value(uint64_t handle, std::span<const uint8_t> value, bool may_carry);

  // --- staging.cc
  // Held by each operation that takes pages for the working state. An
  // operation that fails has stored no new root, so the pages it took since
  // the scope began are referenced by nothing (the packer's pages aside):
  // when the scope ends without done(), they go to `reusable` and are freed
  // at commit if nothing takes them first. Scopes nest (the deletes of one
  // delete_many); a completed inner scope's pages belong to the state.
  class OpScope {
   public:
    explicit OpScope(TransactionManagerImpl& m)
        : m_(m), taken_(m.txn.op_taken.size()), pending_(m.txn.pending_free.size()) {
      ++m_.txn.op_depth;
    }
    ~OpScope() {
      --m_.txn.op_depth;
      if (m_.txn.op_taken.size() == taken_) return;  // took no page: the usual case
      if (!done_) m_.give_back_taken(taken_, pending_);
      m_.txn.op_taken.resize(taken_);
    }
    OpScope(const OpScope&) = delete;
    OpScope& operator=(const OpScope&) = delete;
    void done() { done_ = true; }

   private:
    TransactionManagerImpl& m_;
    size_t taken_, pending_;
    bool done_ = false;
  };
  void give_back_taken(size_t taken_from, size_t pending_from);

  struct StoredValue {
    uint64_t location;
    uint16_t slot;
    ValueKind kind;
  };
  // Writes a value into a data page or an overflow chain.
  // (Through `out` rather than a Result: the caller's wide reload of a
  // struct the callee stored field by field stalled on every value.)
  // A tagged value goes to the packer's tagged lane.
  Status store_value(std::span<const uint8_t> value, uint32_t tag, StoredValue& out);
  // Undoes store_value for a small value after a later step failed.
  void unstore_value(const StoredValue& stored);

  // Runs the tail-page carry (carry.h) for a small untagged value about to
  // be stored for `handle` (`appended`: a new handle) when the packer has no
  // current untagged page (the transaction's first such value, or the first
  // after a savepoint) and a parked page may take it. True when it carried:
  // entries looked up before may be stale.
  Result<bool> carry_for(uint64_t handle, uint64_t value_size, bool appended);
  // The allocator for every page of the object store: pages superseded
  // earlier in this transaction that no state can reach any more first, then
  // the free map, then the end of the file. One function object for the
  // life of the manager, not one built per operation.
  Result<uint64_t> alloc_recycled();
  const PageAllocFn recycling_alloc = [this] { return alloc_recycled(); };
  const PageAllocFn& recycling_allocator() const { return recycling_alloc; }
  // The n pages of an overflow chain, appended to `out`: from the same
  // sources, preferring a run of consecutive free pages.
  Status alloc_chain_pages(uint64_t n, std::vector<uint64_t>& out);
  // Accepts the pages that may be changed where they lie: those allocated
  // since the transaction began or its newest savepoint was created, which
  // no committed or saved state refers to.
  const PageInPlaceFn in_place = [this](uint64_t id) { return txn.txn_private.contains(id); };
  // Hands the pages a successful operation superseded to their next owner:
  // pages created by this transaction (and not captured by a savepoint) can
  // be reused at once; pages of the committed state wait for the commit.
  // (Most operations supersede nothing: the empty case costs no call.)
  void retire(const std::vector<uint64_t>& superseded) {
    if (!superseded.empty()) retire_all(superseded);
  }
  void retire_all(const std::vector<uint64_t>& superseded);
  bool savepoint_open() const { return !txn.savepoints.empty(); }
  MembershipRoot working_membership() const { return {working.membership_root, membership_depth}; }
  const StateRecord& visible() const { return active ? working : committed; }

  // --- savepoints.cc
  // Re-derives the in-memory tree depths from the working roots.
  Status recover_depths();

  // --- recovery.cc
  // Rebuilds the data-page live counts from the committed handle table.
  Status rebuild_live_counts();

  // --- shared.cc
  // Reads the current superblock again and makes it the committed state,
  // dropping what was derived from the old one (cached pages, depths, the
  // recycling state, the carry, the records) when it changed. The live
  // counts are brought up to date at begin (sync_live_counts), since only a
  // writer needs them. REQUIRES: no transaction.
  Status refresh_committed();
  Status sync_live_counts();
  // begin's and commit's steps in shared mode.
  Status take_turn(const LockPollFn& between_polls = {});
  void end_turn(const std::vector<std::pair<uint64_t, uint32_t>>* changed_counts);
  // Runs a key change between transactions inside a turn of its own.
  Status in_turn(const std::function<Status()>& change);

  // --- pending_free.cc
  Status load_pending_records();
  // At commit, after the transaction's last change: releases the records
  // no pin below `bound` needs (their pages go to `release`, to be marked
  // free), and with `record_released` writes the pages the transaction
  // released into a record instead of letting them be marked free. `next`
  // gets the records of the new state.
  Status settle_pending_free(uint64_t bound, bool record_released,
                             std::vector<uint64_t>& release,
                             std::vector<PendingFree::Record>& next);

  std::unique_ptr<PageCache> cache;
  StateRecord committed;
  StateRecord working;
  uint32_t handle_depth = 0;
  uint32_t membership_depth = 0;
  uint64_t txn_counter = 0;
  uint32_t superblock_count = 2;
  uint64_t current_slot = 0;
  // The superblock open would choose if `current_slot` were torn describes
  // the same committed state (true after creation; found at open).
  bool current_state_elsewhere = false;
  std::optional<CryptoHeader> crypto;
  bool active = false;
  bool poisoned = false;
  TxnLists txn;
  FreemapRecycle recycle;
  SlotPacker packer;
  TailCarry carry;
  uint64_t committed_page_count = 0;
  // The generations open snapshots read, and the pages commits freed since
  // the oldest of them (shared with the snapshots, which unpin at close).
  std::shared_ptr<GenerationPins> pins = std::make_shared<GenerationPins>();
  std::vector<std::weak_ptr<SnapshotState>> snapshots;  // to close with the database
  // Shared mode: the table the sharing objects announce themselves in (null
  // in the default mode), begin's wait for its write lock, the generation
  // the packer's live counts describe, and the pending-free records.
  std::unique_ptr<ReaderTable> table;
  Durability durability = Durability::Full;
  double lock_timeout = 0.0;
  bool turn_ = false;  // in_turn is running
  uint64_t counts_generation = 0;
  PendingFree pending;
  // A newer minor format than this build writes (opened read-only): a copy
  // could not carry its structures over faithfully.
  std::optional<uint32_t> newer_format_version;
};

}  // namespace ambrik
