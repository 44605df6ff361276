// KeyMap: an ordered map from byte keys to values, kept as a B+tree whose
// nodes are ordinary values of the database (see node.h for their layout).
//
// The map lives entirely in values: a named root names its header, the
// header names the root node, internal nodes name their children and
// leaves name the values stored under the keys. It therefore commits, rolls
// back and returns to savepoints with the transaction that changed it, and
// any reader of the file sees its nodes as values tagged kMapTag.
//
// Guarantees:
//  - Reads use whatever state the reader shows (the engine's working state
//    inside a transaction, its last commit outside one; a snapshot's commit).
//  - A damaged header or node (wrong magic, keys out of order or out of
//    their parent's range, a child that is not a node of the right level)
//    is a CorruptKeyMap error naming the value; never a crash and never an
//    answer taken from it.
//  - A write that fails part-way undoes what it had written before
//    returning the error, as far as the engine lets it; if even the undo
//    fails, the transaction must be rolled back (the error says why the
//    write failed, not that the undo did).
//  - put() of an existing key rewrites the value under the same handle and
//    leaves the nodes alone; only inserts and removals change the stamp.
//
// Decoded nodes are kept between calls while the engine's change_count()
// and the header's stamp say nothing has changed, up to a byte budget.
//
// Ownership: a KeyMap holds no reference to the engine; every call takes
// what to read through: reads take any MapReader (the TransactionManager, or
// a Snapshot's reads), writes the TransactionManager. Not thread-safe: the
// caller serialises calls exactly as it does for the reader. REQUIRES: one
// reader for every call of one KeyMap object (one engine, or one snapshot
// and no writes).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "keymap/map_reader.h"
#include "keymap/node.h"
#include "result.h"
#include "transaction/transaction_manager.h"
#include "u64_map.h"

namespace ambrik::keymap {

// Chosen by bench/keymap_bench.cc: see docs/guide.md.
inline constexpr size_t kDefaultNodeBytes = 2048;
inline constexpr size_t kMinNodeBytes = 256;
inline constexpr size_t kMinNodeCacheBytes = 1u << 20;

struct KeyMapOptions {
  // A node splits when it exceeds this and holds at least two entries.
  size_t max_node_bytes = kDefaultNodeBytes;
  // Decoded nodes kept between calls; 0: half the engine's cache budget,
  // at least kMinNodeCacheBytes (so a cache sized for the data holds the
  // map's nodes too, and the default cache's 8 MiB keeps 4 MiB of them).
  size_t cache_bytes = 0;
};

struct MapEntry {
  std::vector<uint8_t> key;
  uint64_t handle = 0;
};

// Keys in [start, stop) (an absent bound is open), continuing strictly
// after (or, reversed, before) `resume` when it is set.
struct ScanRange {
  std::optional<std::vector<uint8_t>> start;
  std::optional<std::vector<uint8_t>> stop;
  bool reverse = false;
  std::optional<std::vector<uint8_t>> resume;
};

// The least key above every key that starts with `prefix`: the stop of a
// prefix scan, whose start is the prefix itself. Absent when every byte is
// 0xFF (no key is above them all: the range is open at its end).
std::optional<std::vector<uint8_t>> prefix_stop(Key prefix);

struct ScanBatch {
  std::vector<MapEntry> entries;
  bool done = false;   // nothing left in the range after these
  uint64_t stamp = 0;  // the map's stamp the entries were read under
};

class KeyMap {
 public:
  // REQUIRES: `root_name` is what the engine accepts as a named-root name
  // (the engine refuses others with InvalidRootName).
  explicit KeyMap(std::string root_name, KeyMapOptions options = {});

  const std::string& root_name() const { return name_; }

  // The handle of the value under `key`. REQUIRES (all key arguments):
  // 1 <= key.size() <= kMaxKeyBytes.
  template <MapReader R>
  Result<std::optional<uint64_t>> find(R& r, Key key);
  template <MapReader R>
  Result<uint64_t> size(R& r);
  // The stamp of the map as the reader shows it now; 0 without a map.
  template <MapReader R>
  Result<uint64_t> stamp(R& r);

  // Stores `value` under `key`; true when the key is new. The first write
  // creates the map and binds the root name.
  Result<bool> put(TransactionManager& tm, Key key, std::span<const uint8_t> value);
  // Removes `key` and deletes its value; false when the key is absent.
  Result<bool> remove(TransactionManager& tm, Key key);
  // Removes every key of [range.start, range.stop) (`reverse` and `resume`
  // are ignored) and returns how many there were. Memory stays bounded
  // whatever the range: the keys go a leaf at a time, each leaf's in one
  // write that keeps remove()'s guarantee. A failure part-way thus leaves
  // the map sound with the keys before some key of the range removed and
  // the rest in place; rolling the transaction back undoes all of it.
  Result<uint64_t> remove_range(TransactionManager& tm, const ScanRange& range);

  // The entry of the smallest (or, `last`, the largest) key; absent when
  // the map is empty or does not exist. One descent.
  template <MapReader R>
  Result<std::optional<MapEntry>> edge(R& r, bool last);

  // Up to `max` entries of `range` in its order (at least one when any
  // remain). REQUIRES: max >= 1.
  template <MapReader R>
  Result<ScanBatch> scan(R& r, const ScanRange& range, size_t max);

 private:
  // A node as searches use it: beside its bytes, each key's first eight
  // bytes as one ordered integer, and for an internal node each child's
  // handle, in flat arrays, so a search touches a few cache lines and
  // seldom a key. (A leaf's search reads its one matching entry anyway.)
  // The integers stand for the bytes after the node's common start (which
  // names and paths often share), so that they still tell keys apart.
  struct Cached {
    static constexpr size_t kCommonMax = 16;
    std::vector<uint8_t> bytes;
    NodeView view;
    std::vector<uint64_t> index;  // [0, n): key prefixes; [n, 2n): handles
    uint64_t serial = 0;          // unique among the objects one KeyMap caches
    // The bounds this node was last found inside (see Bounds); ~0: none.
    mutable uint64_t checked_lo = ~uint64_t{0};
    mutable uint64_t checked_hi = ~uint64_t{0};
    uint8_t common = 0;  // bytes every key (entry 0 of an internal node aside) starts with
    uint8_t common_bytes[kCommonMax] = {};

    uint64_t handle(size_t i) const {
      return view.leaf() ? view.handle(i) : index[view.size() + i];
    }
    // Leaf: the first index whose key is >= `key` (size() when none).
    // Internal: the child whose range holds `key`.
    size_t lower_bound(Key key) const;
    size_t child_for(Key key) const;
    // From the view: a writer may have moved `bytes` out (see Writer).
    size_t memory() const {
      return sizeof(Cached) + view.byte_size() + index.size() * sizeof(uint64_t);
    }

   private:
    // < 0 or > 0 when `key` sorts before or after every key of the node
    // (its start differs from the common one); 0 with `q` set otherwise.
    int against_common(Key key, uint64_t* q) const;
    // Order of key i against `key`, prefix `q`. REQUIRES: against_common
    // gave 0 for `key`.
    int compare(size_t i, Key key, uint64_t q) const;
  };
  // The value `handle` names; CorruptKeyMap when it is not live.
  template <MapReader R>
  static Result<std::vector<uint8_t>> read_linked(R& r, uint64_t handle);
  // The header as the reader shows it; absent when the name is unbound.
  template <MapReader R>
  Result<std::optional<Header>> header(R& r);
  // Node `handle`, expected at `level`; kept in the cache. The pointer stays
  // valid until that node is rewritten or the cache is emptied.
  template <MapReader R>
  Result<const Cached*> node(R& r, uint64_t handle, unsigned level);
  // The key range a descent has been routed into: [lo's key lo_at, hi's
  // key hi_at), each bound absent until an ancestor sets it.
  struct Bounds {
    const Cached* lo = nullptr;
    size_t lo_at = 0;
    const Cached* hi = nullptr;
    size_t hi_at = 0;
    // CorruptKeyMap naming `handle` when `node` holds a key outside. A node
    // found inside the same bounds before (the same cached parents, which
    // never change, and entries) is not compared again.
    Status check(uint64_t handle, const Cached& node) const;
    // Into child `i` of `parent`.
    void narrow(const Cached& parent, size_t i);
  };
  struct Frame {
    uint64_t handle;
    NodeView view;
    size_t index;  // child taken (internal) or entry position (leaf)
    const Cached* node = nullptr;
    Bounds range;  // the range the parent gives this node (set by descend)
  };
  class Writer;
  // Runs a write's body; a failure (an error or an exception) undoes what
  // `w` did. (Defined where the writes are, the only place it is used.)
  template <typename Body>
  Result<bool> run_write(TransactionManager& tm, Writer& w, Body&& body);
  // Removes the entries [path.back().index, leaf_end) of the leaf `path`
  // leads to (the path descend() made to its first), with their values.
  Result<bool> remove_entries(TransactionManager& tm, const Header& found,
                              const std::vector<Frame>& path, size_t leaf_end);
  // The last steps of a write to an existing map: the rewrites `w` planned,
  // then header `h` (given a new stamp here), are applied; then what the
  // map no longer reaches is deleted.
  Status finish_write(Writer& w, Header h);
  // Root-to-leaf path towards `key`, each node checked against the range
  // its parent gives it.
  template <MapReader R>
  Status descend(R& r, const Header& h, Key key, std::vector<Frame>& path);
  // Moves the path's leaf to its neighbour; false at the end.
  template <MapReader R>
  Result<bool> step_leaf(R& r, std::vector<Frame>& path, bool forward);
  template <MapReader R>
  Result<std::vector<Frame>> edge_path(R& r, const Header& h, bool first);
  void remember(uint64_t handle, std::vector<uint8_t> bytes);
  void forget(uint64_t handle);
  // Caches `bytes` as node `handle`; CorruptKeyMap when they are no node.
  // Bytes this object encoded itself (`built_here`) are not checked again.
  Result<const Cached*> cache_node(uint64_t handle, std::vector<uint8_t> bytes, bool built_here);
  void forget_all();
  template <MapReader R>
  void trim(const R& r);

  std::string name_;
  KeyMapOptions options_;
  // Valid while the reader's change_count() is `seen_changes_`.
  bool known_ = false;
  uint64_t seen_changes_ = 0;
  std::optional<Header> header_;
  uint64_t header_handle_ = 0;
  // Nodes as of header stamp `cache_stamp_`.
  uint64_t cache_stamp_ = 0;
  size_t cache_size_ = 0;
  uint64_t serials_ = 0;
  U64Map<std::unique_ptr<Cached>> cache_;
};

}  // namespace ambrik::keymap
